#pragma once

#include "audit/MultiPatternSearch.h"
#include "platform/MachineIdentifiers.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace velkor {

class Registry;

// How a spelling of an identifier is encoded in a file.
enum class Encoding { Utf8, Utf16LE, Utf16BE };

// One spelling of one identifier, as bytes.
struct IdentifierForm {
    int identifier;  // index into IdentifierSet::identifiers()
    Encoding encoding;
    QByteArray bytes;
    // Most values count only as whole words, so that a short name inside a longer word stays.
    // A product key counts anywhere, also inside a longer run of hexadecimal digits.
    bool wholeTokenOnly = true;
    // Bytes at the start of the spelling that are not the identifier and stay when it is
    // masked: the "enx" of an interface named after its MAC address.
    qsizetype keptPrefix = 0;
};

// The identifiers the audit looks for, with every spelling of each, and one search over all.
class IdentifierSet {
public:
    // Keeps the values worth looking for: drops short values, placeholders and values made of
    // one repeated character, and merges duplicates.
    explicit IdentifierSet(const std::vector<MachineIdentifier>& candidates);

    const std::vector<MachineIdentifier>& identifiers() const { return m_identifiers; }
    const std::vector<IdentifierForm>& forms() const { return m_forms; }
    const MultiPatternSearch& search() const { return m_search; }
    bool empty() const { return m_identifiers.empty(); }

    // Values the audit never looks for: too short to be sure, placeholders, repeated characters,
    // PCI addresses (a USB root hub's "serial"), and the names of operating systems and of
    // their default accounts and hosts, which every such machine shares.
    static bool isWorthChecking(const MachineIdentifier& candidate);

private:
    void addForms(int identifier, const QString& spelling, qsizetype keptPrefix = 0);
    std::vector<MachineIdentifier> m_identifiers;
    std::vector<IdentifierForm> m_forms;
    MultiPatternSearch m_search;
};

// The identifiers the registry's platform node carries (serial number and UUID).
std::vector<MachineIdentifier> identifiersFromRegistry(const Registry& registry);

// Whether a match of the form stands as a whole token in the data (per its encoding): the
// characters on either side are not letters or digits in Unicode's sense.
bool matchIsWholeToken(const QByteArray& data, const IdentifierForm& form, qsizetype start, qsizetype length);

// The mask text that stands in for an identifier of the kind.
QString maskTextFor(IdentifierKind kind);

// Whole-token masking of the identifiers in a text: a value is replaced only where it is not
// part of a longer word. Returns the number of replacements through `replaced` when given.
QString maskIdentifiersInText(const QString& text, const IdentifierSet& set, std::vector<int>* replacedPerIdentifier = nullptr);

} // namespace velkor
