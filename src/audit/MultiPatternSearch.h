#pragma once

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace velkor {

// Finds many byte patterns in one pass (an Aho-Corasick automaton), ignoring the case of ASCII
// letters. The audit looks for a few dozen spellings of each identifier in every file of the
// package; one pass per spelling would read a large package dozens of times.
class MultiPatternSearch {
public:
    struct Match {
        int pattern;      // index in the order the patterns were added
        qsizetype start;  // offset of the first byte
        qsizetype length;
    };

    // Adds a pattern; empty patterns are ignored. Returns its index.
    int addPattern(const QByteArray& pattern);
    // Builds the automaton; call once after the last pattern.
    void build();
    // Every occurrence in the data, in the order their last bytes appear.
    std::vector<Match> findAll(const QByteArray& data) const;
    bool empty() const { return m_patternLengths.empty(); }

private:
    struct State {
        int32_t next[256];
    };
    std::vector<State> m_states;
    std::vector<std::vector<int>> m_outputs;
    std::vector<qsizetype> m_patternLengths;
    std::vector<QByteArray> m_patterns;
};

} // namespace velkor
