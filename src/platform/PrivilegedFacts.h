#pragma once

#include "platform/MachineIdentifiers.h"

#include <QByteArray>
#include <QString>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velkor {

// One "Supported Protocol" capability of an xHCI controller: the controller's own port numbers
// firstPort .. firstPort + portCount - 1 speak USB majorRevision.minorRevision.
struct XhciPortRange {
    quint8 majorRevision = 0;
    quint8 minorRevision = 0;
    quint32 firstPort = 0;
    quint32 portCount = 0;

    bool operator==(const XhciPortRange&) const = default;
};

// A capability as the kernel's debugfs prints it (reg-ext-protocol:NN): lines
// "EXTCAP_REVISION = 0x03100002", "EXTCAP_PORTINFO = 0x00000401"... Nothing when the text lacks
// either value or names no port.
std::optional<XhciPortRange> parseXhciProtocolCapability(const QString& text);

// What root read for this run and the unprivileged steps cannot read themselves. Only values,
// already checked for name and size; nothing here has been written to a file.
struct PrivilegedFacts {
    // The boot log as root's run of the boot-log command printed it.
    std::optional<QByteArray> bootLog;
    // The warning and error lines of this boot's kernel log as root's run of the kernel
    // warnings command printed them.
    std::optional<QByteArray> kernelWarnings;
    // The first candidate EFI root that exists as root sees it, and the bootloader
    // configurations below it, by their full source path.
    std::optional<QString> efiRoot;
    std::map<QString, QByteArray> efiConfigs;
    // The port ranges of each xHCI controller, by PCI address ("0000:00:14.0").
    std::map<QString, std::vector<XhciPortRange>> xhciPortRanges;
    // Firmware serial numbers and UUID (DMI). For the privacy audit's list only.
    std::vector<MachineIdentifier> firmwareIdentifiers;
};

// The facts of the run under way. The administrator step publishes them; the pipeline clears
// them when a run starts and ends; the steps and the services that read the machine again
// later in the run (the sysfs registry) take them from here. Safe to use from any thread.
class PrivilegedFactsStore {
public:
    void publish(PrivilegedFacts facts);
    void clear();
    // Never null: empty facts when nothing was published.
    std::shared_ptr<const PrivilegedFacts> current() const;

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const PrivilegedFacts> m_facts;
};

} // namespace velkor
