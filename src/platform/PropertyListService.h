#pragma once

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace velkor {

// Property lists (the Apple plist format) read and written in process.
class PropertyListService {
public:
    virtual ~PropertyListService() = default;
    // Rewrites a binary or XML property list as an XML property list. False, with the file
    // untouched, when the file is not a property list; throws when the rewrite fails.
    virtual bool convertToXmlInPlace(const QString& path) = 0;
    // Parses the file; nothing when it is a valid property list, else the reason it is not.
    virtual std::optional<QString> validationError(const QString& path) = 0;
    // The dictionary as an XML property list in the standard Apple form.
    virtual QByteArray serializeXml(const QVariantMap& dictionary) = 0;
};

} // namespace velkor
