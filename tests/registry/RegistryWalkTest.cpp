#include "registry/RegistryWalk.h"

#include "registry/RegistryTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace velkor;
using namespace velkor::testing;

namespace {

const RegistryVisitor kEverything = [](const RegistryVisit&) { return true; };

RegistryWalkResult walk(const Registry& registry, const RegistryWalkLimits& limits, const RegistryVisitor& visit = kEverything)
{
    return walkRegistry(*registry.rootEntry(), kIOServicePlane, limits, visit);
}

// Each visit as "name depth index [later] [children]"; the walk does not go into "a" when told.
QStringList visits(const Registry& registry, const RegistryWalkLimits& limits, bool intoA, RegistryWalkResult& result)
{
    QStringList seen;
    result = walk(registry, limits, [&](const RegistryVisit& visit) {
        const QString name = visit.entry.name(kIOServicePlane);
        seen.append(QStringLiteral("%1 %2 %3").arg(name).arg(visit.depth).arg(visit.index)
                    + (visit.hasLaterSibling ? " later" : "") + (visit.hasChildren ? " children" : ""));
        return intoA || name != "a";
    });
    return seen;
}

} // namespace

TEST(RegistryWalk, VisitsInPreOrderWithinItsLimitsAndTellsWhatFollows)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = "root";
    auto a = root->addChild(kIOServicePlane, "a", {});
    a->addChild(kIOServicePlane, "a1", {})->addChild(kIOServicePlane, "a11", {});
    a->addChild(kIOServicePlane, "a2", {});
    root->addChild(kIOServicePlane, "b", {});
    root->addChild(kIODeviceTreePlane, "elsewhere", {});
    const TreeRegistry registry(root);

    RegistryWalkResult result;
    EXPECT_EQ(visits(registry, {}, true, result),
              QStringList({"root 0 0 children", "a 1 0 later children", "a1 2 0 later children", "a11 3 0", "a2 2 1", "b 1 1"}));
    EXPECT_EQ(result.visited, 6);
    EXPECT_FALSE(result.truncated);
    // A visitor that does not go into an entry skips its subtree; that is no truncation.
    EXPECT_EQ(visits(registry, {}, false, result), QStringList({"root 0 0 children", "a 1 0 later children", "b 1 1"}));
    EXPECT_FALSE(result.truncated);

    // Below the depth limit nothing is visited, and an entry at the limit shows no children.
    EXPECT_EQ(visits(registry, {.maxDepth = 1}, true, result), QStringList({"root 0 0 children", "a 1 0 later", "b 1 1"}));
    EXPECT_TRUE(result.truncated);
    EXPECT_FALSE(walk(registry, {.maxDepth = 3}).truncated); // reaching a limit leaves nothing out
    // The entry limit counts the first entry.
    EXPECT_EQ(visits(registry, {.maxEntries = 3}, true, result).size(), 3);
    EXPECT_TRUE(result.truncated);
    EXPECT_FALSE(walk(registry, {.maxEntries = 6}).truncated);
}

TEST(RegistryWalk, DeepChainsAndCyclesEnd)
{
    // Far deeper than any stack could recurse.
    const TreeRegistry deep(chain(200000));
    EXPECT_EQ(walk(deep, {}).visited, 200000);
    EXPECT_EQ(walk(deep, {.maxDepth = 512}).visited, 513);
    // A visitor that throws ends the walk, and the handles it held are released.
    EXPECT_THROW(walk(deep, {}, [](const RegistryVisit& visit) -> bool {
        if (visit.depth == 1000)
            throw std::runtime_error("stop");
        return true;
    }), std::runtime_error);

    // An entry that is its own child, twice: without limits the walk would never end.
    auto loop = std::make_shared<TreeRegistryNode>();
    loop->serviceChildren = {loop, loop};
    const TreeRegistry cyclic(loop);
    EXPECT_EQ(walk(cyclic, {.maxDepth = 3}).visited, 1 + 2 + 4 + 8);
    const RegistryWalkResult result = walk(cyclic, {.maxDepth = 128, .maxEntries = 5000});
    EXPECT_EQ(result.visited, 5000);
    EXPECT_TRUE(result.truncated);
    loop->serviceChildren.clear();
}

TEST(RegistryWalk, FindsThePlatformNodeAmongTheRootsFirstChildren)
{
    EXPECT_EQ(platformNode(TreeRegistry(nullptr)), nullptr);
    TestRegistry built; // a PCI root comes first
    EXPECT_EQ(platformNode(*built.registry()), nullptr);
    TestRegistry::add(built.root, "Board", "SomePlatform", {{"model", "Q35"}});
    TestRegistry::add(built.root, "Mac", "IOPlatformExpertDevice");
    EXPECT_EQ(platformNode(*built.registry())->name(kIOServicePlane), "Board");

    TestRegistry crowded;
    for (int i = 0; i < 63; ++i)
        TestRegistry::add(crowded.root, "Other", "IOService");
    auto late = TestRegistry::add(crowded.root, "Late", "IOPlatformExpertDevice"); // the 65th
    EXPECT_EQ(platformNode(*crowded.registry()), nullptr);
    crowded.root->serviceChildren.insert(crowded.root->serviceChildren.begin() + 5, late);
    EXPECT_EQ(platformNode(*crowded.registry())->name(kIOServicePlane), "Late");
}
