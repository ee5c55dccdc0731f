// ioreg: lists one plane of this machine's registry (built from sysfs) in the text form of
// `ioreg -l -w0`, so that the collection can list a plane on Linux the way it does on a Mac.
//
//   ioreg [-l] [-w width] [-p plane] [--root folder] [-h|--help]
//
// -l adds every entry's properties; -w is accepted for compatibility (lines are never cut);
// -p picks the plane, IOService (the default) or IODeviceTree; --root reads "<folder>/sys"
// instead of "/sys" (for tests); --help describes this.

#include "registry/IoregTextPrinter.h"
#include "platform/linux/SysfsRegistry.h"

#include <QString>
#include <cstdio>
#include <exception>

namespace {

const char kUsage[] = "usage: ioreg [-l] [-w width] [-p IOService|IODeviceTree] [--root folder]\n";

int usage(const char* problem)
{
    std::fprintf(stderr, "ioreg: %s\n%s", problem, kUsage);
    return 2;
}

int help()
{
    std::printf("%s\n"
                "Lists one plane of this machine's registry, built from /sys, in the text form of `ioreg`.\n"
                "  -l               print every entry's properties\n"
                "  -w width         accepted for compatibility; lines are never cut\n"
                "  -p plane         IOService (the default) or IODeviceTree\n"
                "  --root folder    read folder/sys instead of /sys\n"
                "  -h, --help       print this help\n"
                "Exits 0 on success, 1 when the registry cannot be read or the listing written, 2 for a wrong command line.\n",
                kUsage);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    bool properties = false;
    QString plane = velkor::kIOServicePlane;
    QString root = QStringLiteral("/");

    for (int i = 1; i < argc; ++i) {
        const QString argument = QString::fromLocal8Bit(argv[i]);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return help();
        if (argument == QLatin1String("--root")) {
            if (++i >= argc)
                return usage("--root needs a folder");
            root = QString::fromLocal8Bit(argv[i]);
            continue;
        }
        if (!argument.startsWith(QLatin1Char('-')) || argument.size() < 2)
            return usage("unexpected argument");
        // Single-letter options, combinable as getopt allows: -l, -lw0, -p IODeviceTree.
        for (qsizetype at = 1; at < argument.size(); ++at) {
            const QChar option = argument.at(at);
            if (option == QLatin1Char('l')) {
                properties = true;
                continue;
            }
            if (option != QLatin1Char('w') && option != QLatin1Char('p'))
                return usage("unknown option");
            QString value = argument.mid(at + 1);
            if (value.isEmpty()) {
                if (++i >= argc)
                    return usage("option needs a value");
                value = QString::fromLocal8Bit(argv[i]);
            }
            if (option == QLatin1Char('p')) {
                if (value != velkor::kIOServicePlane && value != velkor::kIODeviceTreePlane)
                    return usage("unknown plane");
                plane = value;
            } else {
                bool ok = false;
                value.toInt(&ok);
                if (!ok)
                    return usage("-w needs a number");
            }
            break;
        }
    }

    try {
        const velkor::SysfsRegistry registry(root);
        bool truncated = false;
        const QByteArray text = velkor::printIoregText(registry, plane, properties, &truncated).toUtf8();
        if (std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout) != static_cast<size_t>(text.size())
            || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "ioreg: could not write the listing\n");
            return 1;
        }
        if (truncated)
            std::fprintf(stderr, "ioreg: the registry is larger than a listing holds; the rest is left out\n");
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ioreg: %s\n", error.what());
        return 1;
    }
}
