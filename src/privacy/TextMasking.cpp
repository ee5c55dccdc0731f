#include "privacy/TextMasking.h"

#include "privacy/RuleMatchers.h"

#include <new>

namespace velkor {
namespace {

// Any engine failure, or a text too large to hold twice, means the text could not be masked.
template <typename Work>
std::optional<QString> unlessFailed(Work work)
{
    try {
        return work();
    } catch (const masking::EngineFailure&) {
        return std::nullopt;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

} // namespace

std::optional<QString> tryMaskText(QString text, const std::vector<RedactionRule>& rules, const MaskingLimits& limits)
{
    return unlessFailed([&] { return masking::applyRules(std::move(text), rules, limits); });
}

std::optional<QString> tryMaskText(QString text)
{
    return tryMaskText(std::move(text), redactionRules());
}

QString maskText(const QString& text)
{
    std::optional<QString> masked = tryMaskText(text);
    return masked ? *masked : kUnmaskableTextNote;
}

std::optional<QString> maskTextReference(const QString& text, const std::vector<RedactionRule>& rules,
                                         const MaskingLimits& limits)
{
    return unlessFailed([&] {
        QString current = text;
        for (const RedactionRule& rule : rules)
            current = masking::applyRuleWithIcu(current, rule, limits);
        return current;
    });
}

} // namespace velkor
