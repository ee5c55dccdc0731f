#include "companion/RegistryCompanion.h"
#include "support/TestFiles.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

struct CompanionRun {
    int status = -1;
    QString out, err;
};

CompanionRun runCompanion(const QStringList& arguments)
{
    CompanionRun run;
    QTextStream out(&run.out), err(&run.err);
    run.status = runRegistryCompanion(arguments, AppBundle::atBundlePath(testData("usb/bundle/Velkor.app"), "/nonexistent"), out, err);
    out.flush(), err.flush();
    return run;
}

} // namespace

// Bad command lines, inputs that are not regular files and unwritable outputs fail with the
// reason; control characters in names and texts reach the terminal escaped.
TEST(RegistryCompanion, CommandLineAndInputErrorsAreClear)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo"), escaping = dir.filePath("esc\x1b[2Jape.txt"), imac = testData("registry/imac18-3-ioreg.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    writeFile(escaping, "+-o Root  <class IORegistryEntry, id 0x100000100, retain 11>\n  | {\n  |   \"a\" = \x1b]0;owned\x07\n");
    writeFile(dir.filePath("a-file"), "x");
    const struct {
        QStringList arguments;
        int status;
        QString printed;
    } cases[] = {
        {{"--help"}, 0, "Exit status: 0 success, 1 failure (with a message), 2 wrong command line.\n"},
        {{"--version"}, 0, "velkor-registry 1."},
        {{}, 2, "Usage: velkor-registry"},
        {{"only-one"}, 2, "Usage: velkor-registry"},
        {{"--unknown", "x"}, 2, "Usage: velkor-registry"},
        {{dir.filePath("nowhere.txt"), dir.filePath("out")}, 1, dir.filePath("nowhere.txt") + ": No such file or directory"},
        {{fifo, dir.filePath("out")}, 1, fifo + ": it is a pipe, not a regular file"},
        {{dir.path(), dir.filePath("out")}, 1, dir.path() + ": it is a folder, not a regular file"},
        {{escaping, dir.filePath("out")}, 1, dir.filePath("esc\\x1b[2Jape.txt") + ":3: "},
        {{imac, dir.filePath("a-file")}, 1, "velkor-registry: The output folder “" + dir.filePath("a-file") + "” is a file"},
        {{imac, "/proc/velkor-output"}, 1, "/proc/velkor-output"},
        {{imac, dir.filePath("imac")}, 0, "wrote " + dir.filePath("imac/ioreg.txt") + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        const CompanionRun run = runCompanion(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_TRUE((run.out + run.err).contains(c.printed)) << (run.out + run.err).toStdString();
        EXPECT_FALSE(run.err.contains(QChar(0x1b)) || run.err.contains(QChar(0x07))) << run.err.toStdString();
    }
    // No ACPI folder for a registry without tables; the kext's model is the saved Mac's.
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("imac/ACPI")));
    EXPECT_TRUE(readText(dir.filePath("imac/Portwright.kext/Contents/Info.plist")).contains("<key>iMac18,3-"));
}

// The saved Mac's identifiers, planted wherever registries keep them, and the product key never
// reach a file written: not as an entry's name, nor in a binary table.
TEST(RegistryCompanion, PlantedIdentifiersAndTheProductKeyNeverReachTheOutput)
{
    const QString serial = "C02PLNT5XYZW";
    QList<QByteArray> spellings{"VK7JG-NPHTM-C97JM-9MPGT-3V66T", QByteArray("VK7JG-NPHTM-C97JM-9MPGT-3V66T").toHex(),
                                QByteArray(reinterpret_cast<const char*>(serial.utf16()), serial.size() * 2)};
    for (const char* value : {"C02PLNT5XYZW", "5A1E2B3C-4D5E-4F60-8172-93A4B5C6D7E8", "USBSER12345678", "WD-WX41A1234567",
                              "D865033Y2ATFTMQAN", "Janes-MacBook", "Jane Appleseed", "jane"})
        spellings.append(value);
    for (const QByteArray& address : {QByteArray::fromHex("a4b1c2d3e4f5"), QByteArray::fromHex("10ddb1aabbcc")})
        spellings += {address.toHex(), address.toHex(':'), address.toHex('-')};
    QTemporaryDir dir;
    const QString input = dir.filePath("saved \"Mac\" \u00e4.txt"), output = dir.filePath("out put \u00f6");
    writeFile(input, readFile(testData("companion/planted-ioreg.txt")));
    writeFile(output + "/notes.txt", serial.toUtf8()); // not the companion's: left as it is
    const CompanionRun run = runCompanion({input, output});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();

    const QStringList written = filesBelow(output);
    for (const QString& file : written)
        for (const QByteArray& spelling : spellings)
            EXPECT_TRUE(file.endsWith("/notes.txt") || !readFile(file).toLower().contains(spelling.toLower()))
                << file.toStdString() << " holds " << spelling.toStdString();
    EXPECT_EQ(readFile(output + "/notes.txt"), serial.toUtf8());
    // Names are masked, not dropped; the table holding the serial in UTF-16 is left out, and said so.
    EXPECT_TRUE(readText(output + "/Portwright-report.txt").contains("active=XX-MASKED-XX's iPhone"));
    EXPECT_TRUE(run.out.contains("wrote " + output + "/ACPI/DSDT.aml\n")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("removed the Windows product key from " + output + "/ACPI/MSDM.aml")) << run.out.toStdString();
    EXPECT_FALSE(written.join('\n').contains("SSDT"));
    EXPECT_TRUE(run.err.contains("left out ACPI/SSDT")) << run.err.toStdString();
}
