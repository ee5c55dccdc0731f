#include "registry/TreeRegistry.h"

#include "registry/RegistryTestSupport.h"
#include "registry/RegistryWalk.h"

#include <gtest/gtest.h>

using namespace velkor;
using namespace velkor::testing;

namespace {

qsizetype countEntries(const Registry& registry, const QString& plane)
{
    return walkRegistry(*registry.rootEntry(), plane, {}, [](const RegistryVisit&) { return true; }).visited;
}

} // namespace

TEST(TreeRegistry, AChainOfAHundredThousandEntriesIsReleasedWithoutRecursion)
{
    std::shared_ptr<TreeRegistryNode> middle;
    auto registry = std::make_unique<TreeRegistry>(chain(100000, &middle));
    EXPECT_EQ(countEntries(*registry, kIOServicePlane), 100000);

    // Releasing the registry frees the chain down to the part still held, which stays whole.
    registry.reset();
    EXPECT_EQ(middle.use_count(), 1);
    EXPECT_EQ(countEntries(TreeRegistry(middle), kIOServicePlane), 50000);
    middle.reset();
}

TEST(TreeRegistry, WideRegistriesAreWalkedAndReleased)
{
    auto root = std::make_shared<TreeRegistryNode>();
    const QString name = QStringLiteral("entry");
    const QString className = QStringLiteral("C");
    for (int branch = 0; branch < 1000; ++branch) {
        auto parent = root->addChild(kIOServicePlane, name, className);
        for (int leaf = 0; leaf < 199; ++leaf)
            parent->addChild(kIOServicePlane, name, className);
    }
    // A node in both planes is released once, when its last parent goes.
    auto shared = root->serviceChildren.front();
    root->addChild(kIODeviceTreePlane, name, className)->deviceTreeChildren.push_back(shared);
    shared.reset();

    TreeRegistry registry(root);
    root.reset();
    EXPECT_EQ(countEntries(registry, kIOServicePlane), 200001);
    EXPECT_EQ(countEntries(registry, kIODeviceTreePlane), 3); // children are per plane
}
