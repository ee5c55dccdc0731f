#include "acpi/PrivilegedHandover.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

QByteArray record(const QByteArray& kind, const QByteArray& name, const QByteArray& bytes)
{
    return kind + ' ' + QByteArray::number(bytes.size()) + ' ' + name + '\n' + bytes + '\n';
}

const QByteArray kStart = "VELKOR-PRIVILEGED 1\n";

PrivilegedRequest request()
{
    PrivilegedRequest request;
    request.efiRoots = {QStringLiteral("/boot/efi/EFI"), QStringLiteral("/efi/EFI")};
    return request;
}

TEST(PrivilegedHandover, EveryKindOfRecordLandsInItsPlace)
{
    const QByteArray output = kStart + record("log", "-", "[privileged] setup started\n") + record("table", "DSDT.aml", QByteArray("DSDT\0\1\2", 7))
        + record("table", "SSDT-1.aml", "SSDT") + record("output", "patchmatic-output.txt", "[privileged] ...\n")
        + record("bootlog", "-", "kernel: hello\n") + record("efi-root", "/efi/EFI", "")
        + record("efi", "/efi/EFI/OC/config.plist", "<plist/>")
        + record("xhci", "0000:00:14.0/reg-ext-protocol:00", "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000401\n")
        + record("xhci", "0000:00:14.0/reg-ext-protocol:01", "EXTCAP_REVISION = 0x02000802\n") // names no ports
        + record("dmi", "board_serial", " C0273930 0CDJ \n") + record("dmi", "product_uuid", "0F3D2A41-7B7E-4C55-9E2B-3A5F6B7C8D9E")
        + record("dmi", "chassis_serial", "") + record("log", "-", "[privileged] setup finished\n") + "END\n";
    const PrivilegedHandover handover = parsePrivilegedHandover(output, request());

    EXPECT_TRUE(handover.started);
    EXPECT_TRUE(handover.complete);
    EXPECT_EQ(handover.problem, QString());
    EXPECT_EQ(handover.log, "[privileged] setup started\n[privileged] setup finished\n");
    EXPECT_EQ(handover.patchmaticOutput, QByteArray("[privileged] ...\n"));
    ASSERT_EQ(handover.tables.size(), 2u);
    EXPECT_EQ(handover.tables[0], std::make_pair(QString("DSDT.aml"), QByteArray("DSDT\0\1\2", 7)));
    EXPECT_EQ(handover.tables[1].first, "SSDT-1.aml");
    const PrivilegedFacts& facts = handover.facts;
    EXPECT_EQ(facts.bootLog, QByteArray("kernel: hello\n"));
    EXPECT_EQ(facts.efiRoot, QString("/efi/EFI"));
    EXPECT_EQ(facts.efiConfigs.at("/efi/EFI/OC/config.plist"), "<plist/>");
    EXPECT_EQ(facts.xhciPortRanges, (std::map<QString, std::vector<XhciPortRange>>{{"0000:00:14.0", {{3, 0, 1, 4}}}}));
    ASSERT_EQ(facts.firmwareIdentifiers.size(), 2u);
    EXPECT_EQ(facts.firmwareIdentifiers[0].kind, IdentifierKind::SerialNumber);
    EXPECT_EQ(facts.firmwareIdentifiers[0].value, "C0273930 0CDJ");
    EXPECT_EQ(facts.firmwareIdentifiers[1].kind, IdentifierKind::UUID);
}

// Reading stops at the first record that breaks a rule; what came before it stays.
TEST(PrivilegedHandover, ARecordThatBreaksARuleEndsTheReading)
{
    const QByteArray table = record("table", "APIC.aml", "APIC");
    struct Case {
        QByteArray output;
        const char* problem;
    };
    const Case cases[] = {
        {"", "it printed nothing"},
        {"Error executing command\n", "its output does not begin with “VELKOR-PRIVILEGED 1”"},
        {kStart + table, "its output ends before its last record"},
        {kStart + table + "table 4\n", "a record header is malformed"},
        {kStart + table + record("shell", "x", "rm -rf /"), "a record is of an unknown kind"},
        {kStart + table + "table -4 A.aml\n", "a record header is malformed"},
        {kStart + table + "table 0x4 A.aml\nAAAA\n", "a record header is malformed"},
        {kStart + table + record("table", "BIG.aml", QByteArray(16 * 1024 * 1024 + 1, 'x')), "a table record is larger than allowed"},
        {kStart + table + record("dmi", "product_serial", QByteArray(257, 'x')), "a dmi record is larger than allowed"},
        {kStart + table + "table 10 B.aml\nBBBB\n", "a table record is cut short"},
        {kStart + table + "table 4 B.aml\nBBBBX", "a table record is cut short"},
        {kStart + table + record("table", "../B.aml", "B"), "a table record is named “../B.aml”"},
        {kStart + table + record("table", "sub/B.aml", "B"), "a table record is named “sub/B.aml”"},
        {kStart + table + record("table", ".B.aml", "B"), "a table record is named “.B.aml”"},
        {kStart + table + record("table", "B.sh", "B"), "a table record is named “B.sh”"},
        {kStart + table + record("table", "APIC.aml", "again"), "a table record repeats"},
        {kStart + table + record("output", "../../.bashrc", "x"), "an output record has a name of its own"},
        {kStart + table + record("efi-root", "/home/ann/EFI", ""), "an EFI root record names a folder that was not asked for"},
        {kStart + table + record("efi", "/boot/efi/EFI/OC/config.plist", "x"), "an EFI record names a file that was not asked for"},
        {kStart + table + record("efi-root", "/boot/efi/EFI", "") + record("efi", "/boot/efi/EFI/../../../etc/shadow", "x"),
         "an EFI record names a file that was not asked for"},
        {kStart + table + record("xhci", "../reg-ext-protocol:00", "x"), "an xHCI record is named “../reg-ext-protocol:00”"},
        {kStart + table + record("dmi", "../../etc/passwd", "x"), "a DMI record is named “../../etc/passwd”"},
        {kStart + table + QByteArray(5000, 'x') + "\n", "a record header is malformed"},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.problem);
        const PrivilegedHandover handover = parsePrivilegedHandover(testCase.output, request());
        EXPECT_EQ(handover.problem, QString::fromUtf8(testCase.problem));
        EXPECT_FALSE(handover.complete);
        EXPECT_EQ(handover.started, !testCase.output.isEmpty() && testCase.output.startsWith(kStart));
        if (handover.started) {
            ASSERT_GE(handover.tables.size(), 1u);
            EXPECT_EQ(handover.tables[0].first, "APIC.aml");
        }
    }
}

TEST(XhciProtocolCapability, ReadsTheRevisionAndThePortRangeOrNothing)
{
    EXPECT_EQ(parseXhciProtocolCapability("EXTCAP_REVISION = 0x03100802\nEXTCAP_NAME = 0x20425355\nEXTCAP_PORTINFO = 0x10000611\n"),
              (XhciPortRange{3, 16, 17, 6}));
    for (const char* text : {"", "EXTCAP_REVISION = 0x03000802\n", "EXTCAP_PORTINFO = 0x00000401\n",
                             "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000400\n",
                             "EXTCAP_REVISION = 0x03000802\nEXTCAP_PORTINFO = 0x00000001\n",
                             "EXTCAP_REVISION = zz\nEXTCAP_PORTINFO = 0x00000401\n"})
        EXPECT_EQ(parseXhciProtocolCapability(text), std::nullopt) << text;
}

} // namespace
} // namespace velkor
