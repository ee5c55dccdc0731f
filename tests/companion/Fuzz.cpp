// The companion's fuzz targets, one per program; libFuzzer drives them when built with
// VELKOR_FUZZ_WITH_LIBFUZZER (clang), else main runs ITERATIONS damaged SEED registries as a test.
// registry_loader_fuzz: an input loads as registry text or fails with a line number inside it;
// its hash picks one piece of damage outside string contents to a printed registry, which then
// loads to the same tree or fails with a line number (CRLF ends and a byte-order mark: same tree).
// companion_fuzz: an input saved as a registry file goes through velkor-registry: the status is
// 0 or 1, a failure is one "velkor-registry: " text and no output, "wrote" names files that exist,
// and nothing printed holds a control character but line feeds.
#include "companion/RegistryCompanion.h"
#include "registry/IoregTextLoader.h"
#include "registry/IoregTextPrinter.h"
#include "registry/RegistryTestSupport.h"
#include "support/TestFiles.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <cstdio>
#include <array>
#include <vector>

using namespace velkor;

namespace {

[[noreturn]] void violated(const char* property, const QByteArray& input, const QString& detail)
{
    std::fprintf(stderr, "property violated: %s\n%s\n--- input ---\n%s\n", property, qPrintable(detail), input.left(4000).constData());
    std::abort();
}

#ifdef VELKOR_FUZZ_COMPANION
void fuzzOne(const QByteArray& input)
{
    QTemporaryDir dir;
    QFile file(dir.filePath("registry.txt"));
    if (!file.open(QIODevice::WriteOnly) || file.write(input) != input.size() || !file.flush())
        std::abort();
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    const int status = runRegistryCompanion(
        {file.fileName(), dir.filePath("out")},
        AppBundle::atBundlePath(QStringLiteral(VELKOR_FUZZ_BUNDLE), QStringLiteral("/nonexistent")), outStream, errStream);
    outStream.flush();
    errStream.flush();
    const auto require = [&](bool holds, const char* property) {
        if (!holds)
            violated(property, input, out + "\n--- err ---\n" + err);
    };
    require(status == 0 || status == 1, "the exit status is 0 or 1");
    require(status == 0 || (err.startsWith(QStringLiteral("velkor-registry: ")) && out.isEmpty()), "a failure is one velkor-registry text");
    for (const QChar c : out + err)
        require(c == u'\n' || (c.unicode() >= 0x20 && (c.unicode() < 0x7F || c.unicode() > 0x9F)), "no control character is printed");
    for (const QString& line : out.split(u'\n', Qt::SkipEmptyParts))
        require(!line.startsWith(QStringLiteral("wrote ")) || QFileInfo::exists(line.mid(6)), "a file named as written exists");
}
#else
using Base = std::pair<QByteArray, std::shared_ptr<TreeRegistry>>; // a printed registry and its tree
Base makeBase(const QByteArray& registryText)
{
    const QByteArray text = printIoregText(*loadIoregText(registryText, QStringLiteral("seed")), kIOServicePlane).toUtf8();
    return {text, loadIoregText(text, QStringLiteral("base"))};
}
const std::vector<Base> s_bases = [] {
    std::vector<Base> bases;
    for (const QString& path : QStringLiteral(VELKOR_FUZZ_BASES).split(u'|'))
        bases.push_back(makeBase(testing::readFile(path)));
    return bases;
}();

// The bytes of tree drawing ("| " and "  " steps) in front of a line's content.
qsizetype drawingOf(const QByteArray& line)
{
    qsizetype at = 0;
    for (; at + 1 < line.size() && line[at + 1] == ' ' && (line[at] == ' ' || line[at] == '|'); at += 2) {}
    return at;
}

// The text loads to `same` (when given) or fails with a line number inside the text.
void check(const QByteArray& text, const TreeRegistry* same, bool mustLoad)
{
    try {
        const auto tree = loadIoregText(text, QStringLiteral("fuzz"));
        const QString difference = same ? testing::treeDifference(*same->root(), kIOServicePlane, *tree->root(), kIOServicePlane) : QString();
        if (!difference.isEmpty())
            violated("damage gave another tree without an error", text, difference);
    } catch (const RegistryFormatError& error) {
        if (mustLoad)
            violated("an undamaged registry failed", text, error.description());
        if (error.line() < 1 || error.line() > text.count('\n') + 1)
            violated("the error's line lies outside the text", text, error.description());
    }
}

void fuzzOne(const QByteArray& input)
{
    check(input, nullptr, false);
    QRandomGenerator recipe(quint32(qHash(input)));
    const Base& base = s_bases[recipe.bounded(quint32(s_bases.size()))];
    const quint32 damage = recipe.bounded(7);
    if (damage == 6) // the same registry with other line ends, maybe after a byte-order mark
        return check(QByteArray(recipe.bounded(2) ? "\xEF\xBB\xBF" : "") + QByteArray(base.first).replace("\n", "\r\n"), base.second.get(), true);
    QList<QByteArray> lines = base.first.split('\n'); // the last one is empty
    for (int tries = 0; tries < 100; ++tries) {
        const qsizetype at = recipe.bounded(qint64(lines.size() - 1));
        QByteArray& line = lines[at];
        qsizetype drawing = drawingOf(line);
        const QByteArray content = line.mid(drawing).trimmed();
        const bool structure = content.startsWith("+-o ") || content == "{" || content == "}" || content.isEmpty();
        const bool property = !structure && content.startsWith('"') && content.contains("\" = ") && drawing >= 2;
        drawing -= property ? 2 : 0; // a block's own indentation is not tree drawing
        if (damage == 0 && !content.isEmpty() && line.size() - drawing >= 2) { // a cut inside a line
            line.truncate(drawing + 1 + recipe.bounded(qint64(line.size() - drawing - 1)));
            lines.resize(at + 1);
        } else if (damage == 1 && !structure && (QByteArray(")}]>").contains(line.back()) || (line.endsWith('"') && !line.endsWith("\"\"")))) {
            line.chop(1); // a closing bracket or quote dropped (not a quote that ends the string's own text)
        } else if (damage == 2 && (structure || property) && drawing >= 2) { // a drawing step changed, dropped or added
            line.replace(2 * recipe.bounded(qint64(drawing / 2)), 2 * recipe.bounded(2), std::array{"| ", "  ", ""}[recipe.bounded(3)]);
        } else if (damage == 3 && structure) { // a line of the structure dropped
            lines.removeAt(at);
        } else if (damage == 4 && (structure || property)) { // a line doubled
            lines.insert(at, QByteArray(line));
        } else if (damage == 5 && structure && !content.isEmpty() && at + 2 < lines.size()) { // a line joined to the next
            line += lines[at + 1];
            lines.removeAt(at + 1);
        } else {
            continue;
        }
        break;
    }
    check(lines.join('\n'), base.second.get(), false);
}
#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzzOne(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    return 0;
}

#ifndef VELKOR_LIBFUZZER
int main(int argc, char** argv)
{
    std::vector<QByteArray> seeds;
    for (int index = 2; index < argc; ++index) {
        QFile file(QString::fromLocal8Bit(argv[index]));
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        seeds.push_back(file.readAll());
    }
    static const char kInteresting[] = "{}()[]<>\"=,|+-o@\n\r\x1b\x07\x9b\\\0xYesNo0x";
    QRandomGenerator random(20261206);
    for (int iteration = seeds.empty() ? 0 : std::atoi(argv[1]); iteration > 0; --iteration) {
        QByteArray input = seeds[random.bounded(quint32(seeds.size()))];
        for (int edits = 1 + int(random.bounded(8)); edits > 0 && !input.isEmpty(); --edits) {
            const qsizetype at = random.bounded(qint64(input.size()));
            switch (random.bounded(6)) {
            case 0: input.truncate(at); break;
            case 1: input[at] = char(random.bounded(256)); break;
            case 2: input.insert(at, kInteresting[random.bounded(quint32(sizeof kInteresting - 1))]); break;
            case 3: input.remove(at, random.bounded(64)); break;
            case 4: input.insert(at, input.mid(random.bounded(qint64(input.size())), 200)); break;
            default: input.insert(at, QByteArray(random.bounded(300), '{')); break;
            }
        }
        fuzzOne(input);
    }
    std::printf("%s damaged registries kept every property\n", seeds.empty() ? "No" : argv[1]);
    return seeds.empty() ? 2 : 0;
}
#endif
