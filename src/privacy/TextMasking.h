#pragma once

#include "privacy/RedactionRules.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace velkor {

// What a text becomes when it could not be masked: nothing of it is kept.
inline const QString kUnmaskableTextNote = QStringLiteral("This text was removed because it could not be masked.\n");

// Applies the ten redaction rules, in order, to a text in memory: serial numbers, UUIDs, MLB,
// ROM, provisioning identifiers and MAC addresses become fixed mask texts. The result is the
// one ICU gives for the rules compiled case-insensitive and multi-line with every match
// replaced by its template, computed in time linear in the text. Nothing when the
// regular-expression engine failed, so that no partly masked text can pass for a masked one.
// A text moved in lends its memory to the work, which matters for texts of many megabytes.
std::optional<QString> tryMaskText(QString text);

// For texts kept in memory or written by the caller: the masked text, or
// kUnmaskableTextNote when it could not be masked.
QString maskText(const QString& text);

// Limits for the regular-expression engine; empty means ICU's defaults. Tests make them tiny.
struct MaskingLimits {
    std::optional<int32_t> stackLimitBytes;
    std::optional<int32_t> timeLimit;
};

// The same with another rule table (tests inject rules that fail). Rules equal to one of the
// ten use their linear matchers; others are searched by ICU. A rule whose pattern does not
// compile is skipped.
std::optional<QString> tryMaskText(QString text, const std::vector<RedactionRule>& rules,
                                   const MaskingLimits& limits = {});

// ICU alone, rule by rule over the whole text: the plain form the fast matchers are checked
// against. Quadratic or worse on large property lists; for tests and benchmarks only.
std::optional<QString> maskTextReference(const QString& text,
                                         const std::vector<RedactionRule>& rules = redactionRules(),
                                         const MaskingLimits& limits = {});

} // namespace velkor
