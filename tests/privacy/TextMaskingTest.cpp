#include "privacy/RedactionRules.h"
#include "privacy/RuleMatchers.h"
#include "privacy/TextMasking.h"
#include "support/QtPrinters.h"
#include "support/TestFiles.h"

#include <gtest/gtest.h>

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

#include <memory>
#include <vector>

namespace velkor {
namespace {

QString masked(const QString& text)
{
    const std::optional<QString> fast = tryMaskText(text);
    EXPECT_TRUE(fast.has_value());
    EXPECT_EQ(fast, maskTextReference(text)) << "differs from plain ICU";
    return fast.value_or(QString());
}

TEST(TextMasking, SystemSerialLineIsMaskedTwice)
{
    // Rule 3 masks the value; rule 8 then takes the mask's leading XX for a serial.
    EXPECT_EQ(masked("Serial Number (system): C02XG0FDH7JY\n"), "Serial Number (system): XX-MASKED-XX-MASKED-XX\n");
    EXPECT_EQ(masked("      Serial Number (system): C02XG0FDH7JY\n      Model: iMac\n"),
              "      Serial Number (system): XX-MASKED-XX-MASKED-XX\n      Model: iMac\n");
    // Inside a line rule 3 does not apply; rule 8 alone masks the serial.
    EXPECT_EQ(masked("Hardware: Serial Number (system):\tW8A1B2C3 (x)"), "Hardware: Serial Number (system):\tXX-MASKED-XX (x)");
}

TEST(TextMasking, HardwareUuidAndProvisioningLines)
{
    EXPECT_EQ(masked("Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732\n"), "Hardware UUID: XX-MASKED-XX\n");
    EXPECT_EQ(masked("  Provisioning UDID: 00008030-001A2D3E0C2B802E\n"), "  Provisioning UDID: XX-MASKED-XX\n");
    // Not at a line start: rule 4 takes the UUID before rule 9 sees it.
    EXPECT_EQ(masked("info Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732"), "info Hardware UUID: XX-MASKED-UUID");
    EXPECT_EQ(masked("note Hardware UUID: ABCD-1234"), "note Hardware UUID: XX-MASKED-UUID");
}

TEST(TextMasking, UuidsAnywhereInAnyCase)
{
    EXPECT_EQ(masked("7C436110-AB2A-4BBB-A880-FE41995C9F82:boot-args\tkeepsyms=1\n"), "XX-MASKED-UUID:boot-args\tkeepsyms=1\n");
    EXPECT_EQ(masked("kext com.example (1.0) 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9 <5 6>"),
              "kext com.example (1.0) XX-MASKED-UUID <5 6>");
    // Part of a longer word: no word boundary, no UUID.
    EXPECT_EQ(masked("x0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9"), "x0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
}

TEST(TextMasking, MacAddressesWithColonsOrHyphensInAnyCase)
{
    EXPECT_EQ(masked("ether 00:1a:2B:3c:4D:5e\nBSSID AA-BB-cc-dd-EE-0f\n"), "ether XX:XX:XX:XX:XX:XX\nBSSID XX:XX:XX:XX:XX:XX\n");
    // A seventh group is not part of the address.
    EXPECT_EQ(masked("id 00:11:22:33:44:55:66"), "id XX:XX:XX:XX:XX:XX:66");
}

TEST(TextMasking, FurtherIdentifyingLinesKeepTheirLabel)
{
    EXPECT_EQ(masked("board-serial-number (slot 2) = XYZ987\nnext: line\n"), "board-serial-number (slot 2) = XX-MASKED-XX\nnext: line\n");
    EXPECT_EQ(masked("\tMLB:\t\tC02123456789ABC\r\nROM = 0a1b2c3d4e5f\r\n"), "\tMLB:\t\tXX-MASKED-XX\r\nROM = XX-MASKED-XX\r\n");
    // Without a separator the label runs to the last blank.
    EXPECT_EQ(masked("serial-number value without separator\nkept"), "serial-number value without XX-MASKED-XX\nkept");
    EXPECT_EQ(masked("ROMAN numerals\n"), "ROMAN XX-MASKED-XX\n");
    EXPECT_EQ(masked("platform_uuidless\n"), "platform_uuidless\n");
}

TEST(TextMasking, PropertyListValuesUnderIdentifyingKeys)
{
    EXPECT_EQ(masked("<key>MLB</key>\n\t<string>C02123456789ABC</string>\n<key>rOm</key><data>\n\tAAECAwQF\n\t</data>"),
              "<key>MLB</key>\n\t<string>XX-MASKED-XX</string>\n<key>rOm</key><data>XX-MASKED-XX</data>");
    EXPECT_EQ(masked("<key> Hardware UUID </key> <string>4C4C4544-0042-3510-8052-B4C04F4D3732</string>"),
              "<key> Hardware UUID </key> <string>XX-MASKED-XX</string>");
    EXPECT_EQ(masked("<key>Model</key><string>iMac18,3</string>"), "<key>Model</key><string>iMac18,3</string>");
}

TEST(TextMasking, SystemProfilerItemsByName)
{
    const QString items = "<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n<string>Serial Number (system)</string>\n"
                          "<key>_value</key>\n<string>C02XG0FDH7JY</string>\n</dict>\n</array>";
    EXPECT_EQ(masked(items), QString(items).replace("C02XG0FDH7JY", "XX-MASKED-XX"));
}

TEST(TextMasking, UnclosedValuesAndItemsAreLeftAsTheyAre)
{
    // The shapes that make the plain patterns quadratic and cubic.
    for (const QString& line : {QString("<key>SerialNumber</key><string>abc\n"),
                                QString("<key>_items</key><array><dict><key>_name</key><string>Model Name</string>\n")}) {
        const QString text = line.repeated(20000);
        const std::optional<QString> result = tryMaskText(text);
        ASSERT_TRUE(result.has_value());
        EXPECT_TRUE(*result == text) << "changed: " << line.toStdString();
    }
}

TEST(TextMasking, RealRegistryExcerptMatchesIcu)
{
    const QString text = testing::readText(testing::testData("privacy/ioreg-platform-excerpt.txt"));
    ASSERT_FALSE(text.isEmpty());
    const QString result = masked(text);
    EXPECT_EQ(result.count("XX-MASKED-UUID"), 3);
    EXPECT_FALSE(result.contains("40AB9C30-EF7B-5A82-AD83-AC2DEB2526B5"));
}

// ---------------------------------------------------------------------------------------------
// Engine failures: nothing partly masked comes out.

TEST(TextMaskingFailure, AFailingRuleFailsTheWholeText)
{
    std::vector<RedactionRule> rules = redactionRules();
    rules.push_back({QStringLiteral("serial"), QStringLiteral("$7")}); // no group 7: fails at the first match
    EXPECT_FALSE(tryMaskText("Serial Number: 1", rules).has_value());
    EXPECT_FALSE(maskTextReference("Serial Number: 1", rules).has_value());
    EXPECT_TRUE(tryMaskText("nothing to see", rules).has_value());
}

TEST(TextMaskingFailure, BacktrackingStackOverflowIsAFailureNotAShortResult)
{
    // ICU's replaceAll would stop here, copy the rest unchanged and report success.
    const std::vector<RedactionRule> rules{{QStringLiteral("(a|b)*c"), QStringLiteral("X")}};
    EXPECT_FALSE(tryMaskText(QString(400000, QLatin1Char('a')), rules).has_value());
}

TEST(TextMaskingFailure, EngineLimitsReachTheLinearMatchers)
{
    // The long s (case-folded to s) makes the matcher ask ICU, which fails with a stack too
    // small for a single saved state.
    const QString text = QString("\u017Ferial Number (system): C02");
    MaskingLimits tiny;
    tiny.stackLimitBytes = 1;
    EXPECT_FALSE(tryMaskText(text, redactionRules(), tiny).has_value());
    EXPECT_TRUE(tryMaskText("Serial Number (system): C02", redactionRules(), tiny).has_value())
        << "plain ASCII needs no engine";
    EXPECT_EQ(maskText(text), "\u017Ferial Number (system): XX-MASKED-XX-MASKED-XX");
}

TEST(TextMaskingFailure, UncompilablePatternIsSkipped)
{
    std::vector<RedactionRule> rules{{QStringLiteral("(unclosed"), QStringLiteral("X")}, redactionRules()[3]};
    EXPECT_EQ(tryMaskText("(unclosed 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", rules),
              QString("(unclosed XX-MASKED-UUID"));
}

// ---------------------------------------------------------------------------------------------
// The character classes the matchers rely on, against ICU over every code point.

std::vector<bool> icuMembers(const char16_t* pattern)
{
    icu::UnicodeString all;
    for (UChar32 c = 0; c < 0x110000; ++c)
        if (c < 0xd800 || c > 0xdfff)
            all.append(c);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexPattern> compiled(
        icu::RegexPattern::compile(icu::UnicodeString(pattern), UREGEX_CASE_INSENSITIVE | UREGEX_MULTILINE, status));
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(all, status));
    std::vector<bool> members(0x110000, false);
    while (matcher->find(status))
        members[size_t(all.char32At(matcher->start(status)))] = true;
    EXPECT_TRUE(U_SUCCESS(status));
    return members;
}

TEST(MatcherCharacterClasses, AgreeWithIcuForEveryCodePoint)
{
    const std::vector<bool> space = icuMembers(u"\\s");
    const std::vector<bool> dot = icuMembers(u".");
    const std::vector<bool> serial = icuMembers(u"[A-Z0-9]");
    const std::vector<bool> hex = icuMembers(u"[A-F0-9]");
    const std::vector<bool> hexDash = icuMembers(u"[A-F0-9-]");
    const std::vector<bool> label = icuMembers(u"[ \\t:=]");
    int mismatches = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (c >= 0xd800 && c <= 0xdfff)
            continue;
        const bool ascii = c < 0x80;
        const bool alnum = ascii && std::isalnum(int(c));
        const bool isHex = ascii && std::isxdigit(int(c));
        mismatches += space[c] != masking::isRegexSpace(c);
        mismatches += dot[c] == masking::isLineTerminator(c);
        mismatches += serial[c] != (alnum || c == 0x17f || c == 0x212a);
        mismatches += hex[c] != isHex;
        mismatches += hexDash[c] != (isHex || c == '-');
        mismatches += label[c] != (c == ' ' || c == '\t' || c == ':' || c == '=');
        // Characters whose case folding yields ASCII are the ones the matchers hand to ICU.
        UChar in[2];
        int32_t length = 0;
        U16_APPEND_UNSAFE(in, length, UChar32(c));
        UChar folded[8];
        UErrorCode status = U_ZERO_ERROR;
        const int32_t foldedLength = u_strFoldCase(folded, 8, in, length, U_FOLD_CASE_DEFAULT, &status);
        bool yieldsAscii = u_foldCase(UChar32(c), U_FOLD_CASE_DEFAULT) < 0x80;
        for (int32_t i = 0; i < foldedLength; ++i)
            yieldsAscii = yieldsAscii || folded[i] < 0x80;
        mismatches += !ascii && yieldsAscii != masking::mayFoldToAscii(c);
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
} // namespace velkor
