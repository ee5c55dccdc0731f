// The linear matchers against plain ICU, rule by rule and for the whole table, on generated
// texts that are small enough for ICU's backtracking to finish.

#include "privacy/RedactionRules.h"
#include "privacy/RuleMatchers.h"
#include "privacy/TextMasking.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

#include <random>

namespace velkor {
namespace {

// The text with every character outside printable ASCII spelled as \uXXXX.
std::string shown(const QString& text)
{
    std::string out;
    for (const QChar c : text)
        out += c.unicode() >= 0x20 && c.unicode() < 0x7f ? std::string(1, char(c.unicode()))
                                                         : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0')).toStdString();
    return out;
}

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

    QString text(int tokens)
    {
        QString out;
        for (int i = 0; i < tokens; ++i)
            out += token();
        return out;
    }

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
            if (below(2))
                out += "</array>" + space();
            if (below(5) == 0)
                out += token();
        }
        return out;
    }

private:
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }
    QString pick(std::initializer_list<const char*> options) { return QString::fromUtf8(*(options.begin() + below(options.size()))); }
    QString word() { return m_words.at(qsizetype(below(size_t(m_words.size())))); }
    QString space() { return below(3) == 0 ? QString() : pick({" ", "\n", "\t", "\r\n", "  \n  ", "\u00a0", "\u2028", "\v"}); }
    QString key(const QString& name) { return "<key>" + space() + variant(name) + space() + "</key>" + space(); }
    QString hex(int count)
    {
        QString out;
        for (int i = 0; i < count; ++i)
            out += QChar(u"0123456789abcdefABCDEF"[below(22)]);
        return out;
    }
    QString uuid() { return hex(8) + "-" + hex(4) + "-" + hex(4) + "-" + hex(4) + "-" + hex(int(11 + below(3))); }
    QString value()
    {
        switch (below(5)) {
        case 0: return hex(int(below(16)));
        case 1: return uuid();
        case 2: return text(int(below(4)));
        default: return pick({"C02XK1", "", "AAECAwQF", " spaced value ", "é"});
        }
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
        case 7: {
            const QString separator = below(2) ? ":" : "-";
            QString mac = hex(2);
            for (int groups = int(4 + below(4)); groups > 0; --groups)
                mac += separator + hex(2);
            return mac;
        }
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

void expectSameAsIcu(const QString& text)
{
    const std::vector<RedactionRule>& rules = redactionRules();
    for (size_t i = 0; i < rules.size(); ++i) {
        const std::optional<QString> reference = maskTextReference(text, {rules[i]});
        ASSERT_TRUE(reference.has_value()) << "ICU failed on rule " << i + 1 << " for " << shown(text);
        ASSERT_EQ(tryMaskText(text, {rules[i]}), reference) << "rule " << i + 1 << " on " << shown(text);
    }
    ASSERT_EQ(tryMaskText(text), maskTextReference(text)) << "whole table on " << shown(text);
}

TEST(MaskingDifferential, GeneratedTextsAndItemsMatchIcu)
{
    for (const RedactionRule& rule : redactionRules())
        EXPECT_TRUE(masking::hasFastMatcher(rule)) << shown(rule.pattern);
    TextGenerator generator(20261205);
    for (int round = 0; round < 2000; ++round) {
        expectSameAsIcu(round % 2 ? generator.text(1 + round % 60) : generator.items(1 + round % 25));
        if (testing::Test::HasFatalFailure())
            return;
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

} // namespace
} // namespace velkor
