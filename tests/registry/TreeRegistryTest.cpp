#include "registry/TreeRegistry.h"
#include "registry/IoregTextPrinter.h"

#include <gtest/gtest.h>
#include <vector>

using namespace velkor;

namespace {

// Counts the entries reachable through the Registry interface, depth first with a stack of
// iterators, the way the collection walks a registry.
size_t countEntries(const Registry& registry, const QString& plane)
{
    std::vector<std::unique_ptr<RegistryIterator>> stack;
    auto root = registry.rootEntry();
    size_t count = 1;
    stack.push_back(root->childIterator(plane));
    while (!stack.empty()) {
        auto next = stack.back()->next();
        if (!next) {
            stack.pop_back();
            continue;
        }
        ++count;
        stack.push_back(next->childIterator(plane));
    }
    return count;
}

std::shared_ptr<TreeRegistryNode> chain(int depth, std::shared_ptr<TreeRegistryNode>* middle = nullptr)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = QStringLiteral("Root");
    TreeRegistryNode* tip = root.get();
    for (int level = 1; level < depth; ++level) {
        auto next = tip->addChild(kIOServicePlane, QStringLiteral("n"), QStringLiteral("C"));
        if (middle && level == depth / 2)
            *middle = next;
        tip = next.get();
    }
    return root;
}

} // namespace

TEST(TreeRegistry, AChainOfAHundredThousandEntriesIsWalkedPrintedAndReleased)
{
    std::shared_ptr<TreeRegistryNode> middle;
    auto registry = std::make_unique<TreeRegistry>(chain(100000, &middle));
    EXPECT_EQ(countEntries(*registry, kIOServicePlane), 100000u);

    bool truncated = false;
    const QString text = printIoregText(*registry, kIOServicePlane, false, &truncated);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(text.count(QStringLiteral("+-o ")), 513); // the root and 512 levels below it

    // Releasing the registry frees the chain down to the part still held, which stays whole.
    registry.reset();
    EXPECT_EQ(middle.use_count(), 1);
    EXPECT_EQ(countEntries(TreeRegistry(middle), kIOServicePlane), 50000u);
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
    EXPECT_EQ(countEntries(registry, kIOServicePlane), 200001u);
    EXPECT_EQ(countEntries(registry, kIODeviceTreePlane), 3u); // children are per plane
}
