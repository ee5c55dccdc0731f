#pragma once

#include <QString>
#include <QByteArray>
#include <exception>

namespace velkor {

// Base of every error the program throws; description() is what the run log shows after "ERROR: ".
class VelkorError : public std::exception {
public:
    explicit VelkorError(QString description);
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// The program's own failures. The description is the message, unchanged.
class CollectorError : public VelkorError {
public:
    static CollectorError missingTool(const QString& message) { return CollectorError(message); }
    static CollectorError operationFailed(const QString& message) { return CollectorError(message); }

private:
    explicit CollectorError(const QString& message) : VelkorError(message) {}
};

// Failures reported by the operating system: a file that cannot be written, a program that
// cannot be started. They pass through the steps unchanged.
class PlatformError : public VelkorError {
public:
    using VelkorError::VelkorError;
};

// The text the log shows for any exception.
// The error's message, its control characters escaped (see below).
QString describeError(const std::exception& error);

// The text with every control character but line feed and tab written as \xHH: messages
// quote names and text from their inputs, which must not reach a terminal as escape sequences.
QString escapeControlCharacters(const QString& text);

// The system's own words for an errno value ("No space left on device").
QString systemReason(int error);

} // namespace velkor
