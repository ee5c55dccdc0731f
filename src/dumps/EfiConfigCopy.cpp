#include "dumps/EfiConfigCopy.h"

#include "base/CollectorError.h"
#include "steps/PackageLayout.h"
#include "platform/PropertyListService.h"
#include "privacy/Sanitizer.h"
#include "files/Files.h"

#include "process/ProcessRunner.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <functional>

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

// A file system of the mount table that may hold an EFI folder at its root.
struct MountedVolume {
    QString mountPoint; // as the machine names it
    QString source;     // the block device
};

// The mount table escapes blanks, tabs, line feeds and backslashes in paths as \ooo.
QString unescapeMountField(const QByteArray& field)
{
    QByteArray out;
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok && value < 256) {
                out += char(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return QString::fromUtf8(out);
}

// Network file systems can stall for minutes on a lost server; none of them holds the
// machine's own EFI partition. Images of packaged software (squashfs) hold no bootloader.
bool isSkippedType(const QString& type)
{
    static const QSet<QString> skipped{
        QStringLiteral("nfs"),       QStringLiteral("nfs4"),      QStringLiteral("cifs"),  QStringLiteral("smb3"),
        QStringLiteral("smbfs"),     QStringLiteral("ncpfs"),     QStringLiteral("9p"),    QStringLiteral("ceph"),
        QStringLiteral("glusterfs"), QStringLiteral("fuse.sshfs"), QStringLiteral("sshfs"), QStringLiteral("davfs"),
        QStringLiteral("afs"),       QStringLiteral("autofs"),    QStringLiteral("squashfs"),
    };
    return skipped.contains(type) || type.startsWith(QStringLiteral("fuse."));
}

// Every file system on a block device, in mount-table order, read from the machine's
// /proc/self/mountinfo or, lacking it, /proc/mounts. Pseudo file systems have no device
// ("proc", "tmpfs", "systemd-1") and network ones name a server, so both fall out with the
// device test. A mount point that an automounter watches but has not mounted yet is only an
// autofs entry and is left alone: looking into it would mount it.
std::vector<MountedVolume> blockDeviceMounts(const QString& machineRoot)
{
    const QDir machine(machineRoot);
    constexpr qsizetype kMostMountTableBytes = 4 * 1024 * 1024;
    std::vector<MountedVolume> volumes;
    QSet<QString> seen;
    const auto add = [&](const QString& point, const QString& source, const QString& type) {
        if (!source.startsWith(QStringLiteral("/dev/")) || isSkippedType(type) || seen.contains(point))
            return;
        seen.insert(point);
        volumes.push_back({point, source});
    };
    if (const auto table = readRegularFile(machine.filePath(QStringLiteral("proc/self/mountinfo")), kMostMountTableBytes)) {
        // "36 35 98:0 /root /mount/point options optional-fields - type source super-options"
        for (const QByteArray& line : table->split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            const qsizetype dash = fields.indexOf("-");
            if (fields.size() < 5 || dash < 5 || dash + 2 >= fields.size())
                continue;
            add(unescapeMountField(fields[4]), unescapeMountField(fields[dash + 2]), QString::fromUtf8(fields[dash + 1]));
        }
    } else if (const auto mounts = readRegularFile(machine.filePath(QStringLiteral("proc/mounts")), kMostMountTableBytes)) {
        // "source /mount/point type options 0 0"
        for (const QByteArray& line : mounts->split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            if (fields.size() >= 3)
                add(unescapeMountField(fields[1]), unescapeMountField(fields[0]), QString::fromUtf8(fields[2]));
        }
    }
    return volumes;
}

// A removable or failing medium can hold a stat for a long time; a small shell looks for the
// files instead and is given up after this long (and ended), so the step never waits longer.
constexpr double kProbeTimeout = 3;

// Which of the paths exist (a link or a pipe too, for the reader to refuse by name), as seen by a
// bounded helper process; none when it runs late.
QSet<QString> existingFiles(const QStringList& paths)
{
    QSet<QString> found;
    try {
        const ProcessOutcome outcome = runProcessRaw(
            QStringLiteral("/bin/sh"),
            QStringList{QStringLiteral("-c"), QStringLiteral("for f do { [ -e \"$f\" ] || [ -L \"$f\" ]; } && printf '%s\\n' \"$f\"; done; exit 0"),
                        QStringLiteral("sh")}
                + paths,
            std::nullopt, kProbeTimeout);
        if (outcome.exitStatus != 0 || outcome.timedOut)
            return found;
        for (const QString& line : QString::fromUtf8(outcome.output).split(QLatin1Char('\n')))
            if (paths.contains(line))
                found.insert(line);
    } catch (const std::exception&) {
        // A probe that cannot start finds nothing; the configurations are simply not copied.
    }
    return found;
}

// Writes the copy and masks it; false when it could not be masked, and then it has left the
// package already.
bool copyAndMask(StepContext& ctx, const QString& destination, const std::function<void()>& write)
{
    try {
        removePath(destination);
    } catch (const std::exception&) {
        // The atomic write below replaces a file anyway; what cannot be replaced fails there.
    }
    write();
    if (!ctx.platform.propertyLists)
        throw CollectorError::operationFailed(QStringLiteral("No property list service to convert ") + destination);
    FileSanitizing sanitized = sanitizeTextLikeFile(*ctx.platform.propertyLists, destination);
    for (MachineIdentifier& identifier : sanitized.configuredIdentifiers)
        ctx.configuredIdentifiers->push_back(std::move(identifier));
    return sanitized.masked;
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

    // An EFI partition mounted anywhere else - by the desktop under /media or /run/media, or a
    // prepared bootloader stick - is found at the root of its file system. Each volume is looked
    // at once, for both kinds, through a bounded probe, and a file it holds is read through the
    // regular-file reader, so no medium can make the step wait.
    const QString machineRoot = ctx.platform.machineRoot;
    const bool machineIsRoot = QDir(machineRoot).canonicalPath() == QStringLiteral("/");
    struct Volume {
        MountedVolume mount;
        QString efi; // its EFI folder as this process reaches it
        std::optional<QSet<QString>> present;
    };
    std::vector<Volume> volumes;
    for (const MountedVolume& mount : blockDeviceMounts(machineRoot)) {
        const QString onDisk = machineIsRoot ? mount.mountPoint : QDir(machineRoot).filePath(mount.mountPoint.mid(1));
        const QString efi = QDir::cleanPath(QDir(onDisk).filePath(QStringLiteral("EFI")));
        if (root.isEmpty() || efi != QDir::cleanPath(root))
            volumes.push_back({mount, efi, std::nullopt});
    }

    const BootloaderConfig configs[] = {
        {QStringLiteral("CLOVER"), QStringLiteral("CLOVER/config.plist"), package::cloverConfig},
        {QStringLiteral("OC"), QStringLiteral("OC/config.plist"), package::openCoreConfig},
    };
    // Logged at the end, so that a machine with no EFI anywhere shows the one line that says so.
    QStringList lines;
    bool copiedAny = false;
    bool sawAny = false; // a configuration refused on a mounted volume
    for (const BootloaderConfig& config : configs) {
        const QString destination = to + QLatin1Char('/') + config.destination;
        const QString copied = config.name + QStringLiteral(" config.plist copied as ") + config.destination
                               + QStringLiteral(" and sanitized at root.");
        if (!root.isEmpty()) {
            const QString source = root + QLatin1Char('/') + config.source;
            const auto readByRoot = privileged->efiConfigs.find(source);
            const bool haveRootsCopy = readByRoot != privileged->efiConfigs.end();
            if (haveRootsCopy || QFileInfo::exists(source)) {
                const bool masked = copyAndMask(ctx, destination, [&] {
                    if (haveRootsCopy)
                        writeFileAtomically(destination, readByRoot->second);
                    else
                        copyFile(source, destination);
                });
                lines << (masked ? copied : unmaskableFileWarning(config.destination));
                copiedAny = true;
                continue;
            }
        }
        bool found = false;
        for (Volume& volume : volumes) {
            if (!volume.present)
                volume.present = existingFiles({volume.efi + QLatin1Char('/') + configs[0].source,
                                                volume.efi + QLatin1Char('/') + configs[1].source});
            const QString source = volume.efi + QLatin1Char('/') + config.source;
            if (!volume.present->contains(source))
                continue;
            const QString shown = QDir(volume.mount.mountPoint).filePath(QStringLiteral("EFI/") + config.source)
                                  + QStringLiteral(" (") + volume.mount.source + QLatin1Char(')');
            QString failure;
            const auto bytes = readRegularFile(source, kMostConfigBytes, &failure);
            if (!bytes) {
                lines << config.name + QStringLiteral(" config.plist at ") + shown + QStringLiteral(" refused: ") + failure
                             + QLatin1Char('.');
                sawAny = true;
                continue;
            }
            const bool masked = copyAndMask(ctx, destination, [&] { writeFileAtomically(destination, *bytes); });
            lines << config.name + QStringLiteral(" config.plist found at ") + shown + QLatin1Char('.')
                  << (masked ? copied : unmaskableFileWarning(config.destination));
            found = copiedAny = true;
            break;
        }
        if (!found)
            lines << config.name + QStringLiteral(" config.plist not found on mounted EFI.");
    }

    if (root.isEmpty() && !copiedAny && !sawAny) {
        ctx.log.log(QStringLiteral("EFI is not mounted; skipping config copy to avoid prompts/hangs."));
        return;
    }
    for (const QString& line : lines)
        ctx.log.log(line);
}

} // namespace velkor
