#include "audit/MultiPatternSearch.h"

#include <deque>

namespace velkor {
namespace {

unsigned char foldCase(unsigned char byte)
{
    return (byte >= 'A' && byte <= 'Z') ? byte + ('a' - 'A') : byte;
}

} // namespace

int MultiPatternSearch::addPattern(const QByteArray& pattern)
{
    m_patterns.push_back(pattern);
    m_patternLengths.push_back(pattern.size());
    return int(m_patterns.size()) - 1;
}

void MultiPatternSearch::build()
{
    m_states.assign(1, State{});
    std::fill(std::begin(m_states[0].next), std::end(m_states[0].next), -1);
    m_outputs.assign(1, {});

    for (size_t index = 0; index < m_patterns.size(); ++index) {
        const QByteArray& pattern = m_patterns[index];
        if (pattern.isEmpty())
            continue;
        int state = 0;
        for (const char raw : pattern) {
            const unsigned char byte = foldCase(static_cast<unsigned char>(raw));
            if (m_states[size_t(state)].next[byte] < 0) {
                m_states.push_back(State{});
                std::fill(std::begin(m_states.back().next), std::end(m_states.back().next), -1);
                m_outputs.emplace_back();
                m_states[size_t(state)].next[byte] = int32_t(m_states.size() - 1);
            }
            state = m_states[size_t(state)].next[byte];
        }
        m_outputs[size_t(state)].push_back(int(index));
    }

    // Breadth-first: complete every transition so scanning is one table lookup per byte.
    std::vector<int32_t> failure(m_states.size(), 0);
    std::deque<int32_t> queue;
    for (int byte = 0; byte < 256; ++byte) {
        int32_t& next = m_states[0].next[byte];
        if (next < 0) {
            next = 0;
        } else {
            failure[size_t(next)] = 0;
            queue.push_back(next);
        }
    }
    while (!queue.empty()) {
        const int32_t state = queue.front();
        queue.pop_front();
        const auto& inherited = m_outputs[size_t(failure[size_t(state)])];
        m_outputs[size_t(state)].insert(m_outputs[size_t(state)].end(), inherited.begin(), inherited.end());
        for (int byte = 0; byte < 256; ++byte) {
            int32_t& next = m_states[size_t(state)].next[byte];
            const int32_t fallback = m_states[size_t(failure[size_t(state)])].next[byte];
            if (next < 0) {
                next = fallback;
            } else {
                failure[size_t(next)] = fallback;
                queue.push_back(next);
            }
        }
    }
}

std::vector<MultiPatternSearch::Match> MultiPatternSearch::findAll(const QByteArray& data) const
{
    std::vector<Match> matches;
    if (m_states.empty())
        return matches;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const qsizetype size = data.size();
    const State* states = m_states.data();
    int32_t state = 0;
    for (qsizetype position = 0; position < size; ++position) {
        state = states[state].next[foldCase(bytes[position])];
        const auto& found = m_outputs[size_t(state)];
        if (found.empty()) [[likely]]
            continue;
        for (const int pattern : found) {
            const qsizetype length = m_patternLengths[size_t(pattern)];
            matches.push_back({pattern, position - length + 1, length});
        }
    }
    return matches;
}

} // namespace velkor
