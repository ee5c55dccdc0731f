#pragma once

#include <QString>
#include <vector>

namespace velkor {

// The kinds of identifier that name this machine or its user.
enum class IdentifierKind { SerialNumber, UUID, MACAddress, DeviceSerial, LoginName, HostName, ProductKey };

QString identifierKindName(IdentifierKind kind);

struct MachineIdentifier {
    IdentifierKind kind;
    QString value;
};

// Reads the identifiers of the running machine: firmware serial numbers and UUID, network
// interface addresses, serials of attached USB and storage devices, login and host name.
class MachineIdentifierSource {
public:
    virtual ~MachineIdentifierSource() = default;
    virtual std::vector<MachineIdentifier> identifiers() const = 0;
};

// The Linux machine under root (default "/"): DMI, /sys/class/net, USB and block devices.
class LinuxMachineIdentifierSource : public MachineIdentifierSource {
public:
    explicit LinuxMachineIdentifierSource(QString root = QStringLiteral("/")) : m_root(std::move(root)) {}
    std::vector<MachineIdentifier> identifiers() const override;

private:
    QString m_root;
};

} // namespace velkor
