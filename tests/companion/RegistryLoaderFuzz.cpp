// Fuzz target for the registry text loader. Built with clang and -fsanitize=fuzzer, libFuzzer
// drives LLVMFuzzerTestOneInput; otherwise the main below feeds it a bounded number of random
// mutations of the seed registries (cut, spliced, bytes flipped, brackets and quotes dropped
// in) so that CI runs it under the sanitizers like any test.
#include "base/CollectorError.h"
#include "registry/IoregTextLoader.h"

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <cstdint>
#include <cstdio>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    try {
        velkor::loadIoregText(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), QStringLiteral("fuzz"));
    } catch (const velkor::VelkorError&) {
        // A clear error is the expected outcome of malformed input.
    }
    return 0;
}

#ifndef VELKOR_LIBFUZZER
namespace {

QByteArray mutate(const QByteArray& seed, QRandomGenerator& random)
{
    static const char kInteresting[] = "{}()<>\"=,|+-o@\n\\\0xYesNo0x";
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
    }
    QRandomGenerator random(20261206);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        const QByteArray input = mutate(seeds[size_t(random.bounded(quint32(seeds.size())))], random);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
    }
    std::printf("%d mutated registries loaded without a crash\n", iterations);
    return 0;
}
#endif
