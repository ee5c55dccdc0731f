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

TEST(TextMasking, EachRuleMasksItsIdentifiersAndKeepsTheirLabels)
{
    const QString items = "<key>_items</key>\n<array>\n<dict>\n<key>_name</key>\n<string>Serial Number (system)</string>\n"
                          "<key>_value</key>\n<string>C02XG0FDH7JY</string>\n</dict>\n</array>";
    const struct {
        QString text;
        QString masked;
    } cases[] = {
        // A line of its own: rule 3 masks the value, then rule 8 takes the mask's XX for a serial.
        {"      Serial Number (system): C02XG0FDH7JY\n      Model: iMac\n", "      Serial Number (system): XX-MASKED-XX-MASKED-XX\n      Model: iMac\n"},
        {"Hardware: Serial Number (system):\tW8A1B2C3 (x)", "Hardware: Serial Number (system):\tXX-MASKED-XX (x)"},
        {"Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732\n", "Hardware UUID: XX-MASKED-XX\n"},
        {"  Provisioning UDID: 00008030-001A2D3E0C2B802E\n", "  Provisioning UDID: XX-MASKED-XX\n"},
        // Not at a line start: rule 4 takes the UUID before rule 9 sees it.
        {"info Hardware UUID: 4C4C4544-0042-3510-8052-B4C04F4D3732", "info Hardware UUID: XX-MASKED-UUID"},
        {"note Hardware UUID: ABCD-1234", "note Hardware UUID: XX-MASKED-UUID"},
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
        {"<key> Hardware UUID </key> <string>4C4C4544-0042-3510-8052-B4C04F4D3732</string>", "<key> Hardware UUID </key> <string>XX-MASKED-XX</string>"},
        {"<key>Model</key><string>iMac18,3</string>", "<key>Model</key><string>iMac18,3</string>"},
        {items, QString(items).replace("C02XG0FDH7JY", "XX-MASKED-XX")},
    };
    for (const auto& example : cases)
        EXPECT_EQ(masked(example.text), example.masked);
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

TEST(TextMaskingFailure, AFailingRuleFailsTheWholeTextAndABrokenPatternIsSkipped)
{
    std::vector<RedactionRule> rules = redactionRules();
    rules.push_back({QStringLiteral("serial"), QStringLiteral("$7")}); // no group 7: fails at the first match
    EXPECT_FALSE(tryMaskText("Serial Number: 1", rules).has_value());
    EXPECT_FALSE(maskTextReference("Serial Number: 1", rules).has_value());
    EXPECT_TRUE(tryMaskText("nothing to see", rules).has_value());
    // ICU's replaceAll would stop at a stack overflow, copy the rest unchanged and report success.
    EXPECT_FALSE(tryMaskText(QString(400000, QLatin1Char('a')), {{QStringLiteral("(a|b)*c"), QStringLiteral("X")}}).has_value());
    EXPECT_EQ(tryMaskText("(unclosed 0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9", {{QStringLiteral("(unclosed"), QStringLiteral("X")}, redactionRules()[3]}),
              QString("(unclosed XX-MASKED-UUID"));
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
