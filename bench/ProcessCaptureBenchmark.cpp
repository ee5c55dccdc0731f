// Measures how fast the process runner captures a large output, beside the time `cat` needs to
// move the same bytes through a pipe.
#include "process/ProcessRunner.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>

using namespace velkor;

int main()
{
    constexpr qint64 kBytes = 200LL * 1024 * 1024;
    QTemporaryDir dir;
    const QString source = dir.filePath("source.bin");
    runProcess("/bin/sh", {"-c", QStringLiteral("head -c %1 /dev/zero | tr '\\0' 'a' > '%2'").arg(kBytes).arg(source)}, std::nullopt, 300);

    auto seconds = [](auto&& work) {
        QElapsedTimer timer;
        timer.start();
        work();
        return double(timer.nsecsElapsed()) / 1e9;
    };

    double best = 1e9;
    double bestCat = 1e9;
    double bestTouch = 1e9;
    for (int round = 0; round < 3; ++round) {
        best = std::min(best, seconds([&] {
            const ProcessOutcome outcome = runProcessRaw("/bin/cat", {source}, std::nullopt, 300);
            if (outcome.output.size() != kBytes)
                std::fprintf(stderr, "short capture: %lld bytes\n", static_cast<long long>(outcome.output.size()));
        }));
        // What holding the output costs by itself: a fresh buffer of that size, written once.
        bestTouch = std::min(bestTouch, seconds([&] {
            QByteArray fresh(kBytes, 'a');
            if (fresh.at(kBytes / 2) != 'a')
                std::fprintf(stderr, "unexpected\n");
        }));
        bestCat = std::min(bestCat, seconds([&] {
            runProcess("/bin/sh", {"-c", QStringLiteral("cat '%1' | cat > /dev/null").arg(source)}, std::nullopt, 300);
        }));
    }
    const double megabytes = double(kBytes) / (1024.0 * 1024.0);
    std::printf("process runner capture: %.0f MB in %.3f s = %.0f MB/s\n", megabytes, best, megabytes / best);
    std::printf("cat through a pipe:     %.0f MB in %.3f s = %.0f MB/s\n", megabytes, bestCat, megabytes / bestCat);
    std::printf("fresh 200 MB buffer:    %.0f MB in %.3f s = %.0f MB/s (the memory cost of holding the output)\n", megabytes, bestTouch, megabytes / bestTouch);
    std::printf("ratio runner/cat: %.2f (target: at least 0.50)\n", (megabytes / best) / (megabytes / bestCat));
    std::printf("ratio runner/(cat + holding the output): %.2f\n", (bestCat + bestTouch) / best);
    return 0;
}
