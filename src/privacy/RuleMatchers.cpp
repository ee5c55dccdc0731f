#include "privacy/RuleMatchers.h"

#include <QStringView>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <cstring>
#include <optional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// How the hand-written matchers stay equal to ICU.
//
// ICU applies a rule by trying each start position in turn and backtracking through the
// pattern; for the first start that matches, the first path in backtracking order wins. The
// matchers below compute that same match directly, under two rules:
//
// 1. They decide alone only over text whose every relevant character they classify exactly:
//    ASCII, the line terminators, ICU's white space, and the case-closed classes (tests compare
//    these with ICU over every code point). Case-insensitive literals fold the input with full
//    Unicode case folding, so a few non-ASCII characters stand for ASCII letters ("ſ" for s,
//    "ß" for ss, the Kelvin sign for k, the ligatures "ﬀ" to "ﬆ"); and a word boundary next to
//    a non-ASCII character depends on Unicode properties. Where either comes up, the verdict is
//    "unsure" and ICU itself decides whether the pattern matches at that very position, with the
//    rest of the text visible to anchors and word boundaries.
//
// 2. The two property-list rules end in lazy ".*?" scans. In ICU each failed start rescans to
//    the end of the text (quadratic for rule 1, cubic for rule 2, whose items usually hold no
//    matching name). Their pattern is split at the lazy scans into pieces. A lazy scan followed
//    by a piece stops at the first position where the piece matches, and whether such a
//    position exists only shrinks as the scan starts later, so the first match is the chain of
//    earliest piece occurrences. Each "next occurrence at or after" lookup is cached, and the
//    lookups come in rising order, so every position is examined once per piece.

namespace velkor::masking {

namespace {

inline bool space(char32_t c)
{
    if (c < 0x80)
        return c == 0x20 || (c >= 0x09 && c <= 0x0d);
    return c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029
        || c == 0x202f || c == 0x205f || c == 0x3000;
}

inline bool terminator(char32_t c)
{
    return c <= 0x0d ? c >= 0x0a : (c == 0x85 || c == 0x2028 || c == 0x2029);
}

inline bool foldsToAscii(char32_t c)
{
    return c == 0xdf || c == 0x130 || c == 0x149 || c == 0x17f || c == 0x1f0 || (c >= 0x1e96 && c <= 0x1e9a)
        || c == 0x1e9e || c == 0x212a || (c >= 0xfb00 && c <= 0xfb06);
}

} // namespace

bool isRegexSpace(char32_t c) { return space(c); }
bool isLineTerminator(char32_t c) { return terminator(c); }
bool mayFoldToAscii(char32_t c) { return foldsToAscii(c); }

namespace {

using Pos = qsizetype;

struct Span {
    Pos begin = -1;
    Pos end = -1;
};

struct Found {
    Span whole;
    std::array<Span, 3> group; // groups 1 and 2; 0 unused
};

enum class Verdict { NoMatch, Match, Unsure };

struct Outcome {
    Verdict verdict = Verdict::NoMatch;
    Pos end = 0;
};

constexpr Outcome kNoMatch{Verdict::NoMatch, 0};
constexpr Outcome kUnsure{Verdict::Unsure, 0};

constexpr UErrorCode kOk = U_ZERO_ERROR;
constexpr uint32_t kFlags = UREGEX_CASE_INSENSITIVE | UREGEX_MULTILINE;

char16_t asciiLower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 0x20) : c;
}

bool isAsciiDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool isAsciiWord(char16_t c) { return isAsciiDigit(c) || isAsciiLetter(c) || c == u'_'; }
bool isAsciiHex(char16_t c) { return isAsciiDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }
bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
bool isLabelEnd(char16_t c) { return isBlank(c) || c == u':' || c == u'='; } // [ \t:=]

// [A-Z0-9] compiled case-insensitive: ICU closes it over case, which adds the long s and the
// Kelvin sign.
bool isSerialChar(char16_t c) { return isAsciiDigit(c) || isAsciiLetter(c) || c == 0x17f || c == 0x212a; }
bool isUuidChar(char16_t c) { return isAsciiHex(c) || c == u'-'; } // [A-F0-9-]

icu::UnicodeString toIcu(std::u16string_view text)
{
    return icu::UnicodeString(text.data(), int32_t(text.size()));
}

icu::UnicodeString toIcu(const QString& text)
{
    return icu::UnicodeString(reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
}

QString fromIcu(const icu::UnicodeString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.getBuffer()), text.length());
}

std::unique_ptr<icu::RegexPattern> compile(const icu::UnicodeString& pattern)
{
    UErrorCode status = kOk;
    std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(pattern, kFlags, status));
    if (U_FAILURE(status))
        return nullptr;
    return compiled;
}

void applyLimits(icu::RegexMatcher& matcher, const MaskingLimits& limits)
{
    UErrorCode status = kOk;
    if (limits.stackLimitBytes)
        matcher.setStackLimit(*limits.stackLimitBytes, status);
    if (limits.timeLimit)
        matcher.setTimeLimit(*limits.timeLimit, status);
    if (U_FAILURE(status))
        throw EngineFailure{};
}

// The text one rule works on, seen both as UTF-16 code units and, when ICU has to decide,
// as an ICU string that aliases the same buffer.
class Subject {
public:
    explicit Subject(const QString& text)
        : s(reinterpret_cast<const char16_t*>(text.utf16()))
        , n(text.size())
    {
    }

    const icu::UnicodeString& unicode()
    {
        if (!m_alias)
            m_alias = std::make_unique<icu::UnicodeString>(false, s, int32_t(n));
        return *m_alias;
    }

    Pos indexOf(char16_t c, Pos from) const
    {
        if (from >= n)
            return -1;
        return QStringView(s, n).indexOf(QChar(c), from);
    }

    // The first line terminator at or after `from`, or n.
    Pos terminatorFrom(Pos from) const
    {
        Pos i = from;
        while (i < n) {
#if defined(__SSE2__)
            // Skip eight characters at a time while none is below 0x0e or above 0x83.
            const __m128i zero = _mm_setzero_si128();
            const __m128i low = _mm_set1_epi16(0x0d);
            const __m128i high = _mm_set1_epi16(0x84);
            while (i + 8 <= n) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                const __m128i small = _mm_cmpeq_epi16(_mm_subs_epu16(v, low), zero);
                const __m128i large = _mm_cmpeq_epi16(_mm_subs_epu16(high, v), zero);
                if (_mm_movemask_epi8(_mm_or_si128(small, large)) != 0)
                    break;
                i += 8;
            }
#endif
            for (const Pos stop = std::min(n, i + 8); i < stop; ++i)
                if (terminator(s[i]))
                    return i;
        }
        return n;
    }

    // Whether every character is ASCII, so that no case folding can be in play.
    bool isAscii()
    {
        if (!m_ascii) {
            char16_t any = 0;
            for (Pos i = 0; i < n; ++i)
                any |= s[i];
            m_ascii = any < 0x80;
        }
        return *m_ascii;
    }

    const char16_t* s;
    Pos n;

private:
    std::unique_ptr<icu::UnicodeString> m_alias;
    std::optional<bool> m_ascii;
};

// ICU deciding whether a pattern matches beginning exactly at one position. The region limits
// where the match may run; anchors and word boundaries still see the whole text.
class Probe {
public:
    Probe(const icu::RegexPattern& pattern, Subject& subject, const MaskingLimits& limits)
        : m_pattern(pattern)
        , m_subject(subject)
        , m_limits(limits)
    {
    }

    bool matchAt(Pos at, Pos limit, Found& found)
    {
        icu::RegexMatcher& matcher = this->matcher();
        found = Found{};
        UErrorCode status = kOk;
        matcher.region(at, limit, status);
        const bool matched = U_SUCCESS(status) && matcher.lookingAt(status);
        if (U_FAILURE(status))
            throw EngineFailure{};
        if (!matched)
            return false;
        found.whole = {matcher.start(status), matcher.end(status)};
        const int groups = std::min(2, matcher.groupCount());
        for (int g = 1; g <= groups; ++g)
            found.group[size_t(g)] = {matcher.start(g, status), matcher.end(g, status)};
        if (U_FAILURE(status))
            throw EngineFailure{};
        return true;
    }

private:
    icu::RegexMatcher& matcher()
    {
        if (!m_matcher) {
            UErrorCode status = kOk;
            m_matcher.reset(m_pattern.matcher(m_subject.unicode(), status));
            if (U_FAILURE(status) || !m_matcher)
                throw EngineFailure{};
            m_matcher->useTransparentBounds(true);
            m_matcher->useAnchoringBounds(false);
            applyLimits(*m_matcher, m_limits);
        }
        return *m_matcher;
    }

    const icu::RegexPattern& m_pattern;
    Subject& m_subject;
    const MaskingLimits& m_limits;
    std::unique_ptr<icu::RegexMatcher> m_matcher;
};

// A case-insensitive literal of lower-case ASCII at `at`.
Outcome literalAt(const Subject& t, Pos at, std::string_view word)
{
    Pos i = at;
    for (const char w : word) {
        if (i >= t.n)
            return kNoMatch;
        const char16_t c = t.s[i];
        if (c >= 0x80)
            return foldsToAscii(c) ? kUnsure : kNoMatch;
        if (asciiLower(c) != char16_t(w))
            return kNoMatch;
        ++i;
    }
    return {Verdict::Match, i};
}

// The first of the words that matches at `at`, in order. Valid where no word is a prefix of
// another, so that at most one word can match and no later word needs trying.
Outcome choiceAt(const Subject& t, Pos at, const std::vector<std::string>& words)
{
    for (const std::string& word : words) {
        const Outcome outcome = literalAt(t, at, word);
        if (outcome.verdict != Verdict::NoMatch)
            return outcome;
    }
    return kNoMatch;
}

bool prefixFree(const std::vector<std::string>& words)
{
    for (const std::string& a : words)
        for (const std::string& b : words)
            if (&a != &b && a != b && b.starts_with(a))
                return false;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pieces of the property-list rules: literals, \s* and (?:a|b) only.

struct Op {
    enum class Kind { Literal, Spaces, Choice } kind;
    std::vector<std::string> words; // lower-case ASCII
    // For a choice: the words by their first letter, in order. A word whose first letter
    // differs from an ASCII character cannot match there.
    std::array<std::vector<std::string>, 128> byInitial{};

    void index()
    {
        for (const std::string& word : words)
            byInitial[static_cast<unsigned char>(word.front())].push_back(word);
    }
};

// Reads the restricted syntax of a piece. Empty when the piece uses anything else or is
// ambiguous for a left-to-right reading (a choice with a word that is a prefix of another,
// white space that could be given back to what follows).
std::optional<std::vector<Op>> parsePiece(std::u16string_view pattern)
{
    std::vector<Op> ops;
    std::string literal;
    auto flushLiteral = [&] {
        if (!literal.empty())
            ops.push_back({Op::Kind::Literal, {literal}});
        literal.clear();
    };
    auto readChar = [&](size_t& i, std::string& into) -> bool {
        char16_t c = pattern[i];
        if (c == u'\\') {
            if (i + 1 >= pattern.size())
                return false;
            c = pattern[++i];
            if (isAsciiLetter(c) || isAsciiDigit(c))
                return false;
        } else if (std::u16string_view(u"()[]{}|*+?.^$").find(c) != std::u16string_view::npos) {
            return false;
        }
        if (c >= 0x80)
            return false;
        into.push_back(char(asciiLower(c)));
        ++i;
        return true;
    };
    for (size_t i = 0; i < pattern.size();) {
        if (pattern.substr(i).starts_with(u"\\s*")) {
            flushLiteral();
            ops.push_back({Op::Kind::Spaces, {}});
            i += 3;
        } else if (pattern.substr(i).starts_with(u"(?:")) {
            flushLiteral();
            Op choice{Op::Kind::Choice, {std::string()}};
            i += 3;
            while (i < pattern.size() && pattern[i] != u')') {
                if (pattern[i] == u'|') {
                    choice.words.emplace_back();
                    ++i;
                } else if (!readChar(i, choice.words.back())) {
                    return std::nullopt;
                }
            }
            if (i >= pattern.size())
                return std::nullopt;
            ++i;
            for (const std::string& word : choice.words)
                if (word.empty())
                    return std::nullopt;
            if (!prefixFree(choice.words))
                return std::nullopt;
            choice.index();
            ops.push_back(std::move(choice));
        } else if (!readChar(i, literal)) {
            return std::nullopt;
        }
    }
    flushLiteral();
    // White space must be followed by a literal or choice that cannot begin with white space.
    for (size_t k = 0; k < ops.size(); ++k) {
        if (ops[k].kind != Op::Kind::Spaces)
            continue;
        if (k + 1 >= ops.size() || ops[k + 1].kind == Op::Kind::Spaces)
            return std::nullopt;
        for (const std::string& word : ops[k + 1].words)
            if (space(char32_t(static_cast<unsigned char>(word.front()))))
                return std::nullopt;
    }
    if (ops.empty() || ops.front().kind == Op::Kind::Spaces)
        return std::nullopt;
    return ops;
}

Outcome matchOps(const Subject& t, Pos at, const std::vector<Op>& ops)
{
    Pos i = at;
    for (const Op& op : ops) {
        if (op.kind == Op::Kind::Spaces) {
            while (i < t.n && space(t.s[i]))
                ++i;
            continue;
        }
        Outcome outcome;
        if (op.kind == Op::Kind::Literal)
            outcome = literalAt(t, i, op.words.front());
        else if (i < t.n && t.s[i] < 0x80)
            outcome = choiceAt(t, i, op.byInitial[asciiLower(t.s[i])]);
        else
            outcome = choiceAt(t, i, op.words);
        if (outcome.verdict != Verdict::Match)
            return outcome;
        i = outcome.end;
    }
    return {Verdict::Match, i};
}

struct Piece {
    std::vector<Op> ops;
    std::unique_ptr<icu::RegexPattern> compiled; // with the rule's own leading flags
    char16_t first = 0;                          // the character every match begins with
};

std::optional<Piece> makePiece(std::u16string_view source, std::u16string_view flags)
{
    std::optional<std::vector<Op>> ops = parsePiece(source);
    if (!ops)
        return std::nullopt;
    const Op& head = ops->front();
    if (head.kind != Op::Kind::Literal)
        return std::nullopt;
    const char first = head.words.front().front();
    // The scan for candidate positions looks for this character; it must be one that no
    // other character folds to.
    if (isAsciiLetter(char16_t(first)) || isAsciiDigit(char16_t(first)))
        return std::nullopt;
    Piece piece{std::move(*ops), compile(toIcu(std::u16string(flags) + std::u16string(source))), char16_t(first)};
    if (!piece.compiled)
        return std::nullopt;
    return piece;
}

// ---------------------------------------------------------------------------------------------
// Reading the rules' own patterns. Each matcher below stands for one form of pattern; a rule is
// read against the forms, and the literal parts it holds (tags, labels, the digit shape) are
// taken from the pattern itself. A rule of no known form is left to ICU.

// A run of plain characters: letters, digits, blanks and punctuation that is no syntax, or
// punctuation escaped with a backslash. Lower case; nothing when anything else comes up.
std::optional<std::string> plainText(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c == u'\\') {
            if (++i >= text.size() || isAsciiLetter(text[i]) || isAsciiDigit(text[i]))
                return std::nullopt;
            c = text[i];
        } else if (std::u16string_view(u"()[]{}|*+?.^$").find(c) != std::u16string_view::npos) {
            return std::nullopt;
        }
        if (c >= 0x80 || (c < 0x20 && c != u'\t'))
            return std::nullopt;
        out.push_back(char(asciiLower(c)));
    }
    return out;
}

// The text between a known head and tail, or nothing when the pattern has neither.
std::optional<std::u16string_view> between(std::u16string_view pattern, std::u16string_view head, std::u16string_view tail)
{
    if (pattern.size() < head.size() + tail.size() || !pattern.starts_with(head) || !pattern.ends_with(tail))
        return std::nullopt;
    return pattern.substr(head.size(), pattern.size() - head.size() - tail.size());
}

// The parts of a text between its separators.
std::vector<std::u16string_view> split(std::u16string_view text, std::u16string_view separator)
{
    std::vector<std::u16string_view> parts;
    for (size_t at = text.find(separator); at != std::u16string_view::npos; at = text.find(separator)) {
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + separator.size());
    }
    parts.push_back(text);
    return parts;
}

// The labels of a line rule, in the pattern's order: "a|b|c", where an alternative may end in
// one optional tail, "Serial Number(?: \(system\))?", tried with its tail first.
std::optional<std::vector<std::string>> labelsOf(std::u16string_view alternatives)
{
    std::vector<std::string> labels;
    for (std::u16string_view alternative : split(alternatives, u"|")) {
        std::u16string_view optional;
        if (const size_t open = alternative.find(u"(?:"); open != std::u16string_view::npos) {
            if (!alternative.ends_with(u")?"))
                return std::nullopt;
            optional = alternative.substr(open + 3, alternative.size() - open - 5);
            alternative = alternative.substr(0, open);
        }
        const std::optional<std::string> word = plainText(alternative);
        const std::optional<std::string> tail = plainText(optional);
        // A label that began with a blank could give blanks back to the [ \t]* before it.
        if (!word || !tail || word->empty() || isBlank(char16_t(word->front())))
            return std::nullopt;
        if (!tail->empty())
            labels.push_back(*word + *tail);
        labels.push_back(*word);
    }
    return labels;
}

// A run of hexadecimal digits and separators: [A-F0-9]{n} (either order of the class),
// separators, and groups of those repeated (...){n}. 'x' stands for a digit.
std::optional<std::u16string> shapeOf(std::u16string_view pattern)
{
    std::u16string shape;
    auto count = [&](size_t& i) -> std::optional<int> {
        if (i >= pattern.size() || pattern[i] != u'{')
            return 1;
        const size_t close = pattern.find(u'}', i);
        if (close == std::u16string_view::npos || close == i + 1 || close > i + 3)
            return std::nullopt;
        int n = 0;
        for (size_t k = i + 1; k < close; ++k) {
            if (!isAsciiDigit(pattern[k]))
                return std::nullopt;
            n = n * 10 + (pattern[k] - u'0');
        }
        i = close + 1;
        return n > 0 ? std::optional<int>(n) : std::nullopt;
    };
    for (size_t i = 0; i < pattern.size();) {
        const std::u16string_view rest = pattern.substr(i);
        if (rest.starts_with(u"[A-F0-9]") || rest.starts_with(u"[0-9A-F]")) {
            i += 8;
            const std::optional<int> n = count(i);
            if (!n)
                return std::nullopt;
            shape.append(size_t(*n), u'x');
        } else if (rest.front() == u'(') {
            const size_t close = rest.find(u')');
            const std::optional<std::u16string> inner =
                close == std::u16string_view::npos ? std::nullopt : shapeOf(rest.substr(1, close - 1));
            if (!inner)
                return std::nullopt;
            i += close + 1;
            const std::optional<int> n = count(i);
            if (!n)
                return std::nullopt;
            for (int k = 0; k < *n; ++k)
                shape += *inner;
        } else {
            const std::optional<std::string> separator = plainText(rest.substr(0, 1));
            if (!separator || isAsciiWord(char16_t(separator->front())) || separator->front() == ' ')
                return std::nullopt;
            shape.push_back(char16_t(separator->front()));
            ++i;
        }
    }
    return shape;
}

// The character class that follows a label in rules 8 to 10, compiled case-insensitive.
bool (*labelValueClass(std::u16string_view cls))(char16_t)
{
    if (cls == u"[A-Z0-9]")
        return isSerialChar;
    if (cls == u"[A-F0-9-]")
        return isUuidChar;
    return nullptr;
}

// How one rule is matched by hand.
struct Plan {
    enum class Form {
        None,
        LazyChain,  // (?is)(a.*?b.*?c).*?(close): rules 1 and 2
        LabelLine,  // a line that begins with a label: rules 3 and 7
        Shape,      // \b digits and separators \b: rules 4 to 6
        LabelValue, // (label\s*)[class]+: rules 8 to 10
    } form = Form::None;
    int groups = 0;                  // capture groups the matcher reports
    std::vector<Piece> pieces;       // LazyChain: group 1's pieces, then the closing piece
    std::vector<std::string> labels; // LabelLine, lower case, in the order they are tried
    bool further = false;            // LabelLine: rule 7's tail rather than rule 3's
    std::u16string shape;            // Shape
    std::string label;               // LabelValue, lower case
    bool (*inClass)(char16_t) = nullptr;
};

constexpr std::u16string_view kLabelLineHead = uR"RX((?im)^([ \t]*(?:)RX";
constexpr std::u16string_view kKeyValueTail = uR"RX()[ \t:=]+)[^\n]*$)RX";
constexpr std::u16string_view kFurtherTail = uR"RX()[^\n:=]*[ \t:=]+).*$)RX";

Plan planFor(std::u16string_view pattern)
{
    Plan plan;
    if (const auto chain = between(pattern, u"(?is)(", u")")) {
        const std::vector<std::u16string_view> groups = split(*chain, u").*?(");
        if (groups.size() != 2)
            return {};
        std::vector<std::u16string_view> sources = split(groups[0], u".*?");
        sources.push_back(groups[1]);
        for (std::u16string_view source : sources) {
            std::optional<Piece> piece = makePiece(source, u"(?is)");
            if (!piece)
                return {};
            plan.pieces.push_back(std::move(*piece));
        }
        plan.form = Plan::Form::LazyChain;
        plan.groups = 2;
    } else if (const auto line = between(pattern, kLabelLineHead, u"")) {
        plan.further = line->ends_with(kFurtherTail);
        if (!plan.further && !line->ends_with(kKeyValueTail))
            return {};
        const std::u16string_view tail = plan.further ? kFurtherTail : kKeyValueTail;
        std::optional<std::vector<std::string>> labels = labelsOf(line->substr(0, line->size() - tail.size()));
        if (!labels)
            return {};
        plan.labels = std::move(*labels);
        plan.form = Plan::Form::LabelLine;
        plan.groups = 1;
    } else if (const auto digits = between(pattern, u"(?i)\\b", u"\\b")) {
        std::optional<std::u16string> shape = shapeOf(*digits);
        // The search looks for the first separator, and the word boundaries fall between digits
        // and what surrounds them.
        if (!shape || shape->front() != u'x' || shape->back() != u'x' || shape->find_first_not_of(u'x') == std::u16string::npos)
            return {};
        plan.shape = std::move(*shape);
        plan.form = Plan::Form::Shape;
    } else if (const auto labelled = between(pattern, u"(?i)(", u"+")) {
        const size_t close = labelled->find(u"\\s*)");
        const std::optional<std::string> label = close == std::u16string_view::npos
            ? std::nullopt : plainText(labelled->substr(0, close));
        plan.inClass = close == std::u16string_view::npos ? nullptr : labelValueClass(labelled->substr(close + 4));
        if (!label || label->empty() || !isAsciiLetter(char16_t(label->front())) || !plan.inClass)
            return {};
        plan.label = *label;
        plan.form = Plan::Form::LabelValue;
        plan.groups = 1;
    }
    return plan;
}

// Whether a replacement template is literal text and $1 / $2 of groups the matcher reports, so
// that it reads the same to ICU and to parseTemplate below.
bool templateFits(const QString& replacement, int groups)
{
    for (qsizetype i = 0; i < replacement.size(); ++i) {
        const QChar c = replacement.at(i);
        if (c == u'\\')
            return false;
        if (c != u'$')
            continue;
        if (i + 1 >= replacement.size() || replacement.at(i + 1) < u'1' || replacement.at(i + 1) > QChar(char16_t(u'0' + groups)))
            return false;
        if (i + 2 < replacement.size() && replacement.at(i + 2).isDigit())
            return false;
        ++i;
    }
    return true;
}

// Everything compiled once for the life of the program; patterns are safe to share between threads.
struct Compiled {
    std::array<std::unique_ptr<icu::RegexPattern>, 10> rule; // asked whole where the hand is unsure
    std::array<Plan, 10> plan;
};

const Compiled& compiled()
{
    static const Compiled instance = [] {
        Compiled c;
        const std::vector<RedactionRule>& rules = redactionRules();
        for (size_t i = 0; i < rules.size() && i < c.rule.size(); ++i) {
            c.rule[i] = compile(toIcu(rules[i].pattern));
            if (!c.rule[i])
                continue;
            c.plan[i] = planFor(rules[i].pattern.toStdU16String());
            if (!templateFits(rules[i].replacement, c.plan[i].groups))
                c.plan[i] = {};
        }
        return c;
    }();
    return instance;
}

int standardIndex(const RedactionRule& rule)
{
    const std::vector<RedactionRule>& rules = redactionRules();
    for (size_t i = 0; i < rules.size(); ++i)
        if (rules[i].pattern == rule.pattern && rules[i].replacement == rule.replacement)
            return int(i);
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Finders: each yields the first match that begins at or after a position.

class Finder {
public:
    virtual ~Finder() = default;
    virtual bool next(Pos from, Found& found) = 0;
};

// A piece matched at one position: by hand, or by ICU when the hand is unsure.
class PieceMatcher {
public:
    PieceMatcher(const Piece& piece, Subject& t, const MaskingLimits& limits)
        : m_piece(piece)
        , m_t(t)
        , m_probe(*piece.compiled, t, limits)
    {
    }

    std::optional<Pos> endAt(Pos at)
    {
        const Outcome outcome = matchOps(m_t, at, m_piece.ops);
        if (outcome.verdict == Verdict::Match)
            return outcome.end;
        if (outcome.verdict == Verdict::NoMatch)
            return std::nullopt;
        Found found;
        if (m_probe.matchAt(at, m_t.n, found))
            return found.whole.end;
        return std::nullopt;
    }

    const Piece& piece() const { return m_piece; }

private:
    const Piece& m_piece;
    Subject& m_t;
    Probe m_probe;
};

// The first occurrence of a piece at or after a position. Answers for rising positions come
// from one forward scan.
class NextOccurrence {
public:
    NextOccurrence(const Piece& piece, Subject& t, const MaskingLimits& limits)
        : m_matcher(piece, t, limits)
        , m_t(t)
    {
    }

    std::optional<Span> at(Pos from)
    {
        if (m_from >= 0 && from >= m_from && (!m_result || from <= m_result->begin))
            return m_result;
        m_from = from;
        m_result.reset();
        for (Pos p = m_t.indexOf(m_matcher.piece().first, from); p >= 0; p = m_t.indexOf(m_matcher.piece().first, p + 1)) {
            if (const std::optional<Pos> end = m_matcher.endAt(p)) {
                m_result = Span{p, *end};
                break;
            }
        }
        return m_result;
    }

private:
    PieceMatcher m_matcher;
    Subject& m_t;
    Pos m_from = -1;
    std::optional<Span> m_result;
};

// Rules 1 and 2: (first.*?second.*?...last).*?(close). The first piece is matched where it
// stands; every later one is the earliest occurrence after the one before.
class LazyChainFinder : public Finder {
public:
    LazyChainFinder(const std::vector<Piece>& pieces, Subject& t, const MaskingLimits& limits)
        : m_t(t)
        , m_first(pieces.front(), t, limits)
    {
        for (size_t k = 1; k < pieces.size(); ++k)
            m_later.push_back(std::make_unique<NextOccurrence>(pieces[k], t, limits));
    }

    bool next(Pos from, Found& found) override
    {
        const char16_t first = m_first.piece().first;
        for (Pos p = m_t.indexOf(first, from); p >= 0; p = m_t.indexOf(first, p + 1)) {
            const std::optional<Pos> head = m_first.endAt(p);
            if (!head)
                continue;
            // The end of group 1, then the closing piece, which is group 2.
            Span last{p, *head};
            std::optional<Span> close = last;
            for (const auto& later : m_later) {
                last = *close;
                close = later->at(last.end);
                if (!close)
                    break;
            }
            if (!close)
                continue;
            found = {{p, close->end}, {Span{}, Span{p, last.end}, *close}};
            return true;
        }
        return false;
    }

private:
    Subject& m_t;
    PieceMatcher m_first;
    std::vector<std::unique_ptr<NextOccurrence>> m_later;
};

// Rules 3 and 7 begin at a line start with optional blanks and a label.
class LabelLineFinder : public Finder {
public:
    enum class Kind { KeyValue, Further }; // rule 3, rule 7

    LabelLineFinder(Kind kind, const std::vector<std::string>& labels, const icu::RegexPattern& pattern, Subject& t,
                    const MaskingLimits& limits)
        : m_kind(kind)
        , m_labels(labels)
        , m_t(t)
        , m_probe(pattern, t, limits)
    {
        for (const std::string& label : m_labels)
            m_initials[static_cast<unsigned char>(label.front())] = true;
    }

    bool next(Pos from, Found& found) override
    {
        Pos p = from;
        if (p != 0 && !terminator(m_t.s[p - 1]))
            p = lineStartAfter(p);
        for (; p < m_t.n; p = lineStartAfter(p)) {
            const Outcome outcome = attempt(p, found);
            if (outcome.verdict == Verdict::Match)
                return true;
            if (outcome.verdict == Verdict::Unsure) {
                // A match never reaches past the line feed.
                Pos limit = m_t.indexOf(u'\n', p);
                if (limit < 0)
                    limit = m_t.n;
                if (m_probe.matchAt(p, limit, found))
                    return true;
            }
        }
        return false;
    }

private:
    Pos lineStartAfter(Pos p) const
    {
        const Pos q = m_t.terminatorFrom(p);
        return q < m_t.n ? q + 1 : m_t.n;
    }

    Outcome attempt(Pos line, Found& found) const
    {
        const char16_t* s = m_t.s;
        const Pos n = m_t.n;
        Pos i = line;
        while (i < n && isBlank(s[i]))
            ++i;
        if (i >= n)
            return kNoMatch;
        if (s[i] >= 0x80)
            return foldsToAscii(s[i]) ? kUnsure : kNoMatch;
        if (!m_initials[asciiLower(s[i])])
            return kNoMatch;
        for (const std::string& label : m_labels) {
            const Outcome outcome = literalAt(m_t, i, label);
            if (outcome.verdict == Verdict::Unsure)
                return kUnsure;
            if (outcome.verdict == Verdict::NoMatch)
                continue;
            const std::optional<Span> match =
                m_kind == Kind::KeyValue ? keyValueTail(outcome.end) : furtherTail(outcome.end);
            if (!match)
                continue;
            found = {{line, match->end}, {Span{}, Span{line, match->begin}, Span{}}};
            return {Verdict::Match, match->end};
        }
        return kNoMatch;
    }

    // After a rule 3 label: ([ \t:=]+)[^\n]*$ — the span from the end of group 1 to the end.
    std::optional<Span> keyValueTail(Pos k) const
    {
        const char16_t* s = m_t.s;
        const Pos n = m_t.n;
        if (k >= n || !isLabelEnd(s[k]))
            return std::nullopt;
        Pos groupEnd = k;
        while (groupEnd < n && isLabelEnd(s[groupEnd]))
            ++groupEnd;
        Pos end = m_t.indexOf(u'\n', groupEnd);
        if (end < 0)
            end = n;
        // $ does not hold between a carriage return and its line feed.
        else if (end > groupEnd && s[end - 1] == u'\r')
            --end;
        return Span{groupEnd, end};
    }

    // After a rule 7 label: ([^\n:=]*[ \t:=]+).*$
    std::optional<Span> furtherTail(Pos k) const
    {
        const char16_t* s = m_t.s;
        const Pos n = m_t.n;
        Pos f = k;
        while (f < n && s[f] != u'\n' && s[f] != u':' && s[f] != u'=')
            ++f;
        Pos groupEnd;
        if (f < n && s[f] != u'\n') {
            groupEnd = f;
            while (groupEnd < n && isLabelEnd(s[groupEnd]))
                ++groupEnd;
        } else {
            // Giving back characters until a blank can end the label.
            Pos j = f - 1;
            while (j >= k && !isBlank(s[j]))
                --j;
            if (j < k)
                return std::nullopt;
            groupEnd = j + 1;
        }
        return Span{groupEnd, m_t.terminatorFrom(groupEnd)};
    }

    Kind m_kind;
    const std::vector<std::string>& m_labels;
    Subject& m_t;
    mutable Probe m_probe;
    std::array<bool, 128> m_initials{};
};

// Rules 4 to 6: a fixed shape of hexadecimal digits and separators between word boundaries.
class ShapeFinder : public Finder {
public:
    ShapeFinder(std::u16string_view shape, const icu::RegexPattern& pattern, Subject& t, const MaskingLimits& limits)
        : m_shape(shape)
        , m_t(t)
        , m_probe(pattern, t, limits)
    {
    }

    // Every match has the shape's first separator at a fixed offset, so the search looks for
    // that character and tries the start it implies. A match begins with a hexadecimal digit,
    // and no character outside ASCII belongs to the case-closed class.
    bool next(Pos from, Found& found) override
    {
        const char16_t* s = m_t.s;
        const Pos offset = Pos(m_shape.find_first_not_of(u'x'));
        const char16_t separator = m_shape[size_t(offset)];
        for (Pos q = m_t.indexOf(separator, from + offset); q >= 0; q = m_t.indexOf(separator, q + 1)) {
            const Pos p = q - offset;
            const char16_t c = s[p];
            if (c >= 0x80 || !isAsciiHex(c) || (p > 0 && s[p - 1] < 0x80 && isAsciiWord(s[p - 1])))
                continue;
            const Verdict verdict = attempt(p);
            if (verdict == Verdict::Match) {
                found = {{p, p + Pos(m_shape.size())}, {}};
                return true;
            }
            if (verdict == Verdict::Unsure && m_probe.matchAt(p, m_t.n, found))
                return true;
        }
        return false;
    }

private:
    // 'x' in the shape stands for a hexadecimal digit, anything else for itself.
    Verdict attempt(Pos p) const
    {
        const char16_t* s = m_t.s;
        const Pos n = m_t.n;
        const Pos end = p + Pos(m_shape.size());
        if (end > n)
            return Verdict::NoMatch;
        for (Pos i = p; i < end; ++i) {
            const char16_t c = s[i];
            const char16_t want = m_shape[size_t(i - p)];
            if (want != u'x') {
                if (c != want)
                    return Verdict::NoMatch;
            } else if (c >= 0x80) {
                return foldsToAscii(c) ? Verdict::Unsure : Verdict::NoMatch;
            } else if (!isAsciiHex(c)) {
                return Verdict::NoMatch;
            }
        }
        bool unsure = p > 0 && s[p - 1] >= 0x80;
        if (end < n) {
            if (s[end] >= 0x80)
                unsure = true;
            else if (isAsciiWord(s[end]))
                return Verdict::NoMatch;
        }
        return unsure ? Verdict::Unsure : Verdict::Match;
    }

    std::u16string_view m_shape;
    Subject& m_t;
    Probe m_probe;
};

// Rules 8 to 10: (literal\s*)[class]+
class LabelValueFinder : public Finder {
public:
    LabelValueFinder(std::string_view literal, bool (*inClass)(char16_t), const icu::RegexPattern& pattern, Subject& t,
                     const MaskingLimits& limits)
        : m_literal(literal)
        , m_inClass(inClass)
        , m_t(t)
        , m_probe(pattern, t, limits)
    {
    }

    bool next(Pos from, Found& found) override
    {
        const char16_t* s = m_t.s;
        if (m_t.isAscii() && m_literal.back() == ':' && m_literal.find(':') == m_literal.size() - 1) {
            // In ASCII text the label takes one character per letter and ends at its only colon.
            const Pos length = Pos(m_literal.size());
            for (Pos q = m_t.indexOf(u':', from + length - 1); q >= 0; q = m_t.indexOf(u':', q + 1)) {
                const Verdict verdict = attempt(q + 1 - length, found);
                if (verdict == Verdict::Match)
                    return true;
                if (verdict == Verdict::Unsure)
                    throw EngineFailure{}; // cannot happen in ASCII text
            }
            return false;
        }
        const char16_t first = char16_t(m_literal.front());
        for (Pos p = from; p < m_t.n; ++p) {
            const char16_t c = s[p];
            if (c < 0x80 ? asciiLower(c) != first : !foldsToAscii(c))
                continue;
            const Verdict verdict = attempt(p, found);
            if (verdict == Verdict::Match)
                return true;
            if (verdict == Verdict::Unsure && m_probe.matchAt(p, m_t.n, found))
                return true;
        }
        return false;
    }

private:
    Verdict attempt(Pos p, Found& found) const
    {
        const Outcome label = literalAt(m_t, p, m_literal);
        if (label.verdict != Verdict::Match)
            return label.verdict;
        Pos i = label.end;
        while (i < m_t.n && space(m_t.s[i]))
            ++i;
        Pos j = i;
        while (j < m_t.n && m_inClass(m_t.s[j]))
            ++j;
        if (j == i)
            return Verdict::NoMatch;
        found = {{p, j}, {Span{}, Span{p, i}, Span{}}};
        return Verdict::Match;
    }

    std::string_view m_literal;
    bool (*m_inClass)(char16_t);
    Subject& m_t;
    Probe m_probe;
};

std::unique_ptr<Finder> makeFinder(int index, Subject& t, const MaskingLimits& limits)
{
    const Plan& plan = compiled().plan[size_t(index)];
    const icu::RegexPattern& whole = *compiled().rule[size_t(index)];
    switch (plan.form) {
    case Plan::Form::LazyChain:
        return std::make_unique<LazyChainFinder>(plan.pieces, t, limits);
    case Plan::Form::LabelLine:
        return std::make_unique<LabelLineFinder>(plan.further ? LabelLineFinder::Kind::Further : LabelLineFinder::Kind::KeyValue,
                                                 plan.labels, whole, t, limits);
    case Plan::Form::Shape:
        return std::make_unique<ShapeFinder>(plan.shape, whole, t, limits);
    case Plan::Form::LabelValue:
        return std::make_unique<LabelValueFinder>(plan.label, plan.inClass, whole, t, limits);
    case Plan::Form::None:
        break;
    }
    return nullptr;
}

// A replacement template of the ten rules: literal text and $1 / $2.
struct TemplatePart {
    int group = 0; // 0: literal text
    QString text;
};

std::vector<TemplatePart> parseTemplate(const QString& replacement)
{
    std::vector<TemplatePart> parts;
    for (qsizetype i = 0; i < replacement.size(); ++i) {
        const QChar c = replacement.at(i);
        if (c == u'$' && i + 1 < replacement.size() && replacement.at(i + 1) >= u'1' && replacement.at(i + 1) <= u'2') {
            parts.push_back({replacement.at(i + 1).unicode() - u'0', QString()});
            ++i;
            continue;
        }
        if (parts.empty() || parts.back().group != 0)
            parts.push_back({0, QString()});
        parts.back().text.append(c);
    }
    return parts;
}

// Writes the text with every match replaced into `out`, whose memory is reused from pass to
// pass: on large texts fresh memory for each of the ten passes costs more than the matching.
// False, with `out` untouched, when nothing matched.
bool runPass(const QString& text, Finder& finder, const std::vector<TemplatePart>& parts, QString& out)
{
    const QChar* data = text.constData();
    const Pos n = text.size();
    bool changed = false;
    Pos copied = 0;
    Found found;
    for (Pos from = 0; from <= n && finder.next(from, found);) {
        if (found.whole.begin < from || found.whole.end <= found.whole.begin)
            throw EngineFailure{}; // the rules never match empty; anything else is a fault here
        if (!changed) {
            if (out.isDetached())
                out.resize(0);
            else
                out = QString();
            out.reserve(n + 64); // a longer result grows by reallocation

            changed = true;
        }
        out.append(data + copied, found.whole.begin - copied);
        for (const TemplatePart& part : parts) {
            if (part.group == 0) {
                out.append(part.text);
                continue;
            }
            const Span g = found.group[size_t(part.group)];
            if (g.begin >= 0 && g.end >= g.begin)
                out.append(data + g.begin, g.end - g.begin);
        }
        copied = found.whole.end;
        from = found.whole.end;
    }
    if (changed)
        out.append(data + copied, n - copied);
    return changed;
}

// The result of a pass written back into the text it is computed from, for the property-list
// rules, whose finder never reads before the position it searches from: a large property list
// is then masked without a second copy of it. Every copied stretch lies at or after the write
// position and moves down in place; characters that would run ahead of the input read so far
// (a mask longer than the value it replaces) wait in a queue until the input behind them has
// been read, so the queue never holds more than the result's growth and one slice.
class InPlaceOutput {
public:
    explicit InPlaceOutput(QChar* data) : m_data(data) {}

    // Characters [a, b) of the original text; everything before `a` has been read.
    void copy(Pos a, Pos b)
    {
        flush(a);
        if (queued() == 0 && m_write <= a) {
            if (m_write != a)
                std::memmove(m_data + m_write, m_data + a, size_t(b - a) * sizeof(QChar));
            m_write += b - a;
            return;
        }
        for (Pos at = a; at < b;) {
            const Pos end = std::min(b, at + kSlice);
            m_queue.append(m_data + at, end - at);
            flush(end);
            at = end;
        }
    }

    void literal(const QString& text) { m_queue.append(text); }

    // Moves queued characters into the text below `free`, the first position still to be read.
    void flush(Pos free)
    {
        const Pos count = std::min(free - m_write, queued());
        if (count <= 0)
            return;
        std::memcpy(m_data + m_write, m_queue.constData() + m_head, size_t(count) * sizeof(QChar));
        m_write += count;
        m_head += count;
        if (m_head == m_queue.size()) {
            m_queue.resize(0);
            m_head = 0;
        } else if (m_head > kSlice && m_head > m_queue.size() / 2) {
            m_queue.remove(0, m_head);
            m_head = 0;
        }
    }

    // Ends the text after the result; the queue's rest extends it.
    void finish(QString& text)
    {
        const Pos rest = queued();
        const Pos at = m_write;
        text.resize(at + rest);
        if (rest > 0)
            std::memcpy(text.data() + at, m_queue.constData() + m_head, size_t(rest) * sizeof(QChar));
    }

private:
    static constexpr Pos kSlice = 1 << 16;

    Pos queued() const { return m_queue.size() - m_head; }

    QChar* m_data;
    Pos m_write = 0;
    QString m_queue;
    Pos m_head = 0;
};

// runPass for a finder that never reads before the position it searches from, with the result
// written over `text`. The template's groups must come in the order they stand in the match.
bool runPassInPlace(QString& text, Finder& finder, const std::vector<TemplatePart>& parts)
{
    const Pos n = text.size();
    bool changed = false;
    Pos copied = 0;
    Found found;
    std::optional<InPlaceOutput> out;
    for (Pos from = 0; from <= n && finder.next(from, found);) {
        if (found.whole.begin < from || found.whole.end <= found.whole.begin)
            throw EngineFailure{}; // the rules never match empty; anything else is a fault here
        if (!changed) {
            // The text's own buffer; a text shared with the caller is copied here, and the finder
            // goes on reading the caller's, which is never written.
            out.emplace(text.data());
            changed = true;
        }
        out->copy(copied, found.whole.begin);
        Pos read = found.whole.begin;
        for (const TemplatePart& part : parts) {
            if (part.group == 0) {
                out->literal(part.text);
                continue;
            }
            const Span g = found.group[size_t(part.group)];
            if (g.begin < 0 || g.end < g.begin)
                continue;
            if (g.begin < read || g.end > found.whole.end)
                throw EngineFailure{}; // a group that was already overwritten
            out->copy(g.begin, g.end);
            read = g.end;
        }
        out->flush(found.whole.end);
        copied = found.whole.end;
        from = found.whole.end;
    }
    if (!changed)
        return false;
    out->copy(copied, n);
    out->flush(n);
    out->finish(text);
    return true;
}

// One rule on `current`; the result replaces `current`, and its old memory becomes `spare`.
void applyOne(QString& current, QString& spare, const RedactionRule& rule, const MaskingLimits& limits)
{
    if (!hasFastMatcher(rule)) {
        current = applyRuleWithIcu(current, rule, limits);
        return;
    }
    if (current.size() >= std::numeric_limits<int32_t>::max())
        throw EngineFailure{};
    const int index = standardIndex(rule);
    const bool inPlace = compiled().plan[size_t(index)].form == Plan::Form::LazyChain;
    bool changed = false;
    {
        Subject subject(current);
        const std::unique_ptr<Finder> finder = makeFinder(index, subject, limits);
        if (!finder)
            throw EngineFailure{};
        const std::vector<TemplatePart> parts = parseTemplate(rule.replacement);
        if (inPlace) {
            runPassInPlace(current, *finder, parts);
            return;
        }
        changed = runPass(current, *finder, parts, spare);
    }
    if (changed)
        std::swap(current, spare);
}

} // namespace

QString applyRuleWithIcu(const QString& text, const RedactionRule& rule, const MaskingLimits& limits)
{
    if (text.size() >= std::numeric_limits<int32_t>::max())
        throw EngineFailure{};
    std::unique_ptr<icu::RegexPattern> ownPattern;
    const icu::RegexPattern* pattern = nullptr;
    const int index = standardIndex(rule);
    if (index >= 0 && compiled().rule[size_t(index)]) {
        pattern = compiled().rule[size_t(index)].get();
    } else {
        ownPattern = compile(toIcu(rule.pattern));
        pattern = ownPattern.get();
    }
    if (!pattern)
        return text; // a rule that does not compile is dropped
    const icu::UnicodeString input(false, reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
    UErrorCode status = kOk;
    std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
    if (U_FAILURE(status) || !matcher)
        throw EngineFailure{};
    applyLimits(*matcher, limits);
    const icu::UnicodeString replacement = toIcu(rule.replacement);
    icu::UnicodeString result;
    bool changed = false;
    // A search loop rather than replaceAll, which stops at an engine error, copies the rest of
    // the text unchanged and still reports success.
    while (matcher->find(status)) {
        changed = true;
        matcher->appendReplacement(result, replacement, status);
        if (U_FAILURE(status))
            throw EngineFailure{};
    }
    if (U_FAILURE(status))
        throw EngineFailure{};
    if (!changed)
        return text;
    matcher->appendTail(result);
    return fromIcu(result);
}

bool hasFastMatcher(const RedactionRule& rule)
{
    const int index = standardIndex(rule);
    return index >= 0 && compiled().plan[size_t(index)].form != Plan::Form::None;
}

QString applyRules(QString text, const std::vector<RedactionRule>& rules, const MaskingLimits& limits)
{
    // A text the caller handed over serves as the second buffer once the first pass has
    // written its result elsewhere.
    QString current = std::move(text);
    QString spare;
    for (const RedactionRule& rule : rules)
        applyOne(current, spare, rule, limits);
    return current;
}

} // namespace velkor::masking
