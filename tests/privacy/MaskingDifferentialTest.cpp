// The linear matchers against plain ICU, rule by rule and for the whole table, on generated
// texts that are small enough for ICU's backtracking to finish; and the character classes the
// matchers rely on, against ICU over every code point.

#include "privacy/RedactionRules.h"
#include "privacy/RuleMatchers.h"
#include "privacy/TextMasking.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <unicode/regex.h>

#include <algorithm>
#include <memory>
#include <random>

namespace velkor {
namespace {

// Texts made of the rules' own words (labels, keys, tags) in every case and in the characters
// that case folding turns into ASCII, identifier-shaped values, blanks and line ends of every
// kind, and property lists and system-profiler items with parts missing, misspelt or left open.
class TextGenerator {
public:
    explicit TextGenerator(unsigned seed) : m_random(seed)
    {
        static const QRegularExpression run(QStringLiteral(R"((?:[A-Za-z0-9 _-]|\\[()])+)"));
        for (const RedactionRule& rule : redactionRules()) {
            for (auto it = run.globalMatch(rule.pattern); it.hasNext();) {
                QString word = it.next().captured().trimmed();
                word.replace(QStringLiteral("\\("), QStringLiteral("(")).replace(QStringLiteral("\\)"), QStringLiteral(")"));
                if (word.size() >= 3 && !m_words.contains(word))
                    m_words.append(word);
            }
        }
    }

    QString text(int tokens) { return tokens > 0 ? token() + text(tokens - 1) : QString(); }

    QString items(int count)
    {
        QString out = pick({"", "<plist>\n", "<?xml version=\"1.0\"?>\n"});
        for (int i = 0; i < count; ++i) {
            if (below(3))
                out += key(pick({"_items", "_properties", "_item", "_itemz"})) + pick({"<array>", "<Array>", "<arrays>"}) + space();
            for (int d = int(below(3)); d > 0; --d) {
                out += pick({"<dict>", "<Dict>", "<dic>", "</dict>"}) + space();
                if (below(3))
                    out += key(pick({"_name", "_nam", "_Name"})) + "<string>" + space()
                        + variant(pick({"Serial Number (system)", "Hardware UUID", "Provisioning UDID", "Boot ROM", "Model Name"}))
                        + space() + pick({"</string>", "</STRING>", "", "</data>"}) + space();
                if (below(3))
                    out += key(below(2) ? pick({"_value", "_values"}) : word()) + pick({"<string>", "<String>", "<data>", "<integer>"})
                        + value() + pick({"</string>", "</data>", "", "</DATA>"}) + space();
            }
            out += (below(2) ? "</array>" + space() : QString()) + (below(5) == 0 ? token() : QString());
        }
        return out;
    }

private:
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }
    QString pick(std::initializer_list<const char*> options) { return QString::fromUtf8(*(options.begin() + below(options.size()))); }
    QString word() { return m_words.at(qsizetype(below(size_t(m_words.size())))); }
    QString space() { return below(3) == 0 ? QString() : pick({" ", "\n", "\t", "\r\n", "  \n  ", "\u00a0", "\u2028", "\v"}); }
    QString key(const QString& name) { return "<key>" + space() + variant(name) + space() + "</key>" + space(); }
    QString hex(int count) { return count > 0 ? QChar(u"0123456789abcdefABCDEF"[below(22)]) + hex(count - 1) : QString(); }
    QString mac(const QString& separator, int groups) { return groups > 0 ? mac(separator, groups - 1) + separator + hex(2) : hex(2); }
    QString uuid() { return hex(8) + "-" + hex(4) + "-" + hex(4) + "-" + hex(4) + "-" + hex(int(11 + below(3))); }
    QString value()
    {
        const size_t kind = below(5);
        return kind == 0 ? hex(int(below(16))) : kind == 1 ? uuid() : kind == 2 ? text(int(below(4)))
                                                                                : pick({"C02XK1", "", "AAECAwQF", " spaced value ", "é"});
    }
    QString variant(QString w)
    {
        switch (below(8)) {
        case 0: return w.toUpper();
        case 1: return w.toLower();
        case 2: return w.replace(QLatin1Char('s'), QChar(0x017f));
        case 3: return w.replace(QStringLiteral("st"), QString(QChar(0xfb06)));
        case 4: return w.replace(QStringLiteral("ss"), QString(QChar(0x00df)));
        case 5: return w.replace(QLatin1Char('k'), QChar(0x212a)).replace(QLatin1Char('K'), QChar(0x212a));
        default: return w;
        }
    }
    QString token()
    {
        switch (below(12)) {
        case 0: case 1: return variant(word());
        case 2: return pick({"<key>", "</key>", "<string>", "</string>", "<data>", "</data>", "<array>", "<dict>", "<Key>",
                             "<\u212aey>", "</\ufb06ring>", "<"});
        case 3: case 4: return pick({" ", "\t", "\n", "\r", "\r\n", "\v", "\f", "\u0085", "\u2028", "\u2029", "\u00a0", "\u3000", "  "});
        case 5: return pick({":", "=", ": ", " = ", "-", "_", ":\t", "(", ")", "."});
        case 6: return hex(int(1 + below(12)));
        case 7: return mac(below(2) ? ":" : "-", int(4 + below(4)));
        case 8: return uuid();
        case 9: return pick({"é", "\u0301", "\u200d", "\u00ad", "\ufeff", "\U0001F600", "日本", "ſ", "\u212a", "ß", "\u0130", "x", "Z_"})
                + (below(4) == 0 ? QString(QChar(below(2) ? 0xd800 : 0xdc00)) : QString());
        case 10: return pick({"XX-MASKED-XX", "XX:XX:XX:XX:XX:XX", "Serial Number (system): ", "Hardware UUID: ",
                              "Provisioning UDID:", "Serial Number (system)"});
        default: return pick({"abc", "value", "0x1F", "A1", "zz"});
        }
    }

    std::mt19937 m_random;
    QStringList m_words;
};

TEST(MaskingDifferential, GeneratedTextsAndItemsMatchIcu)
{
    const std::vector<RedactionRule>& rules = redactionRules();
    for (const RedactionRule& rule : rules)
        EXPECT_TRUE(masking::hasFastMatcher(rule)) << rule.pattern.toStdString();
    TextGenerator generator(20261205);
    for (int round = 0; round < 2000; ++round) {
        const QString text = round % 2 ? generator.text(1 + round % 60) : generator.items(1 + round % 25);
        for (size_t i = 0; i < rules.size(); ++i) {
            const std::optional<QString> reference = maskTextReference(text, {rules[i]});
            ASSERT_TRUE(reference.has_value()) << "ICU failed on rule " << i + 1 << " for " << text.toStdString();
            ASSERT_EQ(tryMaskText(text, {rules[i]}), reference) << "rule " << i + 1;
        }
        ASSERT_EQ(tryMaskText(text), maskTextReference(text)) << "whole table";
    }
}

// The property-list rules write their result over the text. Long stretches between matches,
// masks longer than empty values (the result outgrows the text) and shorter than UUIDs, and a
// shared text that must stay untouched.
TEST(MaskingDifferential, LargePropertyListsMatchIcu)
{
    TextGenerator generator(20261206);
    QString text;
    for (int entry = 0; text.size() < 400000; ++entry) {
        if (entry % 97 == 0)
            text += QString(70000, QLatin1Char(entry % 2 ? 'a' : 'x'));
        text += entry % 3 ? QStringLiteral("<key>MLB</key><string></string>\n")
                          : QStringLiteral("<key>SerialNumber</key>\n<string>C02XK1ABCD12-%1</string>\n").arg(entry);
        if (entry % 50 == 0)
            text += generator.items(3);
    }
    for (const QString& sample : {text, text.left(200000) + QString(200000, QLatin1Char('b'))}) {
        const QString before = sample;
        ASSERT_EQ(tryMaskText(sample), maskTextReference(sample));
        EXPECT_EQ(sample, before);
    }
}

// The code points ICU puts in a pattern's class.
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
    int mismatches = 0;
    for (char32_t c = 0; c < 0x110000; ++c) {
        if (c >= 0xd800 && c <= 0xdfff)
            continue;
        mismatches += space[c] != masking::isRegexSpace(c);
        mismatches += dot[c] == masking::isLineTerminator(c);
        // Characters whose case folding yields ASCII are the ones the matchers hand to ICU.
        icu::UnicodeString folded{UChar32(c)};
        folded.foldCase();
        const bool yieldsAscii = std::any_of(folded.getBuffer(), folded.getBuffer() + folded.length(), [](char16_t u) { return u < 0x80; });
        mismatches += c >= 0x80 && yieldsAscii != masking::mayFoldToAscii(c);
    }
    EXPECT_EQ(mismatches, 0);
}

} // namespace
} // namespace velkor
