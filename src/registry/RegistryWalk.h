#pragma once

#include "registry/Registry.h"

#include <QString>
#include <functional>
#include <limits>
#include <memory>

namespace velkor {

// How far one walk may go. A malformed or cyclic registry (an entry reachable from itself) is
// cut off here instead of exhausting memory or time.
struct RegistryWalkLimits {
    int maxDepth = std::numeric_limits<int>::max();            // levels below the first entry
    qsizetype maxEntries = std::numeric_limits<qsizetype>::max(); // visits, the first entry included
};

// One entry as the walk meets it. The walk looks one sibling and one child ahead, so that a
// tree drawing knows what follows before the entry is drawn.
struct RegistryVisit {
    const RegistryEntry& entry;
    int depth;            // 0 for the first entry
    int index;            // its place among its siblings, from 0
    bool hasLaterSibling; // another sibling follows it
    bool hasChildren;     // it has a child and the depth limit lets the walk go down to it
};

// Called for every entry in pre-order; returns whether the walk goes on into the entry's children.
using RegistryVisitor = std::function<bool(const RegistryVisit&)>;

struct RegistryWalkResult {
    qsizetype visited = 0;
    bool truncated = false; // a limit left out an entry that exists
};

// Walks an entry and its descendants in a plane, depth first, with a stack of its own instead
// of recursion, so no registry can exhaust the thread's stack. While the walk is below an
// entry it keeps the entry's handle, and releases a looked-ahead entry before the iterator it
// came from. An exception from the registry or the visitor ends the walk and passes through.
RegistryWalkResult walkRegistry(const RegistryEntry& from, const QString& plane, const RegistryWalkLimits& limits,
                                const RegistryVisitor& visit);

// The machine's platform node (model, serial number, UUID): among the root's first children in
// the IOService plane, the first of class IOPlatformExpertDevice or with a "model" property.
// Null when the registry has no root or no such child.
std::unique_ptr<RegistryEntry> platformNode(const Registry& registry);

} // namespace velkor
