#include "dumps/EfiConfigCopy.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "platform/PropertyListService.h"
#include "privacy/Sanitizer.h"
#include "files/Files.h"

#include <QFileInfo>

namespace velkor {
namespace {

struct BootloaderConfig {
    QString name;        // as the log lines name it
    QString source;      // relative to the EFI root
    QString destination; // file name in the destination folder
};

// Far above any bootloader configuration (tens of kilobytes).
constexpr qsizetype kMostConfigBytes = 16 * 1024 * 1024;

// Reads the source whole and writes the copy atomically, so a failed copy never leaves half a
// configuration behind. A link, pipe or device in the configuration's place is refused.
void copyFile(const QString& source, const QString& destination)
{
    QString failure;
    const std::optional<QByteArray> bytes = readRegularFile(source, kMostConfigBytes, &failure);
    if (!bytes)
        throw PlatformError(QStringLiteral("Could not copy “%1”: %2").arg(source, failure));
    writeFileAtomically(destination, *bytes);
}

} // namespace

void copyAndSanitizeMountedEFIOnly(StepContext& ctx, const QString& to, const QStringList& candidateRoots)
{
    const auto privileged = ctx.privileged();
    QString root;
    for (const QString& candidate : candidateRoots) {
        if (QFileInfo::exists(candidate) || privileged->efiRoot == candidate) {
            root = candidate;
            break;
        }
    }
    if (root.isEmpty()) {
        ctx.log.log(QStringLiteral("EFI is not mounted; skipping config copy to avoid prompts/hangs."));
        return;
    }

    const BootloaderConfig configs[] = {
        {QStringLiteral("CLOVER"), QStringLiteral("CLOVER/config.plist"), package::cloverConfig},
        {QStringLiteral("OC"), QStringLiteral("OC/config.plist"), package::openCoreConfig},
    };
    for (const BootloaderConfig& config : configs) {
        const QString source = root + QLatin1Char('/') + config.source;
        const auto readByRoot = privileged->efiConfigs.find(source);
        const bool haveRootsCopy = readByRoot != privileged->efiConfigs.end();
        if (!haveRootsCopy && !QFileInfo::exists(source)) {
            ctx.log.log(config.name + QStringLiteral(" config.plist not found on mounted EFI."));
            continue;
        }
        const QString destination = to + QLatin1Char('/') + config.destination;
        try {
            removePath(destination);
        } catch (const std::exception&) {
            // The atomic write below replaces a file anyway; what cannot be replaced fails there.
        }
        if (haveRootsCopy)
            writeFileAtomically(destination, readByRoot->second);
        else
            copyFile(source, destination);
        if (!ctx.platform.propertyLists)
            throw CollectorError::operationFailed(QStringLiteral("No property list service to convert ") + destination);
        FileSanitizing sanitized = sanitizeTextLikeFile(*ctx.platform.propertyLists, destination);
        for (MachineIdentifier& identifier : sanitized.configuredIdentifiers)
            ctx.configuredIdentifiers->push_back(std::move(identifier));
        if (!sanitized.masked) {
            ctx.log.log(unmaskableFileWarning(config.destination));
            continue;
        }
        ctx.log.log(config.name + QStringLiteral(" config.plist copied as ") + config.destination
                    + QStringLiteral(" and sanitized at root."));
    }
}

} // namespace velkor
