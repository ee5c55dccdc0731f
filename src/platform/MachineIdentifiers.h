#pragma once

#include <QString>
#include <vector>

namespace velkor {

// The kinds of identifier that name this machine or its user.
enum class IdentifierKind { SerialNumber, UUID, MACAddress, DeviceSerial, LoginName, HostName, ProductKey, PersonalName, NetworkName };

QString identifierKindName(IdentifierKind kind);

struct MachineIdentifier {
    IdentifierKind kind;
    QString value;
};

// Reads the identifiers of the running machine: firmware serial numbers and UUID, network
// interface addresses, serials of attached USB and storage devices, login and host name, the
// user's full name and home folder, the machine's and the boot's ids, known Wi-Fi networks.
class MachineIdentifierSource {
public:
    virtual ~MachineIdentifierSource() = default;
    virtual std::vector<MachineIdentifier> identifiers() const = 0;
};

} // namespace velkor
