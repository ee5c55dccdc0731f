#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <ostream>

// Lets GoogleTest print Qt values readably in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    *out << "bytes(" << bytes.size() << ") \"" << bytes.left(200).toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '[';
    for (const QString& item : list)
        *out << '"' << item.toStdString() << "\", ";
    *out << ']';
}
QT_END_NAMESPACE
