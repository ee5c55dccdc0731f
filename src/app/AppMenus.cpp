#include "app/AppMenus.h"

#include <QFile>
#include <QMetaObject>

#include <plist/plist.h>

#include <limits>
#include <memory>

namespace velkor {
namespace {

// An Info.plist is a few hundred bytes; anything far larger is not one of ours.
constexpr qint64 maximumInfoPlistSize = 1 << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

QString stringValue(plist_t dictionary, const char* key, const QString& fallback)
{
    plist_t item = plist_dict_get_item(dictionary, key);
    if (!item || plist_get_node_type(item) != PLIST_STRING)
        return fallback;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(item, &length);
    if (!text || length > uint64_t(std::numeric_limits<int>::max()))
        return fallback;
    return QString::fromUtf8(text, qsizetype(length));
}

} // namespace

BundleVersions readBundleVersions(const QString& infoPlistPath)
{
    BundleVersions versions{QStringLiteral("1.0"), QStringLiteral("1")};
    QFile file(infoPlistPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maximumInfoPlistSize)
        return versions;
    const QByteArray bytes = file.read(maximumInfoPlistSize);
    if (bytes.isEmpty())
        return versions;

    plist_t parsed = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &parsed);
    const PlistHandle root(parsed);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT)
        return versions;
    versions.shortVersion = stringValue(root.get(), "CFBundleShortVersionString", versions.shortVersion);
    versions.buildVersion = stringValue(root.get(), "CFBundleVersion", versions.buildVersion);
    return versions;
}

AppMenus::AppMenus(const QString& infoPlistPath, QObject* parent)
    : QObject(parent), m_versions(readBundleVersions(infoPlistPath))
{
}

QString AppMenus::applicationName() const
{
    return QStringLiteral("Velkor");
}

QString AppMenus::authorLine() const
{
    return QStringLiteral("Created by Zantro");
}

QString AppMenus::credits() const
{
    return authorLine() + QStringLiteral("\n\nVelkor creates a sanitized diagnostic package for macOS hardware analysis.");
}

QString AppMenus::helpTitle() const
{
    return QStringLiteral("Velkor Help");
}

QString AppMenus::helpText() const
{
    return QStringLiteral(
        "Velkor collects ACPI tables, native IORegistry text, CPUFriend/XCPM/FrequencyVectors diagnostics, "
        "audio/video/system diagnostics, USB controller details, power information, loaded kext information "
        "and generates a sanitized SendToZantro.zip on the Desktop. Sensitive values such as serial numbers, "
        "UUIDs, MLB, ROM and MAC addresses are masked before packaging. The generated Portwright.kext is built "
        "from live IOKit data and does not require a saved .ioreg file.");
}

void AppMenus::showAbout()
{
    QMetaObject::invokeMethod(this, &AppMenus::aboutRequested, Qt::QueuedConnection);
}

void AppMenus::showHelp()
{
    QMetaObject::invokeMethod(this, &AppMenus::helpRequested, Qt::QueuedConnection);
}

} // namespace velkor
