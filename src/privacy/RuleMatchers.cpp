#include "privacy/RuleMatchers.h"

#include <QStringView>

#include <unicode/regex.h>
#include <unicode/unistr.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
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

void applyLimits(icu::RegexMatcher& matcher, const EngineLimits& limits)
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
    Probe(const icu::RegexPattern& pattern, Subject& subject, const EngineLimits& limits)
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
    const EngineLimits& m_limits;
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
    std::u16string_view source;
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
    Piece piece{source, std::move(*ops), compile(toIcu(std::u16string(flags) + std::u16string(source))), char16_t(first)};
    if (!piece.compiled)
        return std::nullopt;
    return piece;
}

// ---------------------------------------------------------------------------------------------
// The ten rules as written, split where the matchers need it.

constexpr std::u16string_view kPlistFlags = u"(?is)";

constexpr std::u16string_view kRule1Head =
    uR"RX(<key>\s*(?:SerialNumber|Serial Number|serial_number|serial-number|BoardSerialNumber|board_serial_number|board-serial-number|SmUUID|CustomUUID|MLB|mlb|ROM|rom|SystemSerialNumber|system_serial_number|SystemUUID|system_uuid|Hardware UUID|hardware_uuid|HardwareAddress|IOPlatformUUID|IOPlatformSerialNumber|IOPlatformSystemSerialNumber|serial_number|system-id|platform-uuid|platform_UUID|provisioning_UDID|Provisioning UDID|IOPlatformSystemSerialNumber)\s*</key>\s*<(?:string|data)>)RX";
constexpr std::u16string_view kRule1Close = uR"RX(</(?:string|data)>)RX";

constexpr std::u16string_view kRule2Items = uR"RX(<key>\s*(?:_items|_properties)\s*</key>\s*<array>)RX";
constexpr std::u16string_view kRule2Dict = uR"RX(<dict>)RX";
constexpr std::u16string_view kRule2Name =
    uR"RX(<key>\s*_name\s*</key>\s*<string>\s*(?:Serial Number \(system\)|Hardware UUID|Provisioning UDID)\s*</string>)RX";
constexpr std::u16string_view kRule2Value = uR"RX(<key>\s*_value\s*</key>\s*<string>)RX";
constexpr std::u16string_view kRule2Close = uR"RX(</string>)RX";

// The other rules as the matchers below implement them. A rule table that differs from these
// is applied by ICU alone.
constexpr std::u16string_view kRule3 =
    uR"RX((?im)^([ \t]*(?:Serial Number(?: \(system\))?|SerialNumber|serial_number|Hardware UUID|hardware_uuid|Provisioning UDID|provisioning_UDID|System UUID|SystemSerialNumber|SystemUUID|BoardSerialNumber|SmUUID|MLB|ROM|IOPlatformSerialNumber|IOPlatformUUID|IOPlatformSystemSerialNumber|platform_UUID)[ \t:=]+)[^\n]*$)RX";
constexpr std::u16string_view kRule4 = uR"RX((?i)\b[A-F0-9]{8}-[A-F0-9]{4}-[A-F0-9]{4}-[A-F0-9]{4}-[A-F0-9]{12}\b)RX";
constexpr std::u16string_view kRule5 = uR"RX((?i)\b[0-9A-F]{2}(:[0-9A-F]{2}){5}\b)RX";
constexpr std::u16string_view kRule6 = uR"RX((?i)\b[0-9A-F]{2}(-[0-9A-F]{2}){5}\b)RX";
constexpr std::u16string_view kRule7 =
    uR"RX((?im)^([ \t]*(?:IOPlatformSerialNumber|serial-number|board-serial-number|serial_number|mlb|ROM|platform_UUID)[^\n:=]*[ \t:=]+).*$)RX";
constexpr std::u16string_view kRule8 = uR"RX((?i)(Serial Number \(system\):\s*)[A-Z0-9]+)RX";
constexpr std::u16string_view kRule9 = uR"RX((?i)(Hardware UUID:\s*)[A-F0-9-]+)RX";
constexpr std::u16string_view kRule10 = uR"RX((?i)(Provisioning UDID:\s*)[A-F0-9-]+)RX";

constexpr std::u16string_view kLabelsOpen = u"^([ \\t]*(?:";

// The labels of a line rule, lower-case, in the pattern's order. An alternative with an
// optional tail, "Serial Number(?: \(system\))?", is tried with its tail first.
std::vector<std::string> labelsOf(std::u16string_view pattern)
{
    std::vector<std::string> labels;
    size_t i = pattern.find(kLabelsOpen);
    if (i == std::u16string_view::npos)
        return labels;
    i += kLabelsOpen.size();
    std::string word;
    std::string optional;
    bool inOptional = false;
    for (; i < pattern.size(); ++i) {
        const char16_t c = pattern[i];
        if (c == u'\\' && i + 1 < pattern.size()) {
            (inOptional ? optional : word).push_back(char(asciiLower(pattern[++i])));
        } else if (pattern.substr(i).starts_with(u"(?:")) {
            inOptional = true;
            i += 2;
        } else if (inOptional && pattern.substr(i).starts_with(u")?")) {
            inOptional = false;
            ++i;
        } else if (c == u'|' || c == u')') {
            if (!optional.empty())
                labels.push_back(word + optional);
            labels.push_back(word);
            word.clear();
            optional.clear();
            if (c == u')')
                break;
        } else {
            (inOptional ? optional : word).push_back(char(asciiLower(c)));
        }
    }
    return labels;
}

const std::vector<std::string>& rule3Labels()
{
    static const std::vector<std::string> labels = labelsOf(kRule3);
    return labels;
}

const std::vector<std::string>& rule7Labels()
{
    static const std::vector<std::string> labels = labelsOf(kRule7);
    return labels;
}

// Everything compiled once for the life of the program; patterns are safe to share between threads.
struct Compiled {
    std::array<std::unique_ptr<icu::RegexPattern>, 10> rule; // rules 3 to 10 are asked whole
    std::vector<Piece> rule1;                                // head, close
    std::vector<Piece> rule2;                                // items, dict, name, value, close
    std::array<bool, 10> fast{};
};

const Compiled& compiled()
{
    static const Compiled instance = [] {
        Compiled c;
        const std::vector<RedactionRule>& rules = redactionRules();
        for (size_t i = 0; i < rules.size() && i < c.rule.size(); ++i) {
            c.rule[i] = compile(toIcu(rules[i].pattern));
            c.fast[i] = c.rule[i] != nullptr;
        }
        auto pieces = [](std::initializer_list<std::u16string_view> sources) {
            std::vector<Piece> out;
            for (std::u16string_view source : sources) {
                std::optional<Piece> piece = makePiece(source, kPlistFlags);
                if (!piece)
                    return std::vector<Piece>();
                out.push_back(std::move(*piece));
            }
            return out;
        };
        c.rule1 = pieces({kRule1Head, kRule1Close});
        c.rule2 = pieces({kRule2Items, kRule2Dict, kRule2Name, kRule2Value, kRule2Close});
        // The pieces must make up the rules exactly as written.
        const std::u16string rule1 = std::u16string(kPlistFlags) + u"(" + std::u16string(kRule1Head) + u").*?("
            + std::u16string(kRule1Close) + u")";
        const std::u16string rule2 = std::u16string(kPlistFlags) + u"(" + std::u16string(kRule2Items) + u".*?"
            + std::u16string(kRule2Dict) + u".*?" + std::u16string(kRule2Name) + u".*?" + std::u16string(kRule2Value)
            + u").*?(" + std::u16string(kRule2Close) + u")";
        c.fast[0] = c.fast[0] && c.rule1.size() == 2 && QString::fromStdU16String(rule1) == rules[0].pattern;
        c.fast[1] = c.fast[1] && c.rule2.size() == 5 && QString::fromStdU16String(rule2) == rules[1].pattern;
        const std::array<std::u16string_view, 8> others{kRule3, kRule4, kRule5, kRule6, kRule7, kRule8, kRule9, kRule10};
        for (size_t i = 0; i < others.size() && i + 2 < rules.size(); ++i)
            c.fast[i + 2] = c.fast[i + 2] && QString::fromStdU16String(std::u16string(others[i])) == rules[i + 2].pattern;
        c.fast[2] = c.fast[2] && rule3Labels().size() == 19;
        c.fast[6] = c.fast[6] && rule7Labels().size() == 7;
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
    PieceMatcher(const Piece& piece, Subject& t, const EngineLimits& limits)
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
    NextOccurrence(const Piece& piece, Subject& t, const EngineLimits& limits)
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

// Rule 1: (head).*?(close)
class PlistValueFinder : public Finder {
public:
    PlistValueFinder(const std::vector<Piece>& pieces, Subject& t, const EngineLimits& limits)
        : m_t(t)
        , m_head(pieces[0], t, limits)
        , m_close(pieces[1], t, limits)
    {
    }

    bool next(Pos from, Found& found) override
    {
        const char16_t first = m_head.piece().first;
        for (Pos p = m_t.indexOf(first, from); p >= 0; p = m_t.indexOf(first, p + 1)) {
            const std::optional<Pos> head = m_head.endAt(p);
            if (!head)
                continue;
            const std::optional<Span> close = m_close.at(*head);
            if (!close)
                continue;
            found = {{p, close->end}, {Span{}, Span{p, *head}, *close}};
            return true;
        }
        return false;
    }

private:
    Subject& m_t;
    PieceMatcher m_head;
    NextOccurrence m_close;
};

// Rule 2: (items.*?dict.*?name.*?value).*?(close)
class ProfilerItemFinder : public Finder {
public:
    ProfilerItemFinder(const std::vector<Piece>& pieces, Subject& t, const EngineLimits& limits)
        : m_t(t)
        , m_items(pieces[0], t, limits)
        , m_dict(pieces[1], t, limits)
        , m_name(pieces[2], t, limits)
        , m_value(pieces[3], t, limits)
        , m_close(pieces[4], t, limits)
    {
    }

    bool next(Pos from, Found& found) override
    {
        const char16_t first = m_items.piece().first;
        for (Pos p = m_t.indexOf(first, from); p >= 0; p = m_t.indexOf(first, p + 1)) {
            const std::optional<Pos> items = m_items.endAt(p);
            if (!items)
                continue;
            const std::optional<Span> dict = m_dict.at(*items);
            const std::optional<Span> name = dict ? m_name.at(dict->end) : std::nullopt;
            const std::optional<Span> value = name ? m_value.at(name->end) : std::nullopt;
            const std::optional<Span> close = value ? m_close.at(value->end) : std::nullopt;
            if (!close)
                continue;
            found = {{p, close->end}, {Span{}, Span{p, value->end}, *close}};
            return true;
        }
        return false;
    }

private:
    Subject& m_t;
    PieceMatcher m_items;
    NextOccurrence m_dict;
    NextOccurrence m_name;
    NextOccurrence m_value;
    NextOccurrence m_close;
};

// Rules 3 and 7 begin at a line start with optional blanks and a label.
class LabelLineFinder : public Finder {
public:
    enum class Kind { KeyValue, Further }; // rule 3, rule 7

    LabelLineFinder(Kind kind, const icu::RegexPattern& pattern, Subject& t, const EngineLimits& limits)
        : m_kind(kind)
        , m_labels(kind == Kind::KeyValue ? rule3Labels() : rule7Labels())
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
    ShapeFinder(std::u16string_view shape, const icu::RegexPattern& pattern, Subject& t, const EngineLimits& limits)
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
                     const EngineLimits& limits)
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

std::unique_ptr<Finder> makeFinder(int index, Subject& t, const EngineLimits& limits)
{
    const Compiled& c = compiled();
    const icu::RegexPattern& whole = *c.rule[size_t(index)];
    switch (index) {
    case 0:
        return std::make_unique<PlistValueFinder>(c.rule1, t, limits);
    case 1:
        return std::make_unique<ProfilerItemFinder>(c.rule2, t, limits);
    case 2:
        return std::make_unique<LabelLineFinder>(LabelLineFinder::Kind::KeyValue, whole, t, limits);
    case 3:
        return std::make_unique<ShapeFinder>(u"xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", whole, t, limits);
    case 4:
        return std::make_unique<ShapeFinder>(u"xx:xx:xx:xx:xx:xx", whole, t, limits);
    case 5:
        return std::make_unique<ShapeFinder>(u"xx-xx-xx-xx-xx-xx", whole, t, limits);
    case 6:
        return std::make_unique<LabelLineFinder>(LabelLineFinder::Kind::Further, whole, t, limits);
    case 7:
        return std::make_unique<LabelValueFinder>("serial number (system):", isSerialChar, whole, t, limits);
    case 8:
        return std::make_unique<LabelValueFinder>("hardware uuid:", isUuidChar, whole, t, limits);
    case 9:
        return std::make_unique<LabelValueFinder>("provisioning udid:", isUuidChar, whole, t, limits);
    default:
        return nullptr;
    }
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

// One rule on `current`; the result replaces `current`, and its old memory becomes `spare`.
void applyOne(QString& current, QString& spare, const RedactionRule& rule, const EngineLimits& limits)
{
    if (!hasFastMatcher(rule)) {
        current = applyRuleWithIcu(current, rule, limits);
        return;
    }
    if (current.size() >= std::numeric_limits<int32_t>::max())
        throw EngineFailure{};
    bool changed = false;
    {
        Subject subject(current);
        const std::unique_ptr<Finder> finder = makeFinder(standardIndex(rule), subject, limits);
        if (!finder)
            throw EngineFailure{};
        changed = runPass(current, *finder, parseTemplate(rule.replacement), spare);
    }
    if (changed)
        std::swap(current, spare);
}

} // namespace

QString applyRuleWithIcu(const QString& text, const RedactionRule& rule, const EngineLimits& limits)
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
    return index >= 0 && compiled().fast[size_t(index)];
}

QString applyRule(const QString& text, const RedactionRule& rule, const EngineLimits& limits)
{
    return applyRules(text, {rule}, limits);
}

QString applyRules(QString text, const std::vector<RedactionRule>& rules, const EngineLimits& limits)
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
