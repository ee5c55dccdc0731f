// Fuzz target for the whole companion: each input is saved as a registry file and run through
// velkor-registry's code (load, scan, kext, reports, listing, ACPI tables, masking and audit).
// Built with -DVELKOR_FUZZ_WITH_LIBFUZZER=ON (clang), libFuzzer drives LLVMFuzzerTestOneInput;
// otherwise the main below feeds it a bounded number of damaged real registries so that CI
// runs it under the sanitizers like any test.
//
// Properties beyond not crashing: the exit status is 0 or 1; a failure is one line
// "velkor-registry: ..." and a success names only files that exist; nothing printed holds a
// control character other than the line feeds that end the lines.
#include "companion/RegistryCompanion.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace velkor;

namespace {

QString s_bundle;

[[noreturn]] void violated(const char* property, const QString& out, const QString& err)
{
    std::fprintf(stderr, "property violated: %s\nout: %s\nerr: %s\n", property, out.toUtf8().constData(), err.toUtf8().constData());
    std::abort();
}

bool holdsControlCharacters(const QString& printed)
{
    for (const QChar c : printed) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\n') || (u >= 0x7F && u <= 0x9F))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QTemporaryDir dir;
    const QString input = dir.filePath("registry.txt");
    QFile file(input);
    if (!file.open(QIODevice::WriteOnly) || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size) || !file.flush())
        std::abort();
    file.close();

    QString out;
    QString err;
    QTextStream outStream(&out);
    QTextStream errStream(&err);
    const AppBundle bundle = AppBundle::atBundlePath(s_bundle, QStringLiteral("/nonexistent"));
    const int status = runRegistryCompanion({input, dir.filePath("out")}, bundle, outStream, errStream);
    outStream.flush();
    errStream.flush();

    if (status != 0 && status != 1)
        violated("the exit status is neither 0 nor 1", out, err);
    if (holdsControlCharacters(out) || holdsControlCharacters(err))
        violated("a control character was printed", out, err);
    if (status == 1 && (!err.startsWith(QStringLiteral("velkor-registry: ")) || !out.isEmpty()))
        violated("a failure is not one velkor-registry line", out, err);
    if (status == 0) {
        for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (line.startsWith(QStringLiteral("wrote ")) && !QFileInfo::exists(line.mid(6)))
                violated("a file named as written does not exist", out, err);
        }
    }
    return 0;
}

#ifdef VELKOR_LIBFUZZER
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_bundle = QStringLiteral(VELKOR_FUZZ_BUNDLE);
    return 0;
}
#else
int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: companion_fuzz ITERATIONS BUNDLE SEED-FILE...\n");
        return 2;
    }
    const int iterations = std::atoi(argv[1]);
    s_bundle = QString::fromLocal8Bit(argv[2]);
    std::vector<QByteArray> seeds;
    for (int index = 3; index < argc; ++index) {
        QFile file(QString::fromLocal8Bit(argv[index]));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", argv[index]);
            return 2;
        }
        seeds.push_back(file.readAll());
    }
    static const char kInteresting[] = "{}()[]<>\"=,|+-o@\n\r\x1b\x07\x9b\\\0xYesNo0x";
    QRandomGenerator random(20261206);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        QByteArray input = seeds[size_t(random.bounded(quint32(seeds.size())))];
        const int edits = int(random.bounded(6));
        for (int edit = 0; edit < edits && !input.isEmpty(); ++edit) {
            const qsizetype at = qsizetype(random.bounded(quint32(input.size())));
            switch (random.bounded(4)) {
            case 0: input[at] = char(random.bounded(256)); break;
            case 1: input.insert(at, kInteresting[random.bounded(quint32(sizeof kInteresting - 1))]); break;
            case 2: input.remove(at, qsizetype(random.bounded(64))); break;
            default: input.truncate(at); break;
            }
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
    }
    std::printf("%d damaged registries ran through the companion with every property kept\n", iterations);
    return 0;
}
#endif
