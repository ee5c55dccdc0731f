#include "steps/CommandCapture.h"
#include "files/TextDecoding.h"
#include "privacy/TextMasking.h"
#include "support/RecordingLog.h"
#include "support/TestFiles.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

// The masked output, or the masked failure text of a failed tool; bytes not UTF-8 are noted in the file and the log.
TEST(CommandCapture, FileHoldsTheOutputMaskedInPiecesOrTheFailureTextAndTheNotes)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("out.txt");
    const QString warning = "WARNING: out.txt: /bin/sh wrote bytes that are not UTF-8; they are shown as U+FFFD.";
    const struct { StockCommand command; QString file; QStringList log = {}; } cases[] = {
        {{"/bin/sh", {"-c", "echo en0 00:1b:63:84:45:e6; exit 1"}},
         "Failure/timeout while running /bin/sh -c echo en0 XX:XX:XX:XX:XX:XX; exit 1\n"
         "Command failed: /bin/sh -c echo en0 XX:XX:XX:XX:XX:XX; exit 1\nen0 XX:XX:XX:XX:XX:XX\n\n"},
        {{"/bin/sh", {"-c", "printf 'OEM \\351t\\351 12345678-1234-1234-1234-123456789ABC\\n'"}},
         "OEM \uFFFDt\uFFFD XX-MASKED-UUID\n" + kNotUtf8Note + "\n", {warning}},
        // A property list is masked whole; an output without a final line feed gets one before the note.
        {{"/bin/sh", {"-c", "printf '<key>IOPlatformSerialNumber</key><string>C02XK1ABCD12\\377</string>'"}},
         "<key>IOPlatformSerialNumber</key><string>XX-MASKED-XX</string>\n" + kNotUtf8Note + "\n", {warning}},
    };
    for (const auto& c : cases) {
        RecordingLog log;
        captureCommandOutput(c.command, 10, target, &log);
        EXPECT_EQ(readText(target), c.file);
        EXPECT_EQ(log.lines, c.log);
    }
    // Pieces end only where no rule can match across them, whatever the piece size.
    const QByteArray uuid = "8B571A7A-C1E4-4B6D-9A32-0F2C6E7D1A55";
    const QByteArray outputs[] = {
        "Serial Number (system):\n\n   C02XK1ABCD12\nb Hardware UUID: \n " + uuid + "\nProvisioning UDID:\r\n\t00008030-001A\n",
        "a Serial Number (system):\n\n   C02XK1ABCD12\nHardware UUID: \n " + uuid + "\nc Provisioning UDID:\r\n\t00008030-001A\n",
        "a Hardware UUID:\xC2\xA0\n" + uuid + "\nb Serial Number (system):\xE2\x80\xA8\nC02X\n",
        "serial_number = C02X\nROM: 001122334455\nMLB=C0212345\n  IOPlatformUUID = \"" + uuid + "\"\n",
        "\xEF\xBB\xBF" "first line en0 00:1b:63:84:45:e6\n\xEF\xBB\xBF" "second\rthird 00-1B-63-84-45-E6\r\n",
        "<key>SerialNumber</key>\n\t<string>C02XK1ABCD12</string>\n<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n"
        "<string>Hardware UUID</string>\n<key>_value</key>\n<string>" + uuid + "</string>\n</dict>\n</array>\n",
        "<\xE2\x84\xAA" "ey>ROM</key>\n<data>\nAAEC\n</data>\n",
        "no line end at all: Hardware UUID: " + uuid,
        readFile(testData("privacy/ioreg-platform-excerpt.txt")),
    };
    for (const QByteArray& output : outputs) {
        const QByteArray whole = maskText(decodeUtf8Strictly(output).value()).toUtf8();
        for (const qsizetype pieceBytes : {1, 7, 64, 1 << 20}) {
            writeMaskedOutput(target, output, pieceBytes);
            EXPECT_EQ(readFile(target), whole) << pieceBytes << ": " << output.left(60).toStdString();
        }
    }
    // Cut at the limit, a later piece not UTF-8 and open at its end: the earlier file is replaced, both notes end it.
    const QByteArray output = QByteArray("line \xFF en0 00:1b:63:84:45:e6\n").repeated(50) + "\xFF\xFE";
    writeMaskedOutput(target, output, 64, output.size());
    EXPECT_EQ(readText(target), QString::fromUtf8("line \uFFFD en0 XX:XX:XX:XX:XX:XX\n").repeated(50) + QString::fromUtf8("\uFFFD\uFFFD\n")
                                    + "[Velkor] Output cut here, after 1452 bytes: the tool wrote more than Velkor keeps of one "
                                      "tool's output, and was stopped.\n"
                                    + kNotUtf8Note + "\n");
}

// A property list of many megabytes is decoded, masked and encoded again slice by slice: no
// sequence may be split at a slice's end (a four-byte character and invalid bytes lie across
// every 4 MiB boundary), only the first byte-order mark is dropped, and the rest of the rules
// still see the property-list rules' result.
TEST(CommandCapture, LargePropertyListsMaskAsWhole)
{
    QTemporaryDir dir;
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
    const QString target = dir.filePath("large.txt");
    // Handed over, as the capture hands its output over: only then is its memory given back.
    EXPECT_TRUE(writeMaskedOutput(target, std::move(output), 1 << 20).notUtf8);
    EXPECT_EQ(readFile(target), whole.toUtf8());
}
