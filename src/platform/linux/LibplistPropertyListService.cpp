#include "platform/linux/LibplistPropertyListService.h"

#include "files/Files.h"

#include <QFile>
#include <plist/plist.h>

#include <limits>
#include <memory>

namespace velkor {
namespace {

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

PlistPtr parse(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    plist_t root = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &root);
    return PlistPtr(root);
}

QByteArray toXml(plist_t root)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    QByteArray result(xml, xml ? int(length) : 0);
    plist_to_xml_free(xml);
    return result;
}

plist_t toPlist(const QVariant& value);

plist_t dictionaryToPlist(const QVariantMap& map)
{
    plist_t dict = plist_new_dict();
    // QVariantMap iterates in key order, which is the order macOS writes dictionary keys in.
    for (auto it = map.constBegin(); it != map.constEnd(); ++it)
        plist_dict_set_item(dict, it.key().toUtf8().constData(), toPlist(it.value()));
    return dict;
}

plist_t toPlist(const QVariant& value)
{
    switch (value.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return plist_new_uint(value.toULongLong());
    case QMetaType::Double:
        return plist_new_real(value.toDouble());
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    case QMetaType::QVariantList: {
        plist_t array = plist_new_array();
        for (const QVariant& element : value.toList())
            plist_array_append_item(array, toPlist(element));
        return array;
    }
    case QMetaType::QVariantMap:
        return dictionaryToPlist(value.toMap());
    default:
        return plist_new_string(value.toString().toUtf8().constData());
    }
}

} // namespace

bool LibplistPropertyListService::convertToXmlInPlace(const QString& path)
{
    const std::optional<QByteArray> bytes = readRegularFile(path);
    if (!bytes)
        return false;
    PlistPtr root = parse(*bytes);
    if (!root)
        return false;
    const QByteArray xml = toXml(root.get());
    if (xml.isEmpty())
        return false;
    writeFileAtomically(path, xml);
    return true;
}

std::optional<QString> LibplistPropertyListService::validationError(const QString& path)
{
    const std::optional<QByteArray> bytes = readRegularFile(path);
    if (!bytes)
        return QStringLiteral("the file cannot be read");
    if (bytes->isEmpty())
        return QStringLiteral("the file is empty");
    if (!parse(*bytes))
        return QStringLiteral("the file is not a valid property list");
    return std::nullopt;
}

QByteArray LibplistPropertyListService::serializeXml(const QVariantMap& dictionary)
{
    PlistPtr root(dictionaryToPlist(dictionary));
    return toXml(root.get());
}

} // namespace velkor
