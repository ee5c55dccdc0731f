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
// lines with their property blocks. The first entry becomes the root. Entry name and location go
// to TreeRegistryNode::name/location, the class to className, and every child sits in the given
// plane (a listing shows one plane: `ioreg -l` the IOService plane, `ioreg -p IODeviceTree -l`
// the device tree). Values: strings as QString, numbers as qint64
// (quint64 above INT64_MAX), Yes/No as bool, <hex> and <"text"> data as QByteArray (each quoted
// text followed by its NUL), (...) as QVariantList, {...} as QVariantMap.
//
// The text is read line by line with explicit stacks, so any depth of entries or values is
// handled without recursion; values nest at most 256 levels. Malformed text throws
// RegistryFormatError.
std::shared_ptr<TreeRegistry> loadIoregText(const QByteArray& text, const QString& sourceName,
                                            const QString& plane = kIOServicePlane);

// Reads the file and loads it as above. A file that cannot be read, or that is larger than
// 512 MiB, throws PlatformError; malformed text throws RegistryFormatError.
std::shared_ptr<TreeRegistry> loadIoregTextFile(const QString& path, const QString& plane = kIOServicePlane);

} // namespace velkor
