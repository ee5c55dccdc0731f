#include "privacy/TextMasking.h"

#include "privacy/RedactionRules.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <memory>

namespace velkor {

QString maskText(const QString& text)
{
    icu::UnicodeString current(reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
    for (const RedactionRule& rule : redactionRules()) {
        UErrorCode status = U_ZERO_ERROR;
        const icu::UnicodeString pattern(reinterpret_cast<const char16_t*>(rule.pattern.utf16()), int32_t(rule.pattern.size()));
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(pattern, UREGEX_CASE_INSENSITIVE | UREGEX_MULTILINE, status));
        if (U_FAILURE(status) || !compiled)
            continue;
        std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(current, status));
        if (U_FAILURE(status) || !matcher)
            continue;
        const icu::UnicodeString replacement(reinterpret_cast<const char16_t*>(rule.replacement.utf16()),
                                             int32_t(rule.replacement.size()));
        icu::UnicodeString result = matcher->replaceAll(replacement, status);
        if (U_SUCCESS(status))
            current = result;
    }
    return QString(reinterpret_cast<const QChar*>(current.getBuffer()), current.length());
}

} // namespace velkor
