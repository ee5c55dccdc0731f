#include "platform/PrivilegedFacts.h"

#include <QStringList>

namespace velkor {

std::optional<XhciPortRange> parseXhciProtocolCapability(const QString& text)
{
    std::optional<quint32> revision;
    std::optional<quint32> portInfo;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        const QString key = line.section(QLatin1Char('='), 0, 0).trimmed();
        bool ok = false;
        const quint32 value = line.section(QLatin1Char('='), 1).trimmed().toUInt(&ok, 0);
        if (!ok)
            continue;
        if (key == QLatin1String("EXTCAP_REVISION"))
            revision = value;
        else if (key == QLatin1String("EXTCAP_PORTINFO"))
            portInfo = value;
    }
    if (!revision || !portInfo)
        return std::nullopt;
    XhciPortRange range;
    range.majorRevision = quint8((*revision >> 24) & 0xff);
    range.minorRevision = quint8((*revision >> 16) & 0xff);
    range.firstPort = *portInfo & 0xff;
    range.portCount = (*portInfo >> 8) & 0xff;
    if (range.firstPort == 0 || range.portCount == 0)
        return std::nullopt;
    return range;
}

void PrivilegedFactsStore::publish(PrivilegedFacts facts)
{
    auto published = std::make_shared<const PrivilegedFacts>(std::move(facts));
    const std::lock_guard lock(m_mutex);
    m_facts = std::move(published);
}

void PrivilegedFactsStore::clear()
{
    const std::lock_guard lock(m_mutex);
    m_facts.reset();
}

std::shared_ptr<const PrivilegedFacts> PrivilegedFactsStore::current() const
{
    static const auto empty = std::make_shared<const PrivilegedFacts>();
    const std::lock_guard lock(m_mutex);
    return m_facts ? m_facts : empty;
}

} // namespace velkor
