#include "audit/PrivacyAudit.h"

#include "audit/MsdmTable.h"
#include "base/CollectorError.h"
#include "base/Timestamps.h"
#include "files/Files.h"
#include "files/FolderWalk.h"
#include "files/TextDecoding.h"
#include "steps/PackageLayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace velkor {
namespace {

struct PackageFile {
    QString path;
    QString relative;
    bool isLink = false;
};

// Every file and link below the folder, hidden ones included (the archive packs them all);
// links are listed, never followed.
std::vector<PackageFile> listPackage(const QString& work)
{
    std::vector<PackageFile> files;
    struct stat info {};
    if (::lstat(QFile::encodeName(work).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return files;
    walkFolder(work, WalkOptions(), [&files](const FolderEntry& entry) {
        if (entry.kind == EntryKind::File || entry.kind == EntryKind::Link)
            files.push_back({entry.path, entry.relative, entry.kind == EntryKind::Link});
    });
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.relative < b.relative; });
    return files;
}

QByteArray linkTarget(const QString& path)
{
    return QFile::encodeName(QFile::symLinkTarget(path));
}

// A file that holds an identifier it cannot be masked in leaves the package for good: deleted
// at once, never parked where it could outlive the run.
void leaveOut(const PackageFile& file)
{
    removePath(file.path);
}

// Pass one: MSDM tables lose their product key; the keys are returned so the search finds
// any other copy (a registry listing prints the table's bytes).
std::vector<MachineIdentifier> cleanMsdmTables(const std::vector<PackageFile>& files, PrivacyAuditResult& result)
{
    std::vector<MachineIdentifier> keys;
    for (const PackageFile& file : files) {
        if (file.isLink || lowerExtension(file.path) != QLatin1String("aml"))
            continue;
        std::optional<QByteArray> table = readRegularFile(file.path);
        if (!table || !isMsdmTable(*table))
            continue;
        const QByteArray key = msdmProductKey(*table);
        if (!removeMsdmProductKey(*table))
            continue;
        writeFileAtomically(file.path, *table);
        if (!key.trimmed().isEmpty())
            keys.push_back({IdentifierKind::ProductKey, QString::fromLatin1(key)});
        result.cleanedMsdmTables.append(file.relative);
        result.logLines.append(QStringLiteral("Privacy audit: removed the Windows product key from ") + file.relative + QLatin1Char('.'));
    }
    return keys;
}

} // namespace

PrivacyAuditResult PrivacyAudit::run(const QString& work)
{
    PrivacyAuditResult result;
    std::vector<PackageFile> files = listPackage(work);

    std::vector<MachineIdentifier> candidates = m_candidates;
    for (MachineIdentifier& key : cleanMsdmTables(files, result))
        candidates.push_back(std::move(key));
    auto identifiers = std::make_shared<IdentifierSet>(candidates);
    m_identifiers = identifiers;
    result.maskedPerIdentifier.resize(identifiers->identifiers().size());

    for (const PackageFile& file : files) {
        if (file.relative == package::privacyAudit)
            continue;
        ++result.filesChecked;
        const std::optional<QByteArray> content = file.isLink ? std::optional(linkTarget(file.path)) : readRegularFile(file.path);
        if (!content)
            continue;
        std::set<IdentifierKind> kindsFound;
        bool onlyTextForms = true;
        for (const MultiPatternSearch::Match& match : identifiers->search().findAll(*content)) {
            const IdentifierForm& form = identifiers->forms()[size_t(match.pattern)];
            if (!matchIsWholeToken(*content, form, match.start, match.length))
                continue;
            kindsFound.insert(identifiers->identifiers()[size_t(form.identifier)].kind);
            if (form.encoding != Encoding::Utf8)
                onlyTextForms = false;
        }
        if (kindsFound.empty())
            continue;

        std::optional<QString> text = (!file.isLink && onlyTextForms && isTextLikeFile(file.path)) ? decodeUtf8Strictly(*content, /*keepByteOrderMark=*/true) : std::nullopt;
        if (text) {
            std::vector<int> replaced;
            const QString masked = maskIdentifiersInText(*text, *identifiers, &replaced);
            writeTextFile(file.path, masked);
            for (size_t index = 0; index < replaced.size(); ++index) {
                if (replaced[index] > 0)
                    result.maskedPerIdentifier[index][file.relative] += replaced[index];
            }
            continue;
        }
        leaveOut(file);
        result.withheldFiles[file.relative] = kindsFound;
        QStringList kindNames;
        for (const IdentifierKind kind : kindsFound)
            kindNames.append(identifierKindName(kind));
        result.logLines.append(QStringLiteral("WARNING: privacy audit left ") + file.relative
                               + QStringLiteral(" out of the archive: it holds a ") + kindNames.join(QStringLiteral(", "))
                               + QStringLiteral(" of this machine that cannot be masked in place."));
    }

    int maskedTotal = 0;
    QSet<QString> maskedFiles;
    for (const auto& perFile : result.maskedPerIdentifier) {
        for (auto it = perFile.constBegin(); it != perFile.constEnd(); ++it) {
            maskedTotal += it.value();
            maskedFiles.insert(it.key());
        }
    }
    result.logLines.append(QStringLiteral("Privacy audit: checked %1 identifier(s) in %2 file(s); masked %3 occurrence(s) in %4 file(s); left %5 file(s) out of the archive.")
                               .arg(identifiers->identifiers().size())
                               .arg(result.filesChecked)
                               .arg(maskedTotal)
                               .arg(maskedFiles.size())
                               .arg(result.withheldFiles.size()));
    return result;
}

QString privacyAuditReport(const PrivacyAuditResult& result, const IdentifierSet& identifiers)
{
    QStringList lines{QStringLiteral("Velkor Privacy Audit"), QStringLiteral("Generated: ") + reportTimestamp(), QString(),
                      QStringLiteral("Every file of the package was searched for this machine's own identifiers, in every spelling"),
                      QStringLiteral("(as written, upper and lower case, UTF-16, MAC addresses with and without separators)."),
                      QStringLiteral("No identifier's value is written here."), QString(),
                      QStringLiteral("Files checked: %1").arg(result.filesChecked), QString()};

    const IdentifierKind kinds[] = {IdentifierKind::SerialNumber, IdentifierKind::UUID,     IdentifierKind::MACAddress,
                                    IdentifierKind::DeviceSerial, IdentifierKind::LoginName, IdentifierKind::HostName,
                                    IdentifierKind::ProductKey, IdentifierKind::PersonalName, IdentifierKind::NetworkName};
    for (const IdentifierKind kind : kinds) {
        int checked = 0;
        QMap<QString, int> maskedFiles;
        for (size_t index = 0; index < identifiers.identifiers().size(); ++index) {
            if (identifiers.identifiers()[index].kind != kind)
                continue;
            ++checked;
            if (index < result.maskedPerIdentifier.size()) {
                const auto& perFile = result.maskedPerIdentifier[index];
                for (auto it = perFile.constBegin(); it != perFile.constEnd(); ++it)
                    maskedFiles[it.key()] += it.value();
            }
        }
        int total = 0;
        for (const int count : maskedFiles)
            total += count;
        lines.append(QStringLiteral("%1: %2 value(s) checked, %3 occurrence(s) masked").arg(identifierKindName(kind)).arg(checked).arg(total));
        for (auto it = maskedFiles.constBegin(); it != maskedFiles.constEnd(); ++it)
            lines.append(QStringLiteral("    %1: %2").arg(it.key()).arg(it.value()));
    }

    lines.append(QString());
    lines.append(QStringLiteral("Files left out of the archive: %1").arg(result.withheldFiles.size()));
    for (auto it = result.withheldFiles.constBegin(); it != result.withheldFiles.constEnd(); ++it) {
        QStringList kindNames;
        for (const IdentifierKind kind : it.value())
            kindNames.append(identifierKindName(kind));
        lines.append(QStringLiteral("    %1 (%2)").arg(it.key(), kindNames.join(QStringLiteral(", "))));
    }
    lines.append(QString());
    lines.append(QStringLiteral("MSDM tables cleaned (Windows product key removed): %1").arg(result.cleanedMsdmTables.size()));
    for (const QString& table : result.cleanedMsdmTables)
        lines.append(QStringLiteral("    ") + table);
    // File names are the package's own, but a name could hold an identifier: mask them too.
    return maskIdentifiersInText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'), identifiers);
}

void auditPrivacyStep(StepContext& context, const QString& work, PrivacyAuditState& state)
{
    const Platform& platform = context.platform;
    std::vector<MachineIdentifier> candidates;
    if (platform.identifiers)
        candidates = platform.identifiers->identifiers();
    if (platform.registry) {
        for (MachineIdentifier& identifier : identifiersFromRegistry(*platform.registry))
            candidates.push_back(std::move(identifier));
    }
    // The firmware serials and UUID only root can read, as the administrator step handed them over.
    for (const MachineIdentifier& identifier : context.privileged()->firmwareIdentifiers)
        candidates.push_back(identifier);
    // The identity a bootloader configuration gives the machine, as the masking found it.
    for (const MachineIdentifier& identifier : *context.configuredIdentifiers)
        candidates.push_back(identifier);
    PrivacyAudit audit(std::move(candidates));
    const PrivacyAuditResult result = audit.run(work);
    state.identifiers = audit.identifiers();
    for (const QString& line : result.logLines)
        context.log.log(line);
    writeTextFile(work + QLatin1Char('/') + package::privacyAudit, privacyAuditReport(result, *audit.identifiers()));
}

QString maskCollectorLogIdentifiers(const QString& maskedLog, const PrivacyAuditState& state)
{
    if (!state.identifiers)
        return maskedLog;
    return maskIdentifiersInText(maskedLog, *state.identifiers);
}

} // namespace velkor
