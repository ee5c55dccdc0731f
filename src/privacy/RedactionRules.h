#pragma once

#include <QString>
#include <vector>

namespace velkor {

// One redaction rule: an ICU pattern (compiled case-insensitive, with ^ and $ at every line)
// and its replacement template, where $1 and $2 stand for capture groups.
struct RedactionRule {
    QString pattern;
    QString replacement;
};

// The ten rules, in the order they are applied.
const std::vector<RedactionRule>& redactionRules();

// The table in two parts, in order: first its property-list rules, the only ones that can match
// across any distance; then the rest, whose matches end within a line or at the value after a
// colon, so that they can run over an output piece by piece.
const std::vector<RedactionRule>& propertyListRules();
const std::vector<RedactionRule>& rulesAfterPropertyLists();

inline const QString kMaskText = QStringLiteral("XX-MASKED-XX");
inline const QString kMaskUUID = QStringLiteral("XX-MASKED-UUID");
inline const QString kMaskMAC = QStringLiteral("XX:XX:XX:XX:XX:XX");

} // namespace velkor
