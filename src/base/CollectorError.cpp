#include "base/CollectorError.h"

#include <cstring>

namespace velkor {

VelkorError::VelkorError(QString description)
    : m_description(std::move(description)), m_utf8(m_description.toUtf8())
{
}

QString describeError(const std::exception& error)
{
    if (const auto* own = dynamic_cast<const VelkorError*>(&error))
        return own->description();
    return QString::fromUtf8(error.what());
}

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace velkor
