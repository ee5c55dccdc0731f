#include "steps/CommandCapture.h"
#include "files/TextDecoding.h"
#include "privacy/TextMasking.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"

#include <QDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// A command that fails or cannot start leaves its failure text in the file instead of its
// output, masked like any output.
TEST(CommandCapture, FailuresLeaveTheMaskedFailureTextInTheFile)
{
    StepFixture f;
    const QString script = writeScript(f.env.path("pmset"), "echo 'en0 00:1b:63:84:45:e6'\nexit 1");
    const QString target = f.work() + "/Pmset.txt";
    captureCommandOutput({"/bin/sh", {"-c", script + " -g"}}, 8, target);
    const QString commandLine = "/bin/sh -c " + script + " -g";
    EXPECT_EQ(readText(target), "Failure/timeout while running " + commandLine + "\nCommand failed: " + commandLine
                                    + "\nen0 XX:XX:XX:XX:XX:XX\n\n");

    captureCommandOutput({"/nonexistent/tool", {"-g"}}, 8, target);
    EXPECT_TRUE(readText(target).startsWith("Failure/timeout while running /nonexistent/tool -g\nCould not launch"));

    captureCommandOutput(f.fake("ok", "echo 'id 12345678-1234-1234-1234-123456789ABC'"), 8, target);
    EXPECT_EQ(readText(target), "id XX-MASKED-UUID\n");
}

TEST(CommandCapture, MaskingInPiecesEqualsMaskingWhole)
{
    StepFixture f;
    const QByteArray uuid = "8B571A7A-C1E4-4B6D-9A32-0F2C6E7D1A55";
    const QByteArray cases[] = {
        "Serial Number (system):\n\n   C02XK1ABCD12\nHardware UUID: \n " + uuid + "\nProvisioning UDID:\r\n\t00008030-001A\n",
        "a Serial Number (system):\n\n   C02XK1ABCD12\nb Hardware UUID: \n " + uuid + "\nc Provisioning UDID:\r\n\t00008030-001A\n",
        "a Hardware UUID:\xC2\xA0\n" + uuid + "\nb Serial Number (system):\xE2\x80\xA8\nC02X\n",
        "serial_number = C02X\nROM: 001122334455\nMLB=C0212345\n  IOPlatformUUID = \"" + uuid + "\"\n",
        "\xEF\xBB\xBF" "first line en0 00:1b:63:84:45:e6\n\xEF\xBB\xBF" "second\rthird 00-1B-63-84-45-E6\r\n",
        "<key>SerialNumber</key>\n\t<string>C02XK1ABCD12</string>\n<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n"
        "<string>Hardware UUID</string>\n<key>_value</key>\n<string>" + uuid + "</string>\n</dict>\n</array>\n",
        "<\xE2\x84\xAA" "ey>ROM</key>\n<data>\nAAEC\n</data>\n",
        "no line end at all: Hardware UUID: " + uuid,
        readFile(testData("privacy/ioreg-platform-excerpt.txt")),
    };
    const QString target = f.work() + "/masked.txt";
    for (const QByteArray& output : cases) {
        const QByteArray whole = maskText(decodeUtf8Strictly(output).value()).toUtf8();
        for (const qsizetype pieceBytes : {1, 7, 64, 1 << 20}) {
            writeMaskedOutput(target, output, pieceBytes);
            EXPECT_EQ(readFile(target), whole) << pieceBytes << ": " << output.left(60).toStdString();
        }
    }
    writeMaskedOutput(target, readFile(testData("registry/macbookpro11-2-ioreg.txt")), 256);
    EXPECT_EQ(readFile(target), maskText(readText(testData("registry/macbookpro11-2-ioreg.txt"))).toUtf8());
}

// A property list of many megabytes is decoded, masked and encoded again slice by slice: no
// sequence may be split at a slice's end (a four-byte character and invalid bytes lie across
// every 4 MiB boundary), only the first byte-order mark is dropped, and the rest of the rules
// still see the property-list rules' result.
TEST(CommandCapture, LargePropertyListsMaskAsWhole)
{
    StepFixture f;
    QByteArray output = "\xEF\xBB\xBF<key>_items</key><array><dict><key>_name</key><string>Hardware UUID</string>"
                        "<key>_value</key><string>8B571A7A-C1E4-4B6D-9A32-0F2C6E7D1A55</string></dict></array>\n";
    const QByteArray entry = "<key>MLB</key><string></string> \xF0\x9F\x98\x80 caf\xC3\xA9 \xE9\x80\x80 \xEF\xBB\xBF"
                             "Hardware UUID:\n 8B571A7A-C1E4-4B6D-9A32-0F2C6E7D1A55 en0 00:1b:63:84:45:e6\n";
    const auto fillTo = [&](qsizetype size) {
        while (output.size() < size)
            output += entry.left(1 + output.size() % entry.size()) + "\n" + entry;
    };
    fillTo((4 << 20) - 1000);
    output += QByteArray((4 << 20) - 2 - output.size(), 'a') + entry.mid(entry.indexOf('\xF0'));
    fillTo(9 << 20);
    bool replaced = false;
    const QString whole = maskText(decodeUtf8Lossily(output, replaced)) + kNotUtf8Note + "\n";
    const QString target = f.work() + "/large.txt";
    // Handed over, as the capture hands its output over: only then is its memory given back.
    EXPECT_TRUE(writeMaskedOutput(target, std::move(output), 1 << 20).notUtf8);
    EXPECT_EQ(readFile(target), whole.toUtf8());
}

// Output that is not UTF-8 (a Latin-1 string in a table) is kept with U+FFFD for each bad
// byte, masked, and noted once in the file and in the log.
TEST(CommandCapture, InvalidUtf8IsKeptMaskedAndNoted)
{
    StepFixture f;
    const QString notUtf8 = "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n";
    const struct {
        const char* script;
        QString head; // what the file starts with
        QString tail; // and ends with
        QStringList warnings;
    } cases[] = {
        {"printf 'OEM \\351t\\351 12345678-1234-1234-1234-123456789ABC\\n'",
         QString::fromUtf8("OEM \uFFFDt\uFFFD XX-MASKED-UUID\n"), notUtf8,
         {"WARNING: out.txt: " + f.env.path("fakes/tool") + " wrote bytes that are not UTF-8; they are shown as U+FFFD."}},
        {"printf '<key>IOPlatformSerialNumber</key><string>C02XK1ABCD12\\377</string>'",
         QString::fromUtf8("<key>IOPlatformSerialNumber</key><string>"), "</string>\n" + notUtf8,
         {"WARNING: out.txt: " + f.env.path("fakes/tool") + " wrote bytes that are not UTF-8; they are shown as U+FFFD."}},
    };
    const QString target = f.work() + "/out.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        f.log.lines.clear();
        captureCommandOutput(f.fake("tool", c.script), 60, target, &f.log);
        const QString text = readText(target);
        EXPECT_TRUE(text.startsWith(c.head)) << text.left(200).toStdString();
        EXPECT_TRUE(text.endsWith(c.tail)) << text.right(200).toStdString();
        EXPECT_FALSE(text.contains("C02XK1ABCD12"));
        EXPECT_EQ(f.log.lines, c.warnings);
    }
}


// A flood cut at the limit (here a later piece that is not UTF-8 and ends mid-line) keeps what
// came before, and the file ends with both notes.
TEST(CommandCapture, ACutOutputWithBytesThatAreNotUtf8InALaterPieceIsKeptAndNotedOnce)
{
    StepFixture f;
    const QString target = f.work() + "/masked.txt";
    writeFile(target, "earlier run");
    const QByteArray output = QByteArray("line \xFF en0 00:1b:63:84:45:e6\n").repeated(50) + "\xFF\xFE";
    const OutputNotes notes = writeMaskedOutput(target, output, 64, output.size());
    EXPECT_TRUE(notes.notUtf8);
    EXPECT_TRUE(notes.cut);
    EXPECT_EQ(readText(target), QString::fromUtf8("line \uFFFD en0 XX:XX:XX:XX:XX:XX\n").repeated(50) + QString::fromUtf8("\uFFFD\uFFFD\n")
                                    + "[Velkor] Output cut here, after 1452 bytes: the tool wrote more than Velkor keeps of one tool's output, and was stopped.\n"
                                    + "[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.\n");
    EXPECT_EQ(QDir(f.work()).entryList(QDir::Files), QStringList{"masked.txt"});
}


