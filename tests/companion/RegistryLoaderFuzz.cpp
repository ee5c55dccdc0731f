// Fuzz target for the registry text loader. Built with clang, -fsanitize=fuzzer and
// -DVELKOR_LIBFUZZER, libFuzzer drives LLVMFuzzerTestOneInput; otherwise the main below feeds
// it a bounded number of random inputs so that CI runs it under the sanitizers like any test.
//
// Each input is used twice, and each use checks a property, not only that nothing crashes:
//  - as registry text, which loads or fails with a line number inside the text;
//  - as a recipe for one piece of damage to a registry the printer printed, made outside the
//    contents of its strings: the text cut inside a line, a string's closing quote or a
//    value's closing bracket dropped, a step of tree drawing changed, dropped or added, a line
//    dropped, doubled or joined to the next. The damaged text loads to exactly the tree the
//    undamaged one gives, or fails with a line number; it never gives another tree. CRLF line
//    ends and a byte-order mark must give the same tree.
#include "base/CollectorError.h"
#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "registry/RegistryTestSupport.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace velkor;
using velkor::testing::treeDifference;

namespace {

enum class LineKind { Entry, BlockOpen, Property, BlockClose, DrawingOnly, Continuation };

struct Line {
    qsizetype start;
    qsizetype length;  // without the line feed
    qsizetype drawing; // bytes of tree drawing in front of the content
    LineKind kind;
};

struct Base {
    QByteArray text;
    std::shared_ptr<TreeRegistry> tree;
    std::vector<Line> lines;
};

// Every form the loader reads, printed again by the printer to become a base.
const char kSyntheticRegistry[] =
    "+-o Root  <class IORegistryEntry, id 0x100000100, retain 11>\n"
    "  | {\n"
    "  |   \"text\" = \"IOCommand is not serializable\"\n"
    "  |   \"quotes\" = \"\"AirPort\" 2.0\"\n"
    "  |   \"lines\" = \"vendorid: 0x14e4\n"
    "  | deviceid: 0x43ba\n"
    "\"\n"
    "  |   \"roman\" = \"J\x9Frgen\"\n"
    "  |   \"big\" = 18446744073709551615\n"
    "  |   \"data\" = <\"pci8086,7270\",\"XHC1\">\n"
    "  |   \"xml\" = <\"<dict ID=\"0\"><key>CH</key></dict>\">\n"
    "  |   \"mixed\" = ({\"a\"=[<\"x\">,(2,{})],\"b\"=,\"c\"=\"d, e)\"},[\"f\",\"g\n"
    "h\"],<00ff>,Yes)\n"
    "  |   \"empty\" = ()\n"
    "  | }\n"
    "  | \n"
    "  +-o child@1,2  <class IOService, id 0x100000101, registered, matched, active, busy 0 (12 ms), retain 7>\n"
    "  | | {\n"
    "  | |   \"port\" = <01000000>\n"
    "  | | }\n"
    "  | | \n"
    "  | +-o grandchild  <class C, id 0x100000102>\n"
    "  |     {\n"
    "  |     }\n"
    "  |     \n"
    "  +-o last  <class L, id 0x100000103>\n"
    "      {\n"
    "      }\n"
    "      \n";

[[noreturn]] void violated(const char* what, const QByteArray& text, const QString& detail)
{
    std::fprintf(stderr, "property violated: %s\n%s\n--- input ---\n%s\n", what, qPrintable(detail), text.left(4000).constData());
    std::abort();
}

qsizetype treeSteps(const QByteArray& text, qsizetype start, qsizetype length)
{
    qsizetype steps = 0;
    while (2 * steps + 1 < length && text[start + 2 * steps + 1] == ' '
           && (text[start + 2 * steps] == ' ' || text[start + 2 * steps] == '|'))
        ++steps;
    return steps;
}

QByteArray rightTrimmed(QByteArray text)
{
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

// The lines of a printed registry, each with what it is.
std::vector<Line> classify(const QByteArray& text)
{
    std::vector<Line> lines;
    QByteArray blockPrefix;
    bool inBlock = false;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArray line = text.mid(start, end - start);
        Line info{start, end - start, 0, LineKind::Continuation};
        if (inBlock) {
            if (line.startsWith(blockPrefix + "  \"")) {
                info = {start, end - start, blockPrefix.size(), LineKind::Property};
            } else if (line.startsWith(blockPrefix) && rightTrimmed(line.mid(blockPrefix.size())) == "}") {
                info = {start, end - start, blockPrefix.size(), LineKind::BlockClose};
                inBlock = false;
            }
        } else {
            const qsizetype drawing = 2 * treeSteps(text, start, end - start);
            const QByteArray content = rightTrimmed(line.mid(drawing));
            if (content.startsWith("+-o ")) {
                info = {start, end - start, drawing, LineKind::Entry};
            } else if (content == "{") {
                info = {start, end - start, drawing, LineKind::BlockOpen};
                blockPrefix = line.left(drawing);
                inBlock = true;
            } else if (content.isEmpty()) {
                info = {start, end - start, drawing, LineKind::DrawingOnly};
            }
        }
        lines.push_back(info);
        start = end + 1;
    }
    return lines;
}

Base makeBase(const QByteArray& registryText)
{
    Base base;
    base.text = printIoregText(*loadIoregText(registryText, QStringLiteral("seed")), kIOServicePlane).toUtf8();
    base.tree = loadIoregText(base.text, QStringLiteral("base"));
    base.lines = classify(base.text);
    return base;
}

std::vector<Base>& bases()
{
    static std::vector<Base> all{makeBase(kSyntheticRegistry)};
    return all;
}

// Reads the input as a stream of choices; past its end every choice is 0.
class Recipe {
public:
    Recipe(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    uint32_t take(uint32_t bound)
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = (value << 8) | (m_at < m_size ? m_data[m_at++] : 0);
        return bound == 0 ? 0 : value % bound;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};

void checkRawText(const QByteArray& text)
{
    try {
        loadIoregText(text, QStringLiteral("fuzz"));
    } catch (const RegistryFormatError& error) {
        if (error.line() < 1 || error.line() > text.count('\n') + 1)
            violated("the error's line lies outside the text", text, error.description());
    }
}

const Line* pickLine(const Base& base, Recipe& recipe, const std::vector<LineKind>& kinds, bool (*fits)(const Base&, const Line&))
{
    std::vector<const Line*> candidates;
    for (const Line& line : base.lines) {
        for (const LineKind kind : kinds) {
            if (line.kind == kind && (!fits || fits(base, line))) {
                candidates.push_back(&line);
                break;
            }
        }
    }
    return candidates.empty() ? nullptr : candidates[recipe.take(uint32_t(candidates.size()))];
}

char lastChar(const Base& base, const Line& line)
{
    return line.length > 0 ? base.text[line.start + line.length - 1] : '\0';
}

void checkDamagedBase(Recipe& recipe)
{
    const Base& base = bases()[recipe.take(uint32_t(bases().size()))];
    QByteArray text = base.text;
    bool mustLoad = false;
    const Line* line = nullptr;
    const std::vector<LineKind> structure{LineKind::Entry, LineKind::BlockOpen, LineKind::BlockClose, LineKind::DrawingOnly};
    switch (recipe.take(8)) {
    case 0: // cut inside the content of a line
        line = pickLine(base, recipe, {LineKind::Entry, LineKind::BlockOpen, LineKind::Property, LineKind::BlockClose, LineKind::Continuation},
                        [](const Base&, const Line& l) { return l.length - l.drawing >= 2; });
        if (line)
            text.truncate(line->start + line->drawing + 1 + recipe.take(uint32_t(line->length - line->drawing - 1)));
        break;
    case 1: // a string's closing quote dropped (not a quote the string itself ends with)
        line = pickLine(base, recipe, {LineKind::Property, LineKind::Continuation}, [](const Base& b, const Line& l) {
            return lastChar(b, l) == '"' && (l.length == 1 || b.text[l.start + l.length - 2] != '"');
        });
        if (line)
            text.remove(line->start + line->length - 1, 1);
        break;
    case 2: // a value's closing bracket dropped
        line = pickLine(base, recipe, {LineKind::Property, LineKind::Continuation}, [](const Base& b, const Line& l) {
            return QByteArray(")}]>").contains(lastChar(b, l));
        });
        if (line)
            text.remove(line->start + line->length - 1, 1);
        break;
    case 3: { // one step of the tree drawing changed, dropped or added
        line = pickLine(base, recipe, {LineKind::Entry, LineKind::BlockOpen, LineKind::Property, LineKind::BlockClose, LineKind::DrawingOnly},
                        [](const Base&, const Line& l) { return l.drawing >= 2; });
        if (!line)
            break;
        const qsizetype at = line->start + 2 * qsizetype(recipe.take(uint32_t(line->drawing / 2)));
        switch (recipe.take(3)) {
        case 0: text[at] = text[at] == '|' ? ' ' : '|'; break;
        case 1: text.remove(at, 2); break;
        default: text.insert(at, recipe.take(2) ? "| " : "  "); break;
        }
        break;
    }
    case 4: // a line of the structure dropped
        if ((line = pickLine(base, recipe, structure, nullptr)))
            text.remove(line->start, line->length + 1);
        break;
    case 5: // a line doubled
        line = pickLine(base, recipe, {LineKind::Entry, LineKind::BlockOpen, LineKind::Property, LineKind::BlockClose, LineKind::DrawingOnly}, nullptr);
        if (line)
            text.insert(line->start, text.mid(line->start, line->length + 1));
        break;
    case 6: // a line joined to the next
        line = pickLine(base, recipe, {LineKind::Entry, LineKind::BlockOpen, LineKind::BlockClose},
                        [](const Base& b, const Line& l) { return l.start + l.length < b.text.size() - 1; });
        if (line)
            text.remove(line->start + line->length, 1);
        break;
    default: // the same registry with other line ends
        text.replace("\n", "\r\n");
        if (recipe.take(2))
            text.prepend("\xEF\xBB\xBF");
        mustLoad = true;
        break;
    }

    try {
        const auto tree = loadIoregText(text, QStringLiteral("damaged"));
        const QString difference = treeDifference(*base.tree->root(), kIOServicePlane, *tree->root(), kIOServicePlane);
        if (!difference.isEmpty())
            violated("damage gave another tree without an error", text, difference);
    } catch (const RegistryFormatError& error) {
        if (mustLoad)
            violated("an undamaged registry failed", text, error.description());
        if (error.line() < 1 || error.line() > text.count('\n') + 1)
            violated("the error's line lies outside the text", text, error.description());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    checkRawText(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    Recipe recipe(data, size);
    checkDamagedBase(recipe);
    return 0;
}

#ifndef VELKOR_LIBFUZZER
namespace {

// Random damage to the beginning of a real registry, for the raw-text check.
QByteArray mutate(const QByteArray& seed, QRandomGenerator& random)
{
    static const char kInteresting[] = "{}()[]<>\"=,|+-o@\n\r\\\0xYesNo0x";
    QByteArray input = seed;
    const int edits = 1 + int(random.bounded(8));
    for (int edit = 0; edit < edits && !input.isEmpty(); ++edit) {
        const qsizetype at = qsizetype(random.bounded(quint32(input.size())));
        switch (random.bounded(6)) {
        case 0: input.truncate(at); break;
        case 1: input[at] = char(random.bounded(256)); break;
        case 2: input.insert(at, kInteresting[random.bounded(quint32(sizeof kInteresting - 1))]); break;
        case 3: input.remove(at, qsizetype(random.bounded(64))); break;
        case 4: input.insert(at, input.mid(qsizetype(random.bounded(quint32(input.size()))), 200)); break;
        default: input.insert(at, QByteArray(int(random.bounded(300)), '{')); break;
        }
    }
    return input;
}

// The registry up to the first entry that starts after `length` bytes: whole entries only.
QByteArray wholeEntries(const QByteArray& registry, qsizetype length)
{
    for (qsizetype at = registry.indexOf('\n', length); at >= 0; at = registry.indexOf('\n', at + 1)) {
        const qsizetype next = at + 1;
        const qsizetype steps = treeSteps(registry, next, registry.size() - next);
        if (registry.mid(next + 2 * steps, 4) == "+-o ")
            return registry.left(next);
    }
    return registry;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: registry_loader_fuzz ITERATIONS SEED-FILE...\n");
        return 2;
    }
    const int iterations = std::atoi(argv[1]);
    std::vector<QByteArray> seeds;
    for (int index = 2; index < argc; ++index) {
        QFile file(QString::fromLocal8Bit(argv[index]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[index]);
            return 2;
        }
        // Short beginnings of the registries keep each input fast, so many inputs fit the time;
        // the splicing mutation brings in material from further on.
        const QByteArray whole = file.readAll();
        for (const qsizetype length : {4096, 16384, 65536})
            seeds.push_back(whole.left(length));
        bases().push_back(makeBase(wholeEntries(whole, 24576)));
    }
    QRandomGenerator random(20261206);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        QByteArray recipe(16, '\0');
        for (char& byte : recipe)
            byte = char(random.bounded(256));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(recipe.constData()), size_t(recipe.size()));
        checkRawText(mutate(seeds[size_t(random.bounded(quint32(seeds.size())))], random));
    }
    std::printf("%d damaged registries loaded to the same tree or failed with a line number\n", iterations);
    return 0;
}
#endif
