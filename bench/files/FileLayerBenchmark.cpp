// What checked writes cost: a package's worth of files written with writeFileAtomically (every
// byte checked, fsync before the rename) against the same files through QSaveFile (buffered, no
// fsync), the former way; then the folder walk against QDirIterator on a large tree. Runs in a
// folder under the home folder, on the disk the Desktop is on (fsync on a tmpfs costs nothing).

#include "files/Files.h"
#include "files/FolderWalk.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QSaveFile>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

using namespace velkor;

namespace {

double milliseconds(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return double(timer.nsecsElapsed()) / 1e6;
}

void saveFile(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
    file.commit();
}

void writes(const QString& folder, int count, qsizetype size)
{
    const QByteArray bytes(size, 'x');
    const double checked = milliseconds([&] {
        for (int i = 0; i < count; ++i)
            writeFileAtomically(folder + QStringLiteral("/checked-%1.txt").arg(i), bytes);
    });
    const double rewritten = milliseconds([&] {
        for (int i = 0; i < count; ++i)
            writeFileAtomically(folder + QStringLiteral("/checked-%1.txt").arg(i), bytes);
    });
    const double buffered = milliseconds([&] {
        for (int i = 0; i < count; ++i)
            saveFile(folder + QStringLiteral("/saved-%1.txt").arg(i), bytes);
    });
    std::printf("%4d files of %8lld bytes: checked+fsync %8.1f ms (rewrite %8.1f ms), QSaveFile %8.1f ms\n", count,
                static_cast<long long>(size), checked, rewritten, buffered);
}

void walks(const QString& folder)
{
    const QString tree = folder + QStringLiteral("/tree");
    for (int a = 0; a < 40; ++a) {
        for (int b = 0; b < 25; ++b) {
            const QString sub = tree + QStringLiteral("/a%1/b%2").arg(a).arg(b);
            QDir().mkpath(sub);
            for (int c = 0; c < 20; ++c)
                writeFileAtomically(sub + QStringLiteral("/f%1.txt").arg(c), QByteArray());
        }
    }
    qsizetype walked = 0;
    const double walk = milliseconds([&] {
        walkFolder(tree, WalkOptions(), [&walked](const FolderEntry&) { ++walked; });
    });
    qsizetype iterated = 0;
    const double iterator = milliseconds([&] {
        QDirIterator it(tree, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++iterated;
        }
    });
    std::printf("walk of %lld entries: walkFolder %.1f ms, QDirIterator %.1f ms (%lld entries)\n", static_cast<long long>(walked),
                walk, iterator, static_cast<long long>(iterated));
}

} // namespace

int main()
{
    QTemporaryDir folder(QDir::homePath() + QStringLiteral("/velkor-file-bench-XXXXXX"));
    if (!folder.isValid()) {
        std::fprintf(stderr, "cannot create a folder under the home folder\n");
        return 1;
    }
    std::printf("in %s\n", qPrintable(folder.path()));
    writes(folder.path(), 100, 50 * 1000);      // about what a run writes and masks
    writes(folder.path(), 2, 20 * 1000 * 1000); // the largest listings
    walks(folder.path());
    return 0;
}
