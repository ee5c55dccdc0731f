#pragma once

#include "platform/PropertyListService.h"

namespace velkor {

// Property lists through libplist, in process.
class LibplistPropertyListService : public PropertyListService {
public:
    bool convertToXmlInPlace(const QString& path) override;
    std::optional<QString> validationError(const QString& path) override;
    QByteArray serializeXml(const QVariantMap& dictionary) override;
};

} // namespace velkor
