#include "platform/Platform.h"

namespace velkor {

QStringList defaultEFIRoots()
{
    return {
        QStringLiteral("/Volumes/EFI/EFI"),
        QStringLiteral("/System/Volumes/Data/Volumes/EFI/EFI"),
        QStringLiteral("/boot/efi/EFI"),
        QStringLiteral("/efi/EFI"),
        QStringLiteral("/boot/EFI"),
    };
}

} // namespace velkor
