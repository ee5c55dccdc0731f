#include "platform/MachineIdentifiers.h"

namespace velkor {

QString identifierKindName(IdentifierKind kind)
{
    switch (kind) {
    case IdentifierKind::SerialNumber: return QStringLiteral("serial number");
    case IdentifierKind::UUID: return QStringLiteral("UUID");
    case IdentifierKind::MACAddress: return QStringLiteral("MAC address");
    case IdentifierKind::DeviceSerial: return QStringLiteral("device serial number");
    case IdentifierKind::LoginName: return QStringLiteral("login name");
    case IdentifierKind::HostName: return QStringLiteral("host name");
    case IdentifierKind::ProductKey: return QStringLiteral("Windows product key");
    case IdentifierKind::PersonalName: return QStringLiteral("user's name or home folder");
    case IdentifierKind::NetworkName: return QStringLiteral("Wi-Fi network name");
    }
    return QStringLiteral("identifier");
}

} // namespace velkor
