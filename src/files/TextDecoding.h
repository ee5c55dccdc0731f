#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace velkor {

// Decodes UTF-8 strictly: nothing when the bytes are not valid UTF-8 (no lossy replacement).
// A leading byte-order mark is kept as part of the text when asked, so a file rewritten from
// the text keeps it.
std::optional<QString> decodeUtf8Strictly(const QByteArray& bytes, bool keepByteOrderMark = false);

// The line that marks a text in which invalid UTF-8 was replaced.
inline const QString kNotUtf8Note = QStringLiteral("[Velkor] This output held bytes that are not UTF-8; each such sequence is shown as U+FFFD.");

// Decodes UTF-8, each invalid sequence replaced by U+FFFD, and sets `replaced` when one was.
// For output that is kept even where a byte is wrong (a Latin-1 string in a firmware table).
QString decodeUtf8Lossily(const QByteArray& bytes, bool& replaced, bool keepByteOrderMark = false);

// The same for a large output that is no longer wanted as bytes: decoded slice by slice, the
// memory of each decoded slice given back at once, so that the bytes and the whole text are not
// held together.
QString decodeUtf8LossilyReleasing(QByteArray bytes, bool& replaced);

// UTF-8 of a large text that is no longer wanted, the text's memory given back slice by slice.
QByteArray encodeUtf8Releasing(QString text);

// The text's UTF-16 code units as bytes, in the byte order asked for, with no byte-order mark.
QByteArray encodeUtf16(const QString& text, bool bigEndian);

} // namespace velkor
