#include "registry/IoregTextLoader.h"

#include "files/Files.h"

#include <QByteArrayView>
#include <QFile>
#include <QVariantList>

#include <unicode/ucnv.h>

#include <limits>
#include <vector>

namespace velkor {
namespace {

// Values nest this deep at most: real registries stay below ten levels.
constexpr int kMaxValueNesting = 256;
// A text that runs over several lines (ioreg prints embedded line feeds as they are) may grow
// to this many bytes before the file is taken as broken.
constexpr qsizetype kMaxValueBytes = 16 * 1024 * 1024;
// The companion's whole run takes about eight to ten times the text's size (the text, its tree
// of entries and values, the listing and reports made from it); a saved registry is a few MB,
// so this bound keeps it below about 700 MB on any input.
constexpr qint64 kMaxFileBytes = 64LL * 1024 * 1024;

const QString kSaveAdvice = QStringLiteral("save the registry with `ioreg -l -w0`");

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView rightTrimmed(QByteArrayView text)
{
    qsizetype end = text.size();
    while (end > 0 && isBlank(text[end - 1]))
        --end;
    return text.first(end);
}

// The two-column steps of tree drawing ("| " or two blanks) at the start of a line.
qsizetype treeSteps(QByteArrayView line)
{
    qsizetype steps = 0;
    while (2 * steps + 1 < line.size()) {
        const char first = line[2 * steps];
        if (line[2 * steps + 1] != ' ' || (first != ' ' && first != '|'))
            break;
        ++steps;
    }
    return steps;
}

bool isEntryLine(QByteArrayView line, qsizetype steps)
{
    return line.sliced(2 * steps).startsWith("+-o ");
}

// Names users chose on a Mac (computer, volume, device names) may be saved in Mac OS Roman.
QString decodeText(QByteArrayView bytes)
{
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open("macintosh", &status);
    if (U_FAILURE(status))
        return QString::fromLatin1(bytes);
    // One byte is one UTF-16 unit in this encoding.
    QString text(bytes.size(), Qt::Uninitialized);
    const int32_t length = ucnv_toUChars(converter, reinterpret_cast<UChar*>(text.data()), int32_t(text.size()), bytes.data(),
                                         int32_t(bytes.size()), &status);
    ucnv_close(converter);
    if (U_FAILURE(status))
        return QString::fromLatin1(bytes);
    text.truncate(length);
    return text;
}

// What a line belongs to when it is part of the registry's structure, seen from inside the
// property block whose lines start with blockPrefix: an entry line drawn at this block's level
// or above, a property line of the block, or the block's end. Null for any other line.
const char* structuralLine(QByteArrayView line, QByteArrayView blockPrefix)
{
    if (line.startsWith(blockPrefix)) {
        const QByteArrayView rest = line.sliced(blockPrefix.size());
        if (rest.startsWith("  \"") && rest.indexOf("\" = ", 3) > 0)
            return "a property line of the same block";
        if (rightTrimmed(rest) == "}")
            return "the end of the property block";
    }
    const qsizetype steps = treeSteps(line);
    if (isEntryLine(line, steps) && blockPrefix.startsWith(line.first(2 * steps)))
        return "the next entry";
    return nullptr;
}

// The text split into lines (CR before LF dropped), counting them for error messages.
class LineSource {
public:
    explicit LineSource(const QByteArray& text) : m_text(text)
    {
        if (m_text.startsWith("\xEF\xBB\xBF"))
            m_offset = 3;
    }

    bool next(QByteArrayView& line)
    {
        if (m_offset >= m_text.size())
            return false;
        qsizetype end = m_text.indexOf('\n', m_offset);
        m_lastTerminated = end >= 0;
        if (end < 0)
            end = m_text.size();
        qsizetype stop = end;
        if (stop > m_offset && m_text.at(stop - 1) == '\r')
            --stop;
        line = QByteArrayView(m_text.constData() + m_offset, stop - m_offset);
        m_last = line;
        m_offset = end + 1;
        ++m_number;
        return true;
    }

    qsizetype number() const { return m_number; }
    // The line read last, and whether a line feed ended it.
    QByteArrayView last() const { return m_last; }
    bool lastTerminated() const { return m_lastTerminated; }

private:
    const QByteArray& m_text;
    qsizetype m_offset = 0;
    qsizetype m_number = 0;
    QByteArrayView m_last;
    bool m_lastTerminated = true;
};

class Loader {
public:
    Loader(const QByteArray& text, QString sourceName, QString plane)
        : m_lines(text), m_source(std::move(sourceName)), m_plane(std::move(plane))
    {
    }

    std::shared_ptr<TreeRegistry> load();

    [[noreturn]] void failAt(qsizetype line, const QString& reason) const
    {
        throw RegistryFormatError(m_source, std::max<qsizetype>(line, 1), reason);
    }
    [[noreturn]] void fail(const QString& reason) const { failAt(m_lines.number(), reason); }
    LineSource& lines() { return m_lines; }

private:
    struct OpenEntry {
        TreeRegistryNode* node; // owned by the tree for the whole load
        QByteArrayView prefix;  // the drawing in front of "+-o"
        QByteArrayView blockPrefix; // the drawing in front of its block's lines, once it has one
        bool hasBlock = false;
        qsizetype line = 0;
    };

    void addEntry(QByteArrayView line, qsizetype depth);
    void openBlock(QByteArrayView line, qsizetype depth);
    void readBlockLine(QByteArrayView line);
    void addProperty(QByteArrayView line, qsizetype keyAt);
    void noteEntryWithoutBlock();

    LineSource m_lines;
    QString m_source;
    QString m_plane;
    std::shared_ptr<TreeRegistryNode> m_root;
    qsizetype m_rootLine = 0;
    // The entries from the root down to the last one read.
    std::vector<OpenEntry> m_path;
    bool m_inBlock = false;
    qsizetype m_blockLine = 0;
    qsizetype m_blocks = 0;
    qsizetype m_firstEntryWithoutBlock = 0;
};

// Reads one property value, iteratively, with a stack of the containers that are open. A text
// may continue on the following lines, which the parser then pulls from the line source.
class ValueParser {
public:
    ValueParser(Loader& loader, QByteArrayView line, qsizetype start, QByteArrayView blockPrefix)
        : m_loader(loader), m_buf(line), m_pos(start), m_blockPrefix(blockPrefix)
    {
    }

    QVariant parse();

private:
    enum class Kind { List, Dict, Set, Data };
    enum class Quoted { Value, Key, DataText };
    struct Frame {
        Kind kind;
        QVariantList list;
        QVariantMap map;
        QString key;
        QByteArray data;
        bool firstText = true;
    };

    static char closerOf(Kind kind)
    {
        switch (kind) {
        case Kind::List: return ')';
        case Kind::Dict: return '}';
        case Kind::Set: return ']';
        case Kind::Data: return '>';
        }
        return '\0';
    }
    static bool startsValue(char c)
    {
        return c == '"' || c == '<' || c == '(' || c == '{' || c == '[' || (c >= '0' && c <= '9') || c == '-' || c == 'Y' || c == 'N';
    }

    [[noreturn]] void fail(const QString& reason) const { m_loader.fail(reason); }
    char at(qsizetype index) const { return index < m_buf.size() ? m_buf[index] : '\0'; }
    char peek() const { return at(m_pos); }
    bool atEnd() const { return m_pos >= m_buf.size(); }
    void skipBlanks()
    {
        while (m_pos < m_buf.size() && isBlank(m_buf[m_pos]))
            ++m_pos;
    }
    bool follows(qsizetype index, size_t level) const;
    bool closes(Quoted kind, qsizetype quote) const;
    QByteArrayView readQuoted(Quoted kind);
    QByteArray readHexData();
    QVariant readToken();
    void pullContinuation(qsizetype startLine);

    Loader& m_loader;
    QByteArrayView m_buf;
    QByteArray m_owned; // the value's lines joined, once a text runs over a line end
    bool m_owns = false;
    qsizetype m_pos;
    QByteArrayView m_blockPrefix;
    std::vector<Frame> m_stack;
};

// Whether what stands at `index` can follow a value that ends there, with `level` containers
// open around it: each container's closing bracket in turn, then either the end of the line
// (all closed) or a comma and the start of the next element.
bool ValueParser::follows(qsizetype index, size_t level) const
{
    for (;;) {
        while (index < m_buf.size() && isBlank(m_buf[index]))
            ++index;
        if (level == 0)
            return index >= m_buf.size();
        const Kind kind = m_stack[level - 1].kind;
        const char c = at(index);
        if (c == ',') {
            ++index;
            while (index < m_buf.size() && isBlank(m_buf[index]))
                ++index;
            return kind == Kind::List || kind == Kind::Set ? startsValue(at(index)) : at(index) == '"';
        }
        if (index >= m_buf.size() || c != closerOf(kind))
            return false;
        ++index;
        --level;
    }
}

// ioreg does not escape quotes, so a quote closes a text only where what comes after it fits:
// "=" after a dictionary key; another text or the data's end after a text in data; and after a
// value, whatever may follow a value in its place.
bool ValueParser::closes(Quoted kind, qsizetype quote) const
{
    switch (kind) {
    case Quoted::Key:
        return at(quote + 1) == '=';
    case Quoted::DataText:
        if (at(quote + 1) == ',')
            return at(quote + 2) == '"';
        return at(quote + 1) == '>' && follows(quote + 2, m_stack.size() - 1);
    case Quoted::Value:
        return follows(quote + 1, m_stack.size());
    }
    return false;
}

QByteArrayView ValueParser::readQuoted(Quoted kind)
{
    const qsizetype startLine = m_loader.lines().number();
    const qsizetype start = m_pos + 1;
    qsizetype search = start;
    for (;;) {
        for (qsizetype quote = m_buf.indexOf('"', search); quote >= 0; quote = m_buf.indexOf('"', quote + 1)) {
            if (closes(kind, quote)) {
                m_pos = quote + 1;
                return m_buf.sliced(start, quote - start);
            }
        }
        if (kind == Quoted::Key)
            fail(QStringLiteral("a dictionary key without its closing quote"));
        if (kind == Quoted::DataText)
            fail(QStringLiteral("a text in data without its closing quote"));
        // Only a value's text runs on: it holds a line feed.
        search = m_buf.size();
        pullContinuation(startLine);
    }
}

void ValueParser::pullContinuation(qsizetype startLine)
{
    LineSource& lines = m_loader.lines();
    QByteArrayView next;
    if (!lines.next(next))
        m_loader.failAt(startLine, QStringLiteral("a text that starts on this line has no closing quote (the file ends inside it)"));
    // A text's own further lines start at column 0; one that would take in the registry's next
    // line has lost its closing quote.
    if (const char* what = structuralLine(next, m_blockPrefix))
        m_loader.failAt(startLine, QStringLiteral("a text that starts on this line has no closing quote: it would take in line %1, %2")
                                       .arg(lines.number())
                                       .arg(QLatin1String(what)));
    if (!m_owns) {
        m_owned = m_buf.toByteArray();
        m_owns = true;
    }
    if (m_owned.size() + next.size() + 1 > kMaxValueBytes)
        fail(QStringLiteral("a value longer than %1 bytes").arg(kMaxValueBytes));
    m_owned.append('\n');
    m_owned.append(next);
    m_buf = m_owned;
}

// Hexadecimal bytes. Published registries are often masked by hand ("<9**********6>"); such
// data keeps its characters as bytes, so the entry stays readable.
QByteArray ValueParser::readHexData()
{
    const qsizetype close = m_buf.indexOf('>', m_pos + 1);
    if (close < 0)
        fail(QStringLiteral("data without its closing \">\""));
    const QByteArrayView content = m_buf.sliced(m_pos + 1, close - m_pos - 1);
    m_pos = close + 1;
    bool masked = false;
    for (const char c : content) {
        if (hexValue(c) >= 0)
            continue;
        if (c != '*' && c != 'x' && c != 'X' && c != '?' && c != '#')
            fail(QStringLiteral("data that is neither hexadecimal nor masked: <%1>").arg(decodeText(content.first(std::min<qsizetype>(content.size(), 80)))));
        masked = true;
    }
    if (masked)
        return content.toByteArray();
    if (content.size() % 2 != 0)
        fail(QStringLiteral("data with an odd number of hexadecimal digits"));
    QByteArray bytes(content.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(hexValue(content[2 * i]) * 16 + hexValue(content[2 * i + 1]));
    return bytes;
}

// A bare word: Yes, No or a number (decimal as ioreg prints them; hexadecimal after "0x" and
// negative numbers are read too).
QVariant ValueParser::readToken()
{
    const qsizetype start = m_pos;
    while (!atEnd()) {
        const char c = m_buf[m_pos];
        if (isBlank(c) || c == ',' || c == ')' || c == '}' || c == ']' || c == '>')
            break;
        ++m_pos;
    }
    const QByteArrayView token = m_buf.sliced(start, m_pos - start);
    if (token.isEmpty()) {
        // A value left out ("k"=, as hand-edited registries have it) reads as an empty text.
        if (m_stack.empty() || m_stack.back().kind == Kind::Dict)
            return QString();
        fail(QStringLiteral("a value is missing"));
    }
    if (token == "Yes")
        return true;
    if (token == "No")
        return false;
    const QString shown = decodeText(token.first(std::min<qsizetype>(token.size(), 80)));
    const bool negative = token.startsWith('-');
    QByteArrayView digits = negative ? token.sliced(1) : token;
    int base = 10;
    if (digits.startsWith("0x") || digits.startsWith("0X")) {
        digits = digits.sliced(2);
        base = 16;
    }
    bool allDigits = !digits.isEmpty();
    for (const char c : digits)
        allDigits = allDigits && (base == 16 ? hexValue(c) >= 0 : (c >= '0' && c <= '9'));
    if (!allDigits)
        fail(QStringLiteral("unrecognized value \"%1\"").arg(shown));
    bool ok = false;
    const qulonglong magnitude = digits.toULongLong(&ok, base);
    if (!ok)
        fail(QStringLiteral("number out of range: %1").arg(shown));
    if (negative) {
        constexpr qulonglong limit = static_cast<qulonglong>(std::numeric_limits<qint64>::max()) + 1;
        if (magnitude > limit)
            fail(QStringLiteral("number out of range: %1").arg(shown));
        return magnitude == limit ? std::numeric_limits<qint64>::min() : -static_cast<qint64>(magnitude);
    }
    if (magnitude > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return QVariant::fromValue<quint64>(magnitude);
    return QVariant::fromValue<qint64>(static_cast<qint64>(magnitude));
}

QVariant ValueParser::parse()
{
    for (;;) {
        QVariant value;
        skipBlanks();
        if (!m_stack.empty() && m_stack.back().kind == Kind::Data) {
            Frame& data = m_stack.back();
            if (peek() != '"')
                fail(QStringLiteral("expected a quoted text in data"));
            const QByteArrayView text = readQuoted(Quoted::DataText);
            if (!data.firstText)
                data.data.append('\0');
            data.firstText = false;
            data.data.append(text);
            if (peek() == ',') {
                ++m_pos;
                continue;
            }
            ++m_pos; // '>'
            value = std::move(data.data);
            m_stack.pop_back();
        } else {
            if (!m_stack.empty() && m_stack.back().kind == Kind::Dict) {
                if (peek() != '"')
                    fail(QStringLiteral("expected a quoted key in a dictionary"));
                m_stack.back().key = decodeText(readQuoted(Quoted::Key));
                ++m_pos; // '='
                skipBlanks();
            }
            const char c = peek();
            if (c == '(' || c == '{' || c == '[') {
                if (static_cast<int>(m_stack.size()) >= kMaxValueNesting)
                    fail(QStringLiteral("values nested more than %1 levels deep").arg(kMaxValueNesting));
                const Kind kind = c == '(' ? Kind::List : c == '{' ? Kind::Dict : Kind::Set;
                ++m_pos;
                skipBlanks();
                if (peek() != closerOf(kind)) {
                    m_stack.push_back(Frame{kind, {}, {}, {}, {}, true});
                    continue;
                }
                ++m_pos;
                value = kind == Kind::Dict ? QVariant(QVariantMap()) : QVariant(QVariantList());
            } else if (c == '<' && at(m_pos + 1) == '"') {
                if (static_cast<int>(m_stack.size()) >= kMaxValueNesting)
                    fail(QStringLiteral("values nested more than %1 levels deep").arg(kMaxValueNesting));
                m_stack.push_back(Frame{Kind::Data, {}, {}, {}, {}, true});
                ++m_pos; // now at the text's opening quote
                continue;
            } else if (c == '<') {
                value = readHexData();
            } else if (c == '"') {
                value = decodeText(readQuoted(Quoted::Value));
            } else {
                value = readToken();
            }
        }

        // Hand the finished value to its container, closing every container that ends here.
        for (;;) {
            skipBlanks();
            if (m_stack.empty()) {
                if (!atEnd())
                    fail(QStringLiteral("unexpected text after the value"));
                return value;
            }
            Frame& frame = m_stack.back();
            if (frame.kind == Kind::Dict)
                frame.map.insert(frame.key, value);
            else
                frame.list.append(value);
            const char next = peek();
            if (next == ',') {
                ++m_pos;
                break;
            }
            const char closer = closerOf(frame.kind);
            if (next == closer && !atEnd()) {
                ++m_pos;
                value = frame.kind == Kind::Dict ? QVariant(std::move(frame.map)) : QVariant(std::move(frame.list));
                m_stack.pop_back();
                continue;
            }
            const QString what = frame.kind == Kind::Dict ? QStringLiteral("dictionary")
                : frame.kind == Kind::Set                 ? QStringLiteral("set")
                                                          : QStringLiteral("array");
            if (atEnd())
                fail(QStringLiteral("unterminated %1 (missing \"%2\")").arg(what, QString(QLatin1Char(closer))));
            fail(QStringLiteral("expected \",\" or \"%1\" in the %2 but found \"%3\"")
                     .arg(QString(QLatin1Char(closer)), what, QString(QChar::fromLatin1(next))));
        }
    }
}

void Loader::noteEntryWithoutBlock()
{
    if (!m_path.empty() && !m_path.back().hasBlock && m_firstEntryWithoutBlock == 0)
        m_firstEntryWithoutBlock = m_path.back().line;
}

void Loader::addEntry(QByteArrayView line, qsizetype depth)
{
    const QByteArrayView rest = rightTrimmed(line.sliced(2 * depth + 4)); // after "+-o "
    const qsizetype classAt = rest.lastIndexOf("  <class ");
    if (classAt < 0 || !rest.endsWith('>'))
        fail(QStringLiteral("an entry line without \"<class ...>\" at its end"));
    const QByteArrayView nameAndLocation = rest.first(classAt);
    QByteArrayView classPart = rest.sliced(classAt + 9, rest.size() - classAt - 10);
    if (const qsizetype comma = classPart.indexOf(','); comma >= 0)
        classPart = classPart.first(comma);
    const qsizetype at = nameAndLocation.lastIndexOf('@');
    const QString name = decodeText(at < 0 ? nameAndLocation : nameAndLocation.first(at));
    const QString location = at < 0 ? QString() : decodeText(nameAndLocation.sliced(at + 1));
    const QString className = decodeText(classPart);

    noteEntryWithoutBlock();
    TreeRegistryNode* node = nullptr;
    if (depth == 0) {
        if (m_root)
            fail(QStringLiteral("a second root entry"));
        m_root = std::make_shared<TreeRegistryNode>();
        m_root->name = name;
        m_root->location = location;
        m_root->className = className;
        m_rootLine = m_lines.number();
        m_path.clear();
        node = m_root.get();
    } else {
        if (!m_root)
            fail(QStringLiteral("an indented entry before the root entry"));
        if (depth > static_cast<qsizetype>(m_path.size()))
            fail(QStringLiteral("an entry drawn more than one level below the entry above it"));
        m_path.resize(static_cast<size_t>(depth));
        const OpenEntry& parent = m_path.back();
        // The parent's block is drawn with its children's prefix in front.
        if (parent.hasBlock && parent.blockPrefix.first(2 * depth) != line.first(2 * depth))
            fail(QStringLiteral("the tree drawing in front of this entry does not match its parent's on line %1").arg(parent.line));
        node = parent.node->addChild(m_plane, name, className, {}, location).get();
    }
    m_path.push_back(OpenEntry{node, line.first(2 * depth), {}, false, m_lines.number()});
}

void Loader::openBlock(QByteArrayView line, qsizetype depth)
{
    if (m_path.empty() || m_path.back().hasBlock)
        fail(QStringLiteral("\"{\" without an entry to belong to"));
    OpenEntry& entry = m_path.back();
    const QByteArrayView prefix = line.first(2 * depth);
    if (depth != entry.prefix.size() / 2 + 2 || !prefix.startsWith(entry.prefix))
        fail(QStringLiteral("the property block is not drawn below its entry on line %1").arg(entry.line));
    entry.hasBlock = true;
    entry.blockPrefix = prefix;
    m_inBlock = true;
    m_blockLine = m_lines.number();
    ++m_blocks;
}

void Loader::readBlockLine(QByteArrayView line)
{
    const QByteArrayView prefix = m_path.back().blockPrefix;
    if (line.startsWith(prefix)) {
        const QByteArrayView rest = line.sliced(prefix.size());
        if (rest.startsWith("  \"")) {
            addProperty(line, prefix.size() + 3);
            return;
        }
        if (rightTrimmed(rest) == "}") {
            m_inBlock = false;
            return;
        }
    }
    if (isEntryLine(line, treeSteps(line)))
        fail(QStringLiteral("the property block that starts on line %1 is not closed").arg(m_blockLine));
    fail(QStringLiteral("a line that does not belong to the property block that starts on line %1").arg(m_blockLine));
}

void Loader::addProperty(QByteArrayView line, qsizetype keyAt)
{
    const qsizetype separator = line.indexOf("\" = ", keyAt);
    if (separator < 0)
        fail(QStringLiteral("a property line without \" = \""));
    const QString key = decodeText(line.sliced(keyAt, separator - keyAt));
    ValueParser parser(*this, line, separator + 4, m_path.back().blockPrefix);
    m_path.back().node->properties.insert(key, parser.parse());
}

std::shared_ptr<TreeRegistry> Loader::load()
{
    QByteArrayView line;
    while (m_lines.next(line)) {
        if (m_inBlock) {
            readBlockLine(line);
            continue;
        }
        const qsizetype steps = treeSteps(line);
        if (isEntryLine(line, steps)) {
            addEntry(line, steps);
            continue;
        }
        const QByteArrayView content = rightTrimmed(line.sliced(2 * steps));
        if (content.isEmpty())
            continue; // the tree drawing alone, as after every block
        if (content == "{")
            openBlock(line, steps);
        else if (content == "}")
            fail(QStringLiteral("\"}\" without an open property block"));
        else if (content.startsWith('"') && content.contains("\" = "))
            fail(QStringLiteral("a property line outside a property block"));
        else
            fail(QStringLiteral("unexpected text \"%1\"").arg(decodeText(content.first(std::min<qsizetype>(content.size(), 80)))));
    }
    const QByteArrayView last = rightTrimmed(m_lines.last().sliced(2 * treeSteps(m_lines.last())));
    if (!m_lines.lastTerminated() && !last.isEmpty() && last != "}")
        fail(QStringLiteral("the last line is cut off: the file is truncated"));
    if (m_inBlock)
        fail(QStringLiteral("the property block that starts on line %1 is not closed (the file ends inside it)").arg(m_blockLine));
    if (!m_root)
        fail(QStringLiteral("no registry entry (no \"+-o\" line)"));
    if (m_blocks == 0)
        failAt(m_rootLine, QStringLiteral("no property blocks: ") + kSaveAdvice);
    noteEntryWithoutBlock();
    if (m_firstEntryWithoutBlock > 0)
        failAt(m_firstEntryWithoutBlock, QStringLiteral("an entry without its property block (`ioreg -l` gives every entry one)"));
    return std::make_shared<TreeRegistry>(m_root);
}

// Files that are not `ioreg -l` text at all, recognised before reading line by line.
void rejectOtherFormats(const QByteArray& text, const QString& sourceName)
{
    if (text.startsWith("\xFF\xFE") || text.startsWith("\xFE\xFF") || (text.size() > 1 && (text[0] == '\0' || text[1] == '\0')))
        throw RegistryFormatError(sourceName, 1, QStringLiteral("the file is UTF-16 text: save it as UTF-8, or ") + kSaveAdvice);
    const QByteArray start = text.left(256).trimmed();
    if (start.startsWith("<?xml") || start.startsWith("<!DOCTYPE plist") || start.startsWith("<plist"))
        throw RegistryFormatError(sourceName, 1, QStringLiteral("this is the XML that `ioreg -a` prints: ") + kSaveAdvice);
    if (!text.contains('\n') && text.contains('\r'))
        throw RegistryFormatError(sourceName, 1,
                                  QStringLiteral("the lines end in CR alone (old Mac line ends): convert them to LF, or ") + kSaveAdvice);
}

// The columns of every line, for telling a listing whose lines a terminal cut at its width:
// then many lines have exactly the width's length and nothing is longer.
qsizetype cutWidth(const QByteArray& text, qsizetype failedLine)
{
    qsizetype widest = 0;
    qsizetype widestCount = 0;
    qsizetype failedColumns = -1;
    qsizetype number = 0;
    qsizetype offset = 0;
    while (offset < text.size()) {
        qsizetype end = text.indexOf('\n', offset);
        if (end < 0)
            end = text.size();
        qsizetype stop = end;
        if (stop > offset && text.at(stop - 1) == '\r')
            --stop;
        qsizetype columns = 0;
        for (qsizetype i = offset; i < stop; ++i)
            columns += (uchar(text.at(i)) & 0xC0) != 0x80 ? 1 : 0;
        if (++number == failedLine)
            failedColumns = columns;
        if (columns > widest) {
            widest = columns;
            widestCount = 1;
        } else if (columns == widest) {
            ++widestCount;
        }
        offset = end + 1;
    }
    return failedColumns == widest && widest >= 40 && widestCount >= 3 ? widest : 0;
}

} // namespace

RegistryFormatError::RegistryFormatError(const QString& sourceName, qsizetype line, const QString& reason)
    : VelkorError(QStringLiteral("%1:%2: %3").arg(sourceName).arg(line).arg(reason)), m_line(line)
{
}

std::shared_ptr<TreeRegistry> loadIoregText(const QByteArray& text, const QString& sourceName, const QString& plane)
{
    rejectOtherFormats(text, sourceName);
    try {
        Loader loader(text, sourceName, plane);
        return loader.load();
    } catch (const RegistryFormatError& error) {
        if (const qsizetype width = cutWidth(text, error.line()); width > 0)
            throw RegistryFormatError(sourceName, error.line(),
                                      QStringLiteral("the lines are cut at %1 columns: save with `ioreg -l -w0`").arg(width));
        throw;
    }
}

std::shared_ptr<TreeRegistry> loadIoregTextFile(const QString& path, const QString& plane)
{
    QString failure;
    const std::optional<QByteArray> text = readRegularFile(path, kMaxFileBytes, &failure);
    if (!text)
        throw PlatformError(QStringLiteral("Could not read %1: %2").arg(path, failure));
    return loadIoregText(*text, path, plane);
}

} // namespace velkor
