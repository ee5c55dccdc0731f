#include "registry/IoregTextPrinter.h"
#include "registry/TreeRegistry.h"

#include <gtest/gtest.h>
#include <vector>

using namespace velkor;

namespace {

// Counts the entries reachable through the Registry interface, depth first with a stack of
// iterators, the way the collection walks a registry.
size_t countEntries(const Registry& registry, const QString& plane)
{
    std::vector<std::unique_ptr<RegistryIterator>> stack;
    stack.push_back(registry.rootEntry()->childIterator(plane));
    size_t count = 1;
    while (!stack.empty()) {
        if (auto next = stack.back()->next()) {
            ++count;
            stack.push_back(next->childIterator(plane));
        } else {
            stack.pop_back();
        }
    }
    return count;
}

} // namespace

// A chain of a hundred thousand entries is walked, printed up to the depth limit and released
// without recursing; a wide registry is walked per plane, and a node in both planes goes once.
TEST(TreeRegistry, DeepAndWideRegistriesAreWalkedPrintedAndReleased)
{
    auto root = std::make_shared<TreeRegistryNode>();
    std::shared_ptr<TreeRegistryNode> middle;
    TreeRegistryNode* tip = root.get();
    for (int level = 1; level < 100000; ++level) {
        auto next = tip->addChild(kIOServicePlane, QStringLiteral("n"), QStringLiteral("C"));
        if (level == 50000)
            middle = next;
        tip = next.get();
    }
    auto registry = std::make_unique<TreeRegistry>(root);
    root.reset();
    EXPECT_EQ(countEntries(*registry, kIOServicePlane), 100000u);
    bool truncated = false;
    EXPECT_EQ(printIoregText(*registry, kIOServicePlane, false, &truncated).count(QStringLiteral("+-o ")), 513); // root and 512 levels
    EXPECT_TRUE(truncated);
    registry.reset(); // frees the chain down to the part still held, which stays whole
    EXPECT_EQ(middle.use_count(), 1);
    EXPECT_EQ(countEntries(TreeRegistry(middle), kIOServicePlane), 50000u);
    middle.reset();

    auto wide = std::make_shared<TreeRegistryNode>();
    for (int branch = 0; branch < 1000; ++branch) {
        auto parent = wide->addChild(kIOServicePlane, QStringLiteral("entry"), QStringLiteral("C"));
        for (int leaf = 0; leaf < 199; ++leaf)
            parent->addChild(kIOServicePlane, QStringLiteral("entry"), QStringLiteral("C"));
    }
    wide->addChild(kIODeviceTreePlane, QStringLiteral("entry"), QStringLiteral("C"))->deviceTreeChildren.push_back(wide->serviceChildren.front());
    const TreeRegistry wideRegistry(wide);
    wide.reset();
    EXPECT_EQ(countEntries(wideRegistry, kIOServicePlane), 200001u);
    EXPECT_EQ(countEntries(wideRegistry, kIODeviceTreePlane), 3u); // children are per plane
}
