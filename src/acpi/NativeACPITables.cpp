#include "acpi/NativeACPITables.h"

#include "base/CollectorError.h"
#include "files/Files.h"
#include "registry/RegistryProperties.h"
#include "registry/RegistryWalk.h"
#include "files/FolderWalk.h"

#include <QVariantMap>

#include <memory>
#include <vector>

namespace velkor {
namespace {

constexpr qsizetype kHeaderSize = 36;
constexpr int kWalkBudget = 20000;
// The budget bounds the depth and the children of one entry, but a plane whose entries are
// reached along several paths (or a cycle) could still be walked without end; no real
// registry comes near this many entries in a plane.
constexpr qsizetype kMostVisitsPerPlane = 100000;

bool isSignatureCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '!';
}

QString signatureOf(const QByteArray& blob)
{
    const QByteArray head = blob.left(4);
    for (const char byte : head) {
        if (static_cast<unsigned char>(byte) > 0x7F)
            return {};
    }
    return QString::fromLatin1(head);
}

void considerBlob(const QByteArray& blob, const QString& name, const QSet<QString>& wanted, ACPITableCollection& collected)
{
    if (blob.size() < kHeaderSize)
        return;
    const QString signature = signatureOf(blob);
    if (!wanted.contains(signature) && !wanted.contains(name.toUpper()))
        return;
    if (!acpiTableHeaderLooksValid(blob, signature))
        return;
    collected[signature].append(blob); // filed under its own signature, whatever the property's name
}

void collectFromProperties(const RegistryEntry& entry, const QSet<QString>& wanted, ACPITableCollection& collected)
{
    const QVariantMap properties = entry.properties();
    for (auto it = properties.constBegin(); it != properties.constEnd(); ++it) {
        const QVariant& value = it.value();
        if (value.typeId() == QMetaType::QByteArray) {
            considerBlob(value.toByteArray(), it.key(), wanted, collected);
            continue;
        }
        const QVariantMap inner = registryDictionary(value);
        for (auto innerIt = inner.constBegin(); innerIt != inner.constEnd(); ++innerIt) {
            if (innerIt.value().typeId() == QMetaType::QByteArray)
                considerBlob(innerIt.value().toByteArray(), innerIt.key(), wanted, collected);
        }
    }
}

QString fileNameFor(const QString& signature, int counter)
{
    if (signature == QLatin1String("SSDT"))
        return QString::asprintf("SSDT-%02d.aml", counter);
    if (counter == 1)
        return signature + QStringLiteral(".aml");
    return signature + QString::asprintf("-%02d.aml", counter);
}

} // namespace

const QSet<QString>& wantedACPISignatures()
{
    static const QSet<QString> signatures{
        QStringLiteral("APIC"), QStringLiteral("DSDT"), QStringLiteral("SSDT"), QStringLiteral("FACP"),
        QStringLiteral("FACS"), QStringLiteral("HPET"), QStringLiteral("MCFG"), QStringLiteral("DMAR"),
        QStringLiteral("DBG2"), QStringLiteral("ECDT"), QStringLiteral("BGRT"), QStringLiteral("SBST"),
        QStringLiteral("SLIC"), QStringLiteral("SRAT"), QStringLiteral("SLIT"), QStringLiteral("WSMT"),
        QStringLiteral("TPM2"), QStringLiteral("UEFI"), QStringLiteral("LPIT"), QStringLiteral("FPDT"),
        QStringLiteral("MSDM"), QStringLiteral("WAET"), QStringLiteral("HEST"), QStringLiteral("BERT"),
        QStringLiteral("ERST"), QStringLiteral("ASF!"), QStringLiteral("RSDT"), QStringLiteral("XSDT"),
    };
    return signatures;
}

bool acpiTableHeaderLooksValid(const QByteArray& blob, const QString& signature)
{
    if (signature.size() != 4 || !std::all_of(signature.cbegin(), signature.cend(), isSignatureCharacter))
        return false;
    if (blob.size() < 8)
        return false;
    const quint32 length = littleEndianValue(blob.mid(4, 4));
    return length >= kHeaderSize && length <= quint64(blob.size());
}

void collectACPITables(const RegistryEntry& from, const QString& plane, const QSet<QString>& wanted,
                       ACPITableCollection& collected, int remaining)
{
    // budgets[d]: the budget of the entry last visited at depth d. The k-th child of an entry
    // has the entry's budget minus k; one whose budget is used up is not read, and neither are
    // its later siblings, whose budgets are lower still.
    std::vector<int> budgets;
    walkRegistry(from, plane, {.maxEntries = kMostVisitsPerPlane}, [&](const RegistryVisit& visit) {
        const int budget = visit.depth == 0 ? remaining : budgets[size_t(visit.depth) - 1] - (visit.index + 1);
        if (visit.depth > 0 && budget < 1)
            return false;
        budgets.resize(size_t(visit.depth));
        budgets.push_back(budget);
        collectFromProperties(visit.entry, wanted, collected);
        return budget >= 2; // a child would have a budget of at least 1
    });
}

QStringList acpiTableFiles(const QString& folder)
{
    QStringList names;
    WalkOptions ownEntries;
    ownEntries.subfolders = false;
    ownEntries.allowNonUtf8Names = true; // counted all the same; such a name is never read
    try {
        walkFolder(folder, ownEntries, [&names](const FolderEntry& entry) {
            if (lowerExtension(entry.relative) == QLatin1String("aml"))
                names.append(entry.relative);
        });
    } catch (const PlatformError&) {
        return {}; // a folder that cannot be listed holds no table
    }
    return names;
}

namespace {

// Far above the largest firmware table (a DSDT of a few hundred kilobytes).
constexpr qsizetype kMostTableBytes = 16 * 1024 * 1024;

// The bytes of the tables in the folder; links, pipes and devices are not read.
QSet<QByteArray> tablesInFolder(const QString& acpiDir)
{
    QSet<QByteArray> tables;
    for (const QString& name : acpiTableFiles(acpiDir)) {
        if (std::optional<QByteArray> table = readRegularFile(acpiDir + QLatin1Char('/') + name, kMostTableBytes))
            tables.insert(std::move(*table));
    }
    return tables;
}

} // namespace

int extractNativeACPITablesIfNeeded(const Registry* registry, const QString& acpiDir)
{
    if (!registry)
        return 0;
    ACPITableCollection collected;
    for (const QString& plane : {kIODeviceTreePlane, kIOServicePlane}) {
        try {
            if (std::unique_ptr<RegistryEntry> root = registry->rootEntry())
                collectACPITables(*root, plane, wantedACPISignatures(), collected, kWalkBudget);
        } catch (...) {
            // A registry that fails part-way leaves what was collected so far.
        }
    }

    // A table patchmatic already wrote under its own naming is not written a second time.
    const QSet<QByteArray> alreadyThere = tablesInFolder(acpiDir);

    int written = 0;
    for (const auto& [signature, blobs] : collected) {
        // The same table is often found in both planes; equal bytes are one table.
        QSet<QByteArray> seen;
        int counter = 0;
        for (const QByteArray& blob : blobs) {
            if (seen.contains(blob))
                continue;
            seen.insert(blob);
            ++counter;
            const QString path = acpiDir + QLatin1Char('/') + fileNameFor(signature, counter);
            if (pathExists(path) || alreadyThere.contains(blob))
                continue; // what patchmatic wrote stays, and so does a link someone left there
            try {
                writeFileAtomically(path, blob);
                ++written;
            } catch (const std::exception&) {
            }
        }
    }
    return written;
}

} // namespace velkor
