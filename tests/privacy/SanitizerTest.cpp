#include "base/CollectorError.h"
#include "platform/linux/LibplistPropertyListService.h"
#include "privacy/Sanitizer.h"
#include "privacy/TextMasking.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

namespace velkor {
namespace {

using namespace testing;

const QByteArray kUuidLine = "id 4C4C4544-0042-3510-8052-B4C04F4D3732\n";
const QByteArray kMaskedUuidLine = "id XX-MASKED-UUID\n";

// Every identifier kind, masked in memory as ICU would, and in a file in each encoding it may
// come in, written back in that encoding with every byte outside a match unchanged.
TEST(Masking, EveryIdentifierKindInEveryEncoding)
{
    const QString items = "<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n<string>Serial Number (system)</string>\n"
                          "<key>_value</key>\n<string>C02XG0FDH7JY</string>\n</dict>\n</array>";
    const struct {
        QString text;
        QString masked;
    } rules[] = {
        // A line of its own: rule 3 masks the value, then rule 8 takes the mask's XX for a serial.
        {"      Serial Number (system): C02XG0FDH7JY\n      Model: iMac\n",
         "      Serial Number (system): XX-MASKED-XX-MASKED-XX\n      Model: iMac\n"},
        {"Hardware: Serial Number (system):\tW8A1B2C3 (x)", "Hardware: Serial Number (system):\tXX-MASKED-XX (x)"},
        {"Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732\n", "Hardware UUID: XX-MASKED-XX\n"},
        {"  Provisioning UDID: 00008030-001A2D3E0C2B802E\n", "  Provisioning UDID: XX-MASKED-XX\n"},
        // Not at a line start: rule 4 takes the UUID before rule 9 sees it.
        {"info Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732", "info Hardware UUID: XX-MASKED-UUID"},
        {"note Hardware UUID: ABCD-1234", "note Hardware UUID: XX-MASKED-UUID"},
        {"note Provisioning UDID: 00008030-001A", "note Provisioning UDID: XX-MASKED-UUID"},
        {"7C436110-AB2A-4BBB-A880-FE41995C9F82:boot-args\tkeepsyms=1\n", "XX-MASKED-UUID:boot-args\tkeepsyms=1\n"},
        {"kext (1.0) 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9 <5 6>", "kext (1.0) XX-MASKED-UUID <5 6>"},
        {"x0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", "x0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"}, // no word boundary
        {"ether 00:1a:2B:3c:4D:5e\nBSSID AA-BB-cc-dd-EE-0f\n", "ether XX:XX:XX:XX:XX:XX\nBSSID XX:XX:XX:XX:XX:XX\n"},
        {"id 00:11:22:33:44:55:66", "id XX:XX:XX:XX:XX:XX:66"},
        {"board-serial-number (slot 2) = XYZ987\nnext: line\n", "board-serial-number (slot 2) = XX-MASKED-XX\nnext: line\n"},
        {"\tMLB:\t\tC02123456789ABC\r\nROM = 0a1b2c3d4e5f\r\n", "\tMLB:\t\tXX-MASKED-XX\r\nROM = XX-MASKED-XX\r\n"},
        // Without a separator the label runs to the last blank.
        {"serial-number value without separator\nkept", "serial-number value without XX-MASKED-XX\nkept"},
        {"ROMAN numerals\n", "ROMAN XX-MASKED-XX\n"},
        {"platform_uuidless\n", "platform_uuidless\n"},
        {"<key>MLB</key>\n\t<string>C02123456789ABC</string>\n<key>rOm</key><data>\n\tAAECAwQF\n\t</data>",
         "<key>MLB</key>\n\t<string>XX-MASKED-XX</string>\n<key>rOm</key><data>XX-MASKED-XX</data>"},
        {"<key> Hardware UUID </key> <string>4C4C4544-0042-3510-8052-B4C04F4D3732</string>",
         "<key> Hardware UUID </key> <string>XX-MASKED-XX</string>"},
        {"<key>Model</key><string>iMac18,3</string>", "<key>Model</key><string>iMac18,3</string>"},
        {items, QString(items).replace("C02XG0FDH7JY", "XX-MASKED-XX")},
    };
    // The byte-order mark stands right before the first line the rules anchor at; a last line
    // makes the Latin-1 text invalid UTF-8.
    const struct { const char* name; QByteArray (*encode)(const QString&); } encodings[] = {
        {"utf8.txt", [](const QString& text) { return text.toUtf8(); }},
        {"utf8-mark.log", [](const QString& text) { return "\xef\xbb\xbf" + text.toUtf8(); }},
        {"utf16-mark.txt", [](const QString& text) { return "\xff\xfe" + QByteArray(QStringEncoder(QStringConverter::Utf16LE)(text)); }},
        {"utf16-big-endian-no-mark.txt", [](const QString& text) { return QByteArray(QStringEncoder(QStringConverter::Utf16BE)(text)); }},
        {"latin1.txt", [](const QString& text) { return text.toLatin1(); }},
    };
    QTemporaryDir dir;
    LibplistPropertyListService propertyLists;
    for (const auto& rule : rules) {
        SCOPED_TRACE(rule.text.toStdString());
        EXPECT_EQ(tryMaskText(rule.text), rule.masked);
        EXPECT_EQ(maskTextReference(rule.text), rule.masked);
        for (const auto& encoding : encodings) {
            const QString file = dir.filePath(encoding.name);
            writeFile(file, encoding.encode(rule.text + QString::fromUtf8("\nÿ")));
            EXPECT_TRUE(sanitizeTextLikeFile(propertyLists, file).masked);
            EXPECT_EQ(readFile(file), encoding.encode(rule.masked + QString::fromUtf8("\nÿ"))) << encoding.name;
        }
    }
}

// Nothing partly masked comes out of an engine failure.
TEST(Masking, AFailingRuleOrEngineLimitFailsTheWholeTextAndABrokenPatternIsSkipped)
{
    std::vector<RedactionRule> rules = redactionRules();
    rules.push_back({QStringLiteral("serial"), QStringLiteral("$7")}); // no group 7: fails at the first match
    EXPECT_FALSE(tryMaskText("Serial Number: 1", rules).has_value());
    // ICU's replaceAll would stop at a stack overflow, copy the rest unchanged and report success.
    EXPECT_FALSE(tryMaskText(QString(400000, QLatin1Char('a')), {{QStringLiteral("(a|b)*c"), QStringLiteral("X")}}).has_value());
    EXPECT_EQ(tryMaskText("(unclosed 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9",
                          {{QStringLiteral("(unclosed"), QStringLiteral("X")}, redactionRules()[3]}),
              QString("(unclosed XX-MASKED-UUID"));
    // The long s makes the matcher ask ICU, which fails with a stack too small for one state.
    const MaskingLimits tiny{1, std::nullopt};
    EXPECT_FALSE(tryMaskText(QString("\u017Ferial Number (system): C02"), redactionRules(), tiny).has_value());
    EXPECT_TRUE(tryMaskText("Serial Number (system): C02", redactionRules(), tiny).has_value()) << "plain ASCII needs no engine";
    // The shapes that make the plain patterns quadratic and cubic, far too large for ICU here.
    for (const QString& line : {QString("<key>SerialNumber</key><string>abc\n"),
                                QString("<key>_items</key><array><dict><key>_name</key><string>Model Name</string>\n")})
        EXPECT_EQ(tryMaskText(line.repeated(20000)), line.repeated(20000));
}

TEST(Sanitizer, FolderWalkMasksEveryTextLikeFileAndOnlyThose)
{
    QTemporaryDir root;
    const auto path = [&root](const QString& relative) { return root.filePath(relative); };
    const struct { const char* path; bool masked; } files[] = {
        {"ioreg.txt", true}, {"CPUFriend-Dump/deep/er/run.LOG", true}, {"Dossier été/it's \"quoted\" name.txt", true},
        {".hidden.txt", true}, {"SysDump.xml", true}, // not a property list: masked as it stands
        {"ACPI/DSDT.aml", false}, {"tool.command", false}, {"noextension", false},
    };
    for (const auto& file : files)
        writeFile(path(file.path), kUuidLine);
    writeFile(path("OC-config.plist"), readFile(testData("dumps/oc-config-binary.plist")));
    writeFile(path("unreadable.txt"), kUuidLine);
    ::chmod(QFile::encodeName(path("unreadable.txt")).constData(), 0);
    writeFile(path("notes.log"), "nothing to mask\n");
    const utimbuf epoch{};
    ASSERT_EQ(::utime(QFile::encodeName(path("notes.log")).constData(), &epoch), 0);

    LibplistPropertyListService propertyLists;
    const FolderSanitizing sanitized = sanitizeDirectory(propertyLists, root.path());

    for (const auto& file : files)
        EXPECT_EQ(readFile(path(file.path)), file.masked ? kMaskedUuidLine : kUuidLine) << file.path;
    // A binary property list becomes XML with its four identifiers masked.
    const QString config = readText(path("OC-config.plist"));
    EXPECT_TRUE(config.startsWith("<?xml") && config.count("XX-MASKED-XX") == 4 && config.contains("<string>iMac19,1</string>"))
        << config.toStdString();
    EXPECT_GT(QFileInfo(path("notes.log")).lastModified().toSecsSinceEpoch(), 0) << "not written back when nothing changed";
    // What cannot be read leaves the package (root reads everything).
    if (::geteuid() != 0) {
        EXPECT_EQ(sanitized.removed, QStringList{"unreadable.txt"});
        EXPECT_FALSE(QFileInfo::exists(path("unreadable.txt")));
    }
    sanitizeTextLikeFile(propertyLists, path("ioreg.txt"), [](QString) { return std::nullopt; });
    EXPECT_EQ(readText(path("ioreg.txt")), kUnmaskableTextNote);
}

// A file that cannot be written back would reach the package unmasked: that ends the walk.
TEST(Sanitizer, AFailedWriteFailsTheWalk)
{
    FullDisk disk;
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    LibplistPropertyListService propertyLists;
    EXPECT_NO_THROW(sanitizeDirectory(propertyLists, disk.path("does-not-exist")));
    writeFile(disk.path("b.txt"), QByteArray(8192, 'x') + kUuidLine);
    disk.fill();
    EXPECT_THROW(sanitizeDirectory(propertyLists, disk.path(".")), PlatformError);
    EXPECT_EQ(readFile(disk.path("b.txt")), QByteArray(8192, 'x') + kUuidLine);
}

} // namespace
} // namespace velkor
