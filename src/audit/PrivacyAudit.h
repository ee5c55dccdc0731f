#pragma once

#include "audit/IdentifierSet.h"
#include "steps/StepContext.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <set>
#include <vector>

namespace velkor {

// What one audit of the work folder found and did. Holds file names and counts, never values.
struct PrivacyAuditResult {
    int filesChecked = 0;
    // Per identifier (index into the set): occurrences masked per file (relative path).
    std::vector<QMap<QString, int>> maskedPerIdentifier;
    // Files deleted from the package, with the kinds of identifier found in each.
    QMap<QString, std::set<IdentifierKind>> withheldFiles;
    // MSDM tables whose product key was removed.
    QStringList cleanedMsdmTables;
    // Lines for the run log, in order.
    QStringList logLines;
};

// Searches every file of the package for the machine's own identifiers, in every spelling:
// text files get whole-token masking, any other file that holds one leaves the package.
// MSDM tables lose their product key first; the key then joins the identifiers.
class PrivacyAudit {
public:
    explicit PrivacyAudit(std::vector<MachineIdentifier> candidates) : m_candidates(std::move(candidates)) {}

    // Audits the folder; withheld files are deleted. Afterwards identifiers() holds every value
    // that was looked for.
    PrivacyAuditResult run(const QString& work);
    const std::shared_ptr<const IdentifierSet>& identifiers() const { return m_identifiers; }

private:
    std::vector<MachineIdentifier> m_candidates;
    std::shared_ptr<const IdentifierSet> m_identifiers;
};

// "privacy-audit.txt": per kind of identifier, the values checked and the occurrences masked
// in which files, the files left out and the MSDM tables cleaned.
QString privacyAuditReport(const PrivacyAuditResult& result, const IdentifierSet& identifiers);

// Shared by the audit step and the run-log writer of one run.
struct PrivacyAuditState {
    std::shared_ptr<const IdentifierSet> identifiers;
};

// The pipeline step: audits the work folder, logs what it did and writes "privacy-audit.txt".
void auditPrivacyStep(StepContext& context, const QString& work, PrivacyAuditState& state);

// The run-log file's extra masking: the audit's identifiers, whole tokens, after the rules.
QString maskCollectorLogIdentifiers(const QString& maskedLog, const PrivacyAuditState& state);

} // namespace velkor
