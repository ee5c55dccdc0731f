#include "usb/LocalizedCompare.h"

#include <unicode/coll.h>
#include <unicode/unistr.h>

#include <memory>

namespace velkor {
namespace {

std::unique_ptr<icu::Collator> makeCollator()
{
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !collator)
        return nullptr;
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    collator->setStrength(icu::Collator::TERTIARY);
    return collator;
}

// Built once; comparing through a const collator is safe from several threads.
const icu::Collator* sharedCollator()
{
    static const std::unique_ptr<icu::Collator> collator = makeCollator();
    return collator.get();
}

icu::UnicodeString toUnicode(const QString& text)
{
    return icu::UnicodeString(false, reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
}

} // namespace

int localizedStandardCompare(const QString& left, const QString& right)
{
    const icu::Collator* collator = sharedCollator();
    if (collator) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result = collator->compare(toUnicode(left), toUnicode(right), status);
        if (U_SUCCESS(status)) {
            if (result != UCOL_EQUAL)
                return result == UCOL_LESS ? -1 : 1;
        }
    }
    // Texts the collation treats as equal still get a fixed order.
    return left.compare(right);
}

} // namespace velkor
