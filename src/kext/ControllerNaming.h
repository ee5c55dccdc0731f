#pragma once

#include "usb/USBRecords.h"

#include <QString>
#include <optional>
#include <vector>

namespace velkor {

// The XHCI driver class a controller's support personality binds: the class the scan found
// when it is an XHCI driver, else the class for the controller's vendor and generation.
QString usbXHCIClassName(const USBControllerMap& controller);

// Letters, marks, digits, "-" and "_" kept; every other character becomes "_".
QString sanitizePersonalityName(const QString& text);

// A built-in port layout for a well-known controller whose ports the scan did not find.
struct USBPortTemplatePort {
    QString name;
    quint32 port = 0;
    qint64 connector = 3;
};
struct USBPortTemplate {
    quint32 count = 0; // written as the kext's port-count unchanged
    std::vector<USBPortTemplatePort> ports;
};

std::optional<QString> legacyUSBPortTemplateKey(const USBControllerMap& controller);
std::optional<USBPortTemplate> legacyUSBPortTemplate(const QString& key);
// The template's ports as port records (location "template"); empty without a template.
QList<USBPortMap> legacyUSBPortTemplatePorts(const USBControllerMap& controller);

} // namespace velkor
