// Audits a generated 100 MB work folder (text dumps, binary tables, a large listing) for a
// dozen identifiers and prints the time beside the time to just read the same bytes.
#include "audit/PrivacyAudit.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>

using namespace velkor;

namespace {

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

QByteArray textBlock(qsizetype size, int seed)
{
    QByteArray line = "  | |   \"IOName\" = \"pci8086,a36d\"  \"reg\" = <0000a0000000000000000000> mac 00:11:22:33:44:55 uuid 12345678-90ab-cdef-1234-567890abcdef user ";
    line += QByteArray::number(seed) + "\n";
    QByteArray block;
    block.reserve(size);
    while (block.size() < size)
        block += line;
    block.truncate(size);
    return block;
}

QByteArray binaryBlock(qsizetype size)
{
    QByteArray block(size, '\0');
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    return block;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    const QString work = dir.filePath("SendToZantro_Work");
    constexpr qsizetype kMB = 1024 * 1024;
    writeBytes(work + "/ioregAPP.txt", textBlock(40 * kMB, 1));
    writeBytes(work + "/SysDump-Zantro.spx", textBlock(20 * kMB, 2));
    for (int index = 0; index < 20; ++index)
        writeBytes(work + QStringLiteral("/dumps/dump-%1.txt").arg(index), textBlock(kMB, index));
    for (int index = 0; index < 10; ++index)
        writeBytes(work + QStringLiteral("/ACPI/SSDT-%1.aml").arg(index), binaryBlock(2 * kMB));

    const std::vector<MachineIdentifier> identifiers{
        {IdentifierKind::SerialNumber, "C02N42J7G3QC"}, {IdentifierKind::SerialNumber, "VMware-56 4d 1a"},
        {IdentifierKind::UUID, "4C4C4544-0042-3510-8052-B4C04F333732"}, {IdentifierKind::MACAddress, "52:54:00:12:ab:cd"},
        {IdentifierKind::MACAddress, "02:fc:00:00:00:01"}, {IdentifierKind::MACAddress, "26:9e:b7:d0:d1:28"},
        {IdentifierKind::DeviceSerial, "QM00001STICK"}, {IdentifierKind::DeviceSerial, "S4EWNX0R123456"},
        {IdentifierKind::LoginName, "zantrouser"}, {IdentifierKind::HostName, "workbench-17"},
    };

    QElapsedTimer timer;
    timer.start();
    qint64 bytes = 0;
    for (const QString& folder : {work, work + "/dumps", work + "/ACPI"}) {
        for (const QString& name : QDir(folder).entryList(QDir::Files)) {
            QFile file(folder + "/" + name);
            if (file.open(QIODevice::ReadOnly))
                bytes += file.readAll().size();
        }
    }
    const double readSeconds = double(timer.nsecsElapsed()) / 1e9;

    timer.restart();
    PrivacyAudit audit(identifiers);
    const PrivacyAuditResult result = audit.run(work);
    const double auditSeconds = double(timer.nsecsElapsed()) / 1e9;

    std::printf("work folder: %.0f MB in %d files, %zu identifiers (%zu spellings)\n", double(bytes) / kMB,
                result.filesChecked, audit.identifiers()->identifiers().size(), audit.identifiers()->forms().size());
    std::printf("read only:   %.3f s\n", readSeconds);
    std::printf("audit:       %.3f s (%.0f MB/s; target: under 2 s for 100 MB)\n", auditSeconds, double(bytes) / kMB / auditSeconds);
    return 0;
}
