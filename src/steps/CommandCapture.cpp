#include "steps/CommandCapture.h"

#include "base/CollectorError.h"
#include "privacy/TextMasking.h"
#include "files/Files.h"
#include "process/ProcessRunner.h"
#include "files/TextDecoding.h"

#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace velkor {
namespace {

// How far back a piece's end looks for the colon of a "Hardware UUID:"-style line.
constexpr qsizetype kLookBack = 4096;

// Whether the bytes hold "<key>" in any case (the Kelvin sign folds to "k"). Only the two
// property-list rules start there, and only they can match across any number of lines.
bool mentionsPropertyListKey(const QByteArray& bytes)
{
    const char* data = bytes.constData();
    const qsizetype n = bytes.size();
    const auto lower = [](char c) { return char(c | 0x20); };
    for (qsizetype at = bytes.indexOf('<'); at >= 0; at = bytes.indexOf('<', at + 1)) {
        qsizetype i = at + 1;
        if (i < n && lower(data[i]) == 'k')
            i += 1;
        else if (i + 2 < n && uchar(data[i]) == 0xE2 && uchar(data[i + 1]) == 0x84 && uchar(data[i + 2]) == 0xAA)
            i += 3;
        else
            continue;
        if (i + 2 < n && lower(data[i]) == 'e' && lower(data[i + 1]) == 'y' && data[i + 2] == '>')
            return true;
    }
    return false;
}

// A piece may end after a line feed unless a rule can match across it. Besides the property-list
// rules, only the "Serial Number (system):", "Hardware UUID:" and "Provisioning UDID:" rules
// cross a line end: from their colon over blank space to the value. So the last character
// before the blank space at the end must be known and not a colon; a non-ASCII byte might be
// blank space of another kind, so it does not count as known.
bool safePieceEnd(const QByteArray& bytes, qsizetype end)
{
    const char* data = bytes.constData();
    for (qsizetype i = end - 1; i >= 0 && end - i <= kLookBack; --i) {
        const uchar c = uchar(data[i]);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            continue;
        return c != ':' && c < 0x80;
    }
    return false;
}

qsizetype pieceEnd(const QByteArray& bytes, qsizetype from, qsizetype pieceBytes)
{
    for (qsizetype at = from + std::max<qsizetype>(pieceBytes, 1) - 1; at < bytes.size();) {
        const qsizetype lineFeed = bytes.indexOf('\n', at);
        if (lineFeed < 0)
            break;
        if (safePieceEnd(bytes, lineFeed + 1))
            return lineFeed + 1;
        at = lineFeed + 1;
    }
    return bytes.size();
}

// Writes the masked text of the output piece by piece; false when a piece could not be masked.
// Each rule finds in a piece exactly what it finds there in the whole text: pieces end after a
// line feed, where the line-anchored rules start afresh, and where no match crosses. A piece
// ends after a line feed, so no UTF-8 sequence is split between pieces.
// After the property-list rules have run over the whole text, the pieces get the other rules,
// and the text's first byte-order mark is already gone.
bool writeMaskedPieces(AtomicFileWriter& file, const QByteArray& bytes, qsizetype pieceBytes, bool& replaced,
                       bool afterPropertyListRules)
{
    const std::vector<RedactionRule>& rules = afterPropertyListRules ? rulesAfterPropertyLists() : redactionRules();
    for (qsizetype from = 0; from < bytes.size();) {
        const qsizetype end = pieceEnd(bytes, from, pieceBytes);
        // Only the text's first byte-order mark is dropped, as when the text is decoded whole.
        QString text = decodeUtf8Lossily(QByteArray::fromRawData(bytes.constData() + from, end - from), replaced,
                                         afterPropertyListRules || from > 0);
        const std::optional<QString> masked = tryMaskText(std::move(text), rules);
        if (!masked)
            return false;
        file.writeText(*masked);
        from = end;
    }
    return true;
}

// The note lines that end an output which was cut or held invalid UTF-8.
QString closingNotes(bool endsInLineFeed, qsizetype cutAt, bool replaced)
{
    QString notes;
    if (cutAt >= 0)
        notes += outputCutNote(cutAt) + QLatin1Char('\n');
    if (replaced)
        notes += kNotUtf8Note + QLatin1Char('\n');
    if (!notes.isEmpty() && !endsInLineFeed)
        notes.prepend(QLatin1Char('\n'));
    return notes;
}

} // namespace

QString commandFailureText(const StockCommand& command, const std::exception& reason)
{
    return failureText(command.program, command.arguments) + QLatin1Char('\n') + describeError(reason) + QLatin1Char('\n');
}

OutputNotes writeMaskedOutput(const QString& target, QByteArray output, qsizetype pieceBytes, qsizetype cutAt)
{
    OutputNotes notes;
    notes.cut = cutAt >= 0;
    const bool endsInLineFeed = output.isEmpty() || output.endsWith('\n');
    const bool propertyList = mentionsPropertyListKey(output);
    if (propertyList) {
        // The property-list rules can match across any distance: they run over the whole text,
        // which they overwrite, and the other rules then run piece by piece as on any output.
        // The bytes, the text and the result are never all held at once.
        std::optional<QString> masked =
            tryMaskText(decodeUtf8LossilyReleasing(std::move(output), notes.notUtf8), propertyListRules());
        if (!masked) {
            writeTextFile(target, kUnmaskableTextNote);
            return notes;
        }
        output = encodeUtf8Releasing(std::move(*masked));
    }
    {
        AtomicFileWriter file(target);
        if (writeMaskedPieces(file, output, pieceBytes, notes.notUtf8, propertyList)) {
            file.writeText(closingNotes(endsInLineFeed, cutAt, notes.notUtf8));
            file.commit();
            return notes;
        }
    }
    // Nothing partly masked reaches the file: the writer above was dropped without committing.
    writeTextFile(target, kUnmaskableTextNote);
    return notes;
}

void captureCommandOutput(const StockCommand& command, double timeoutSeconds, const QString& target, LogSink* log)
{
    std::optional<ProcessOutcome> outcome;
    QString failure;
    try {
        outcome = runProcessRaw(command.program, command.arguments, std::nullopt, timeoutSeconds);
        throwIfFailed(*outcome, command.program, command.arguments, timeoutSeconds);
    } catch (const std::exception& error) {
        // The partial output inside a time-out's reason is masked like any other output.
        outcome.reset();
        failure = commandFailureText(command, error);
    }
    // Outside the try: a failed write is no failed command, it ends the step.
    if (!outcome) {
        writeTextFile(target, maskText(failure));
        return;
    }
    const qsizetype cutAt = outcome->cut ? outcome->output.size() : -1;
    const OutputNotes notes = writeMaskedOutput(target, std::move(outcome->output), kDefaultPieceBytes, cutAt);
    if (!log)
        return;
    const QString name = QFileInfo(target).fileName();
    if (notes.cut)
        log->log(QStringLiteral("WARNING: %1 was cut after %2 bytes: %3 wrote more than Velkor keeps of one tool's output.")
                     .arg(name)
                     .arg(cutAt)
                     .arg(command.program));
    if (notes.notUtf8)
        log->log(QStringLiteral("WARNING: %1: %2 wrote bytes that are not UTF-8; they are shown as U+FFFD.").arg(name, command.program));
}

} // namespace velkor
