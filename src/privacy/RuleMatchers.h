#pragma once

// Inside the privacy library: applying one redaction rule to a text, either with ICU's own
// search or with a hand-written matcher that gives the same result in linear time.

#include "privacy/RedactionRules.h"
#include "privacy/TextMasking.h"

#include <QString>

#include <vector>

namespace velkor::masking {

// The engine reported an error (stack or time limit, memory, a bad template) while matching.
// Never leaves the library: the callers turn it into "could not be masked".
struct EngineFailure {};

// Replaces every match of the rule, left to right and without overlap, as ICU's search and
// replace does with the pattern compiled case-insensitive and multi-line. A pattern that does
// not compile leaves the text as it is. Throws EngineFailure.
QString applyRuleWithIcu(const QString& text, const RedactionRule& rule, const MaskingLimits& limits);

// Whether the rule is one of the ten and has a hand-written matcher.
bool hasFastMatcher(const RedactionRule& rule);

// The rules in order, each on the result of the one before, through a rule's hand-written
// matcher when it has one. Throws EngineFailure.
QString applyRules(QString text, const std::vector<RedactionRule>& rules, const MaskingLimits& limits);

// Character classes the hand-written matchers rely on, exposed so that tests can compare them
// with ICU over every code point.
bool isRegexSpace(char32_t c);              // \s
bool isLineTerminator(char32_t c);          // what ends a line for ^, $ and .
bool mayFoldToAscii(char32_t c);            // non-ASCII characters whose case folding yields ASCII

} // namespace velkor::masking
