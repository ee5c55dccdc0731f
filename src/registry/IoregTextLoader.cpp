#include "registry/IoregTextLoader.h"

#include <QFile>
#include <QVariantList>
#include <limits>
#include <vector>

namespace velkor {
namespace {

// Values nest this deep at most: real registries stay below ten levels.
constexpr int kMaxValueNesting = 256;
// A string that runs over several lines (ioreg prints embedded line feeds as they are) may
// grow to this many bytes before the text is taken as broken.
constexpr qsizetype kMaxValueBytes = 16 * 1024 * 1024;
constexpr qint64 kMaxFileBytes = 512LL * 1024 * 1024;

// The text split into lines, counting them for error messages.
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

class LineSource {
public:
    explicit LineSource(const QByteArray& text) : m_text(text)
    {
        if (m_text.startsWith("\xEF\xBB\xBF"))
            m_offset = 3;
    }

    bool next(QByteArray& line)
    {
        if (m_offset >= m_text.size())
            return false;
        qsizetype end = m_text.indexOf('\n', m_offset);
        if (end < 0)
            end = m_text.size();
        qsizetype stop = end;
        if (stop > m_offset && m_text.at(stop - 1) == '\r')
            --stop;
        line = m_text.mid(m_offset, stop - m_offset);
        m_offset = end + 1;
        ++m_lineNumber;
        return true;
    }

    qsizetype lineNumber() const { return m_lineNumber; }

private:
    const QByteArray& m_text;
    qsizetype m_offset = 0;
    qsizetype m_lineNumber = 0;
};

class Loader;

// Reads one property value, iteratively. A string may continue on the following lines, which
// the parser then pulls from the line source.
class ValueParser {
public:
    ValueParser(QByteArray buffer, LineSource& lines, const Loader& loader)
        : m_buf(std::move(buffer)), m_lines(lines), m_loader(loader), m_firstLine(lines.lineNumber())
    {
    }

    QVariant parseTopLevel();

private:
    enum class Context { TopLevel, ListElement, MapKey, MapValue };
    struct Frame {
        bool isMap = false;
        bool wantsKey = false;
        QVariantList list;
        QVariantMap map;
        QString key;
    };

    [[noreturn]] void fail(const QString& reason) const;
    bool atEnd() const { return m_pos >= m_buf.size(); }
    char peek() const { return atEnd() ? '\0' : m_buf.at(m_pos); }
    void skipBlanks()
    {
        while (!atEnd() && (m_buf.at(m_pos) == ' ' || m_buf.at(m_pos) == '\t'))
            ++m_pos;
    }
    bool restIsBlank(qsizetype from) const
    {
        for (qsizetype i = from; i < m_buf.size(); ++i) {
            if (m_buf.at(i) != ' ' && m_buf.at(i) != '\t')
                return false;
        }
        return true;
    }
    bool pullLine();
    QByteArray readString(Context context);
    QByteArray readData();
    QByteArray readQuotedData();
    QVariant readToken();
    Context contextOf(const std::vector<Frame>& stack) const
    {
        if (stack.empty())
            return Context::TopLevel;
        return stack.back().isMap ? Context::MapValue : Context::ListElement;
    }

    QByteArray m_buf;
    qsizetype m_pos = 0;
    LineSource& m_lines;
    const Loader& m_loader;
    qsizetype m_firstLine;
};

class Loader {
public:
    Loader(const QByteArray& text, QString sourceName, QString plane)
        : m_lines(text), m_source(std::move(sourceName)), m_plane(std::move(plane))
    {
    }

    std::shared_ptr<TreeRegistry> load();

    [[noreturn]] void fail(const QString& reason) const { throw RegistryFormatError(m_source, m_lines.lineNumber(), reason); }

private:
    enum class State { BeforeFirstEntry, AfterEntry, InBlock, AfterBlock };

    void addEntry(const QByteArray& line, qsizetype column);
    void addProperty(const QByteArray& line, qsizetype start);

    LineSource m_lines;
    QString m_source;
    QString m_plane;
    State m_state = State::BeforeFirstEntry;
    std::shared_ptr<TreeRegistryNode> m_root;
    // The entries from the root down to the last one read; raw pointers into the tree, which
    // owns them for the whole load.
    std::vector<TreeRegistryNode*> m_path;
};

void ValueParser::fail(const QString& reason) const
{
    m_loader.fail(reason);
}

bool ValueParser::pullLine()
{
    QByteArray next;
    if (!m_lines.next(next))
        return false;
    if (m_buf.size() + next.size() + 1 > kMaxValueBytes)
        fail(QStringLiteral("value longer than %1 bytes").arg(kMaxValueBytes));
    m_buf.append('\n');
    m_buf.append(next);
    return true;
}

// A quoted text that starts at m_pos. ioreg does not escape quotes inside strings, so the
// closing quote is the one followed by what may come after a value in this place: the end of
// the line at the top level, "," or ")" in a list, "," or "}" as a dictionary value, "=" after
// a dictionary key.
QByteArray ValueParser::readString(Context context)
{
    const qsizetype start = m_pos + 1;
    qsizetype search = start;
    for (;;) {
        if (context == Context::TopLevel) {
            qsizetype end = m_buf.size();
            while (end > start && (m_buf.at(end - 1) == ' ' || m_buf.at(end - 1) == '\t'))
                --end;
            if (end > start && m_buf.at(end - 1) == '"') {
                m_pos = end;
                return m_buf.mid(start, end - 1 - start);
            }
        } else {
            for (qsizetype i = search; i < m_buf.size(); ++i) {
                if (m_buf.at(i) != '"')
                    continue;
                const char after = i + 1 < m_buf.size() ? m_buf.at(i + 1) : '\0';
                const bool closes = (context == Context::MapKey && after == '=')
                    || (context == Context::ListElement && (after == ',' || after == ')'))
                    || (context == Context::MapValue && (after == ',' || after == '}'));
                if (closes) {
                    m_pos = i + 1;
                    return m_buf.mid(start, i - start);
                }
            }
            search = m_buf.size();
        }
        if (!pullLine())
            fail(QStringLiteral("unterminated string (the value starts on line %1)").arg(m_firstLine));
    }
}

QByteArray ValueParser::readData()
{
    ++m_pos; // '<'
    const qsizetype close = m_buf.indexOf('>', m_pos);
    if (close < 0)
        fail(QStringLiteral("unterminated data (missing \">\")"));
    if (peek() == '"')
        return readQuotedData();
    // Hexadecimal bytes. Saved registries are often masked by hand ("<9**********6>"); content
    // that is not whole hex bytes is kept as the bytes of its text, so the entry stays readable.
    const qsizetype length = close - m_pos;
    QByteArray bytes;
    bytes.reserve(length / 2);
    bool hex = length % 2 == 0;
    for (qsizetype i = m_pos; hex && i < close; i += 2) {
        const int high = hexValue(m_buf.at(i));
        const int low = hexValue(m_buf.at(i + 1));
        hex = high >= 0 && low >= 0;
        bytes.append(static_cast<char>(high * 16 + low));
    }
    if (!hex)
        bytes = m_buf.mid(m_pos, length);
    m_pos = close + 1;
    return bytes;
}

// Data shown as quoted texts, <"a","b">: each text stands for its bytes and the NUL after them.
QByteArray ValueParser::readQuotedData()
{
    QByteArray bytes;
    for (;;) {
        qsizetype close = -1;
        for (qsizetype i = m_pos + 1; i + 1 < m_buf.size(); ++i) {
            if (m_buf.at(i) == '"' && (m_buf.at(i + 1) == ',' || m_buf.at(i + 1) == '>')) {
                close = i;
                break;
            }
        }
        if (close < 0)
            fail(QStringLiteral("unterminated text in data"));
        bytes.append(m_buf.constData() + m_pos + 1, close - m_pos - 1);
        bytes.append('\0');
        m_pos = close + 1;
        if (peek() == '>') {
            ++m_pos;
            return bytes;
        }
        ++m_pos; // ','
        if (peek() != '"')
            fail(QStringLiteral("expected a quoted text after \",\" in data"));
    }
}

// A bare word: Yes, No or a number (decimal, or hexadecimal after "0x"; negative numbers are
// read too, although ioreg prints numbers unsigned).
QVariant ValueParser::readToken()
{
    const qsizetype start = m_pos;
    while (!atEnd()) {
        const char c = m_buf.at(m_pos);
        const bool ends = c == ' ' || c == '\t' || c == ',' || c == ')' || c == '}' || c == '=' || c == '\n';
        if (ends)
            break;
        ++m_pos;
    }
    const QByteArray token = m_buf.mid(start, m_pos - start);
    // A value left out ("k"=, as hand-masked registries have it) reads as an empty text.
    if (token.isEmpty())
        return QString();
    if (token == "Yes")
        return true;
    if (token == "No")
        return false;
    const bool negative = token.startsWith('-');
    QByteArray digits = negative ? token.mid(1) : token;
    int base = 10;
    if (digits.startsWith("0x") || digits.startsWith("0X")) {
        digits = digits.mid(2);
        base = 16;
    }
    bool allDigits = !digits.isEmpty();
    for (const char c : digits)
        allDigits = allDigits && (base == 16 ? hexValue(c) >= 0 : (c >= '0' && c <= '9'));
    if (!allDigits)
        fail(QStringLiteral("unrecognized value \"%1\"").arg(QString::fromUtf8(token.left(80))));
    bool ok = false;
    const qulonglong magnitude = digits.toULongLong(&ok, base);
    if (!ok)
        fail(QStringLiteral("number out of range: %1").arg(QString::fromUtf8(token.left(80))));
    if (negative) {
        constexpr qulonglong limit = static_cast<qulonglong>(std::numeric_limits<qint64>::max()) + 1;
        if (magnitude > limit)
            fail(QStringLiteral("number out of range: %1").arg(QString::fromUtf8(token.left(80))));
        return magnitude == limit ? std::numeric_limits<qint64>::min() : -static_cast<qint64>(magnitude);
    }
    if (magnitude > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return QVariant::fromValue<quint64>(magnitude);
    return QVariant::fromValue<qint64>(static_cast<qint64>(magnitude));
}

QVariant ValueParser::parseTopLevel()
{
    std::vector<Frame> stack;
    for (;;) {
        skipBlanks();
        if (!stack.empty() && stack.back().wantsKey) {
            if (peek() != '"')
                fail(QStringLiteral("expected a quoted key in a dictionary"));
            stack.back().key = QString::fromUtf8(readString(Context::MapKey));
            ++m_pos; // '='
            skipBlanks();
            stack.back().wantsKey = false;
        }

        QVariant value;
        bool complete = true;
        const char c = peek();
        if (c == '(' || c == '{') {
            if (static_cast<int>(stack.size()) >= kMaxValueNesting)
                fail(QStringLiteral("values nested more than %1 levels deep").arg(kMaxValueNesting));
            ++m_pos;
            skipBlanks();
            const char close = c == '(' ? ')' : '}';
            if (peek() == close) {
                ++m_pos;
                value = c == '(' ? QVariant(QVariantList()) : QVariant(QVariantMap());
            } else {
                Frame frame;
                frame.isMap = c == '{';
                frame.wantsKey = frame.isMap;
                stack.push_back(std::move(frame));
                complete = false;
            }
        } else if (c == '"') {
            value = QString::fromUtf8(readString(contextOf(stack)));
        } else if (c == '<') {
            value = readData();
        } else {
            value = readToken();
        }
        if (!complete)
            continue;

        // Hand the finished value to its container, closing every container that ends here.
        for (;;) {
            if (stack.empty()) {
                skipBlanks();
                if (!atEnd())
                    fail(QStringLiteral("unexpected text after the value"));
                return value;
            }
            Frame& frame = stack.back();
            if (frame.isMap)
                frame.map.insert(frame.key, value);
            else
                frame.list.append(value);
            skipBlanks();
            const char next = peek();
            if (next == ',') {
                ++m_pos;
                frame.wantsKey = frame.isMap;
                break;
            }
            if ((frame.isMap && next == '}') || (!frame.isMap && next == ')')) {
                ++m_pos;
                value = frame.isMap ? QVariant(std::move(frame.map)) : QVariant(std::move(frame.list));
                stack.pop_back();
                continue;
            }
            if (atEnd())
                fail(frame.isMap ? QStringLiteral("unterminated dictionary (missing \"}\")")
                                 : QStringLiteral("unterminated array (missing \")\")"));
            fail(QStringLiteral("expected \",\" or \"%1\" but found '%2'")
                     .arg(frame.isMap ? QLatin1Char('}') : QLatin1Char(')'))
                     .arg(QChar::fromLatin1(next)));
        }
    }
}

void Loader::addEntry(const QByteArray& line, qsizetype column)
{
    if (m_state == State::InBlock)
        fail(QStringLiteral("the property block of the entry above is not closed"));
    if (column % 2 != 0)
        fail(QStringLiteral("entry line is not aligned to the tree"));
    const qsizetype depth = column / 2;

    const QByteArray rest = line.mid(column + 4); // after "+-o "
    const qsizetype classAt = rest.lastIndexOf("  <class ");
    if (classAt < 0 || !rest.endsWith('>'))
        fail(QStringLiteral("entry line without \"<class ...>\""));
    const QByteArray nameAndLocation = rest.left(classAt);
    const QByteArray classPart = rest.mid(classAt + 9, rest.size() - classAt - 10);
    const qsizetype comma = classPart.indexOf(',');
    const QString className = QString::fromUtf8(comma < 0 ? classPart : classPart.left(comma));
    const qsizetype at = nameAndLocation.lastIndexOf('@');
    const QString name = QString::fromUtf8(at < 0 ? nameAndLocation : nameAndLocation.left(at));
    const QString location = at < 0 ? QString() : QString::fromUtf8(nameAndLocation.mid(at + 1));

    if (depth == 0) {
        if (m_root)
            fail(QStringLiteral("a second root entry"));
        m_root = std::make_shared<TreeRegistryNode>();
        m_root->name = name;
        m_root->location = location;
        m_root->className = className;
        m_path.assign(1, m_root.get());
    } else {
        if (!m_root)
            fail(QStringLiteral("an indented entry before the root entry"));
        if (depth > static_cast<qsizetype>(m_path.size()))
            fail(QStringLiteral("entry is nested more than one level below the entry above it"));
        m_path.resize(static_cast<size_t>(depth));
        auto child = m_path.back()->addChild(m_plane, name, className, {}, location);
        m_path.push_back(child.get());
    }
    m_state = State::AfterEntry;
}

void Loader::addProperty(const QByteArray& line, qsizetype start)
{
    if (m_state != State::InBlock)
        fail(QStringLiteral("property outside a property block"));
    const qsizetype separator = line.indexOf("\" = ", start + 1);
    if (separator < 0)
        fail(QStringLiteral("property line without \" = \""));
    const QString key = QString::fromUtf8(line.mid(start + 1, separator - start - 1));
    ValueParser parser(line.mid(separator + 4), m_lines, *this);
    m_path.back()->properties.insert(key, parser.parseTopLevel());
}

std::shared_ptr<TreeRegistry> Loader::load()
{
    QByteArray line;
    while (m_lines.next(line)) {
        qsizetype column = 0;
        while (column < line.size() && (line.at(column) == ' ' || line.at(column) == '|'))
            ++column;
        if (line.mid(column, 4) == "+-o ") {
            addEntry(line, column);
            continue;
        }
        const QByteArray content = line.mid(column).trimmed();
        if (content.isEmpty())
            continue;
        if (content == "{") {
            if (m_state != State::AfterEntry)
                fail(QStringLiteral("\"{\" without an entry to belong to"));
            m_state = State::InBlock;
        } else if (content == "}") {
            if (m_state != State::InBlock)
                fail(QStringLiteral("\"}\" without an open property block"));
            m_state = State::AfterBlock;
        } else if (content.startsWith('"')) {
            addProperty(line, line.indexOf('"', column));
        } else {
            fail(QStringLiteral("unexpected text \"%1\"").arg(QString::fromUtf8(content.left(80))));
        }
    }
    if (m_state == State::InBlock)
        fail(QStringLiteral("unterminated property block (missing \"}\")"));
    if (!m_root)
        fail(QStringLiteral("no registry entry (no \"+-o\" line)"));
    return std::make_shared<TreeRegistry>(m_root);
}

} // namespace

RegistryFormatError::RegistryFormatError(const QString& sourceName, qsizetype line, const QString& reason)
    : VelkorError(QStringLiteral("%1:%2: %3").arg(sourceName).arg(line).arg(reason)), m_line(line)
{
}

std::shared_ptr<TreeRegistry> loadIoregText(const QByteArray& text, const QString& sourceName, const QString& plane)
{
    Loader loader(text, sourceName, plane);
    return loader.load();
}

std::shared_ptr<TreeRegistry> loadIoregTextFile(const QString& path, const QString& plane)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw PlatformError(QStringLiteral("Could not read %1: %2").arg(path, file.errorString()));
    if (file.size() > kMaxFileBytes)
        throw PlatformError(QStringLiteral("Could not read %1: larger than %2 bytes").arg(path).arg(kMaxFileBytes));
    const QByteArray text = file.read(kMaxFileBytes + 1);
    if (text.size() > kMaxFileBytes)
        throw PlatformError(QStringLiteral("Could not read %1: larger than %2 bytes").arg(path).arg(kMaxFileBytes));
    if (file.error() != QFileDevice::NoError)
        throw PlatformError(QStringLiteral("Could not read %1: %2").arg(path, file.errorString()));
    return loadIoregText(text, path, plane);
}

} // namespace velkor
