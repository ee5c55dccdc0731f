#pragma once

#include "base/CollectorError.h"
#include "registry/TreeRegistry.h"

#include <QByteArray>
#include <QString>
#include <memory>

namespace velkor {

// A saved registry text that cannot be read as a registry. The description names the source
// and the line: "<source>:<line>: <reason>".
class RegistryFormatError : public VelkorError {
public:
    RegistryFormatError(const QString& sourceName, qsizetype line, const QString& reason);
    qsizetype line() const noexcept { return m_line; }

private:
    qsizetype m_line;
};

// Loads the registry that `ioreg -l -w0` printed: the "+-o Name@location  <class X, ...>" tree
// lines, each with its property block ("{", one "key" = value line per property, "}"). The
// first entry becomes the root. Entry name and location (after the last "@") go to
// TreeRegistryNode::name/location, the class to className, and every child sits in the given
// plane (`ioreg -l` lists the IOService plane, `ioreg -p IODeviceTree -l` the device tree).
//
// Values: "text" as QString (never escaped, so a quote ends a text only where what follows can
// follow a value there: the end of the line at the top level, "," or the closing bracket inside
// a container; a text may run over several lines); numbers as qint64 (quint64 above INT64_MAX);
// Yes/No as bool; <hex> and <"text","text"> data as QByteArray (the texts joined by one zero
// byte each, with no zero byte added after the last); (...) and [...] as QVariantList; {...} as
// QVariantMap. Texts that are not UTF-8 are read as Mac OS Roman. Hand-masked data such as
// <a****c> keeps its characters as bytes. A byte-order mark and CRLF line ends are accepted.
//
// Damage fails loudly rather than giving another tree: a text whose closing quote is missing
// fails at the line it starts on instead of taking in the next entry or property, every entry
// needs its property block, and a last line cut short fails. Listings saved the wrong way (no
// property blocks, lines cut at a width, the XML of `ioreg -a`, UTF-16, CR-only line ends) fail
// with advice. The text is read line by line with explicit stacks, so any depth of entries is
// handled without recursion; values nest at most 256 levels. Errors are RegistryFormatError.
std::shared_ptr<TreeRegistry> loadIoregText(const QByteArray& text, const QString& sourceName,
                                            const QString& plane = kIOServicePlane);

// Reads the file and loads it as above. A file that cannot be read, that is not a regular file
// (a pipe, a device, a folder, a link) or that is larger than 64 MiB throws PlatformError with
// the reason; malformed text throws RegistryFormatError.
std::shared_ptr<TreeRegistry> loadIoregTextFile(const QString& path, const QString& plane = kIOServicePlane);

} // namespace velkor
