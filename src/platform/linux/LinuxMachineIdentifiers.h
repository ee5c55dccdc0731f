#pragma once

#include "platform/MachineIdentifiers.h"

#include <QString>

namespace velkor {

// The Linux machine under root (default "/"): DMI, /sys/class/net, USB and block devices,
// Bluetooth, known Wi-Fi networks, machine and boot id, the people's accounts.
class LinuxMachineIdentifierSource : public MachineIdentifierSource {
public:
    explicit LinuxMachineIdentifierSource(QString root = QStringLiteral("/")) : m_root(std::move(root)) {}
    std::vector<MachineIdentifier> identifiers() const override;

private:
    QString m_root;
};

} // namespace velkor
