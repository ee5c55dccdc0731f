#include "registry/RegistryWalk.h"

#include <vector>

namespace velkor {
namespace {

// The platform node is the root's first child on a Mac and in the sysfs registry; a few more
// are looked at for registries that list other entries first.
constexpr int kPlatformCandidates = 64;

const QString kPlatformClass = QStringLiteral("IOPlatformExpertDevice");
const QString kModelKey = QStringLiteral("model");

} // namespace

RegistryWalkResult walkRegistry(const RegistryEntry& from, const QString& plane, const RegistryWalkLimits& limits,
                                const RegistryVisitor& visit)
{
    // One level per entry whose children are being walked. Members are released bottom-up: the
    // looked-ahead child, then the iterator, then the entry itself.
    struct Level {
        std::unique_ptr<RegistryEntry> parent; // null for the first entry, which the caller holds
        std::unique_ptr<RegistryIterator> children;
        std::unique_ptr<RegistryEntry> next;
        int depth; // of the children
        int index; // of next among them
    };
    std::vector<Level> levels;
    RegistryWalkResult result;

    // Visits one entry and, when the visitor wants its children, opens the level below it.
    const auto enter = [&](std::unique_ptr<RegistryEntry> owned, const RegistryEntry& entry, int depth, int index,
                           bool laterSibling) {
        std::unique_ptr<RegistryIterator> children = entry.childIterator(plane);
        std::unique_ptr<RegistryEntry> first = children ? children->next() : nullptr;
        if (first && depth >= limits.maxDepth) {
            result.truncated = true;
            first.reset();
        }
        ++result.visited;
        if (visit({entry, depth, index, laterSibling, first != nullptr}) && first)
            levels.push_back({std::move(owned), std::move(children), std::move(first), depth + 1, 0});
    };

    enter(nullptr, from, 0, 0, false);
    while (!levels.empty()) {
        Level& level = levels.back();
        if (!level.next) {
            levels.pop_back();
            continue;
        }
        if (result.visited >= limits.maxEntries) {
            result.truncated = true;
            break;
        }
        std::unique_ptr<RegistryEntry> entry = std::move(level.next);
        level.next = level.children->next();
        const RegistryEntry& current = *entry;
        // May grow levels, so `level` is not used after this.
        enter(std::move(entry), current, level.depth, level.index++, level.next != nullptr);
    }
    while (!levels.empty())
        levels.pop_back();
    return result;
}

std::unique_ptr<RegistryEntry> platformNode(const Registry& registry)
{
    const std::unique_ptr<RegistryEntry> root = registry.rootEntry();
    if (!root)
        return nullptr;
    const std::unique_ptr<RegistryIterator> children = root->childIterator(kIOServicePlane);
    if (!children)
        return nullptr;
    for (int looked = 0; looked < kPlatformCandidates; ++looked) {
        std::unique_ptr<RegistryEntry> child = children->next();
        if (!child)
            break;
        if (child->className() == kPlatformClass || child->properties().contains(kModelKey))
            return child;
    }
    return nullptr;
}

} // namespace velkor
