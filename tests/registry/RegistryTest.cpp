#include "registry/IoregTextPrinter.h"
#include "registry/RegistryWalk.h"

#include "registry/RegistryTestSupport.h"
#include "support/QtPrinters.h"

#include <QVariantHash>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

using namespace velkor;
using namespace velkor::testing;

TEST(RegistryProperties, EachReaderTakesEverySpellingOfItsType)
{
    const RegistryProperties p(QVariantMap{
        {"text", "Mini"}, {"empty", ""}, {"data", QByteArray("iMac18,3\0junk", 13)}, {"only NUL", QByteArray("\0", 1)},
        {"not UTF-8", QByteArray("\xff\xfe\0", 3)}, {"hex", " 0x1F "}, {"upper X", "0X1F"}, {"decimal", "42"}, {"bare", "0x"},
        {"too large", "9223372036854775808"}, {"smallest", "-9223372036854775808"}, {"two bytes", QByteArray::fromHex("0501")},
        {"number", qint64(7)}, {"beyond 32 bits", qint64(1) << 40}, {"negative", qint64(-1)}, {"fraction", 3.7}, {"flag", true},
        {"largest unsigned", QVariant::fromValue(std::numeric_limits<quint64>::max())}, {"map", QVariantMap{{"k", 1}}},
        {"hash", QVariantHash{{"k", 1}}}});
    for (const auto& [key, text] : std::initializer_list<std::pair<const char*, const char*>>{
             {"text", "Mini"}, {"data", "iMac18,3"}, {"empty", "-"}, {"only NUL", "-"}, {"not UTF-8", "-"}, {"number", "-"}, {"missing", "-"}})
        EXPECT_EQ(p.text(key, "-"), text) << key;
    for (const auto& [key, number] : std::initializer_list<std::pair<const char*, std::optional<qint64>>>{
             {"hex", 31}, {"upper X", {}}, {"decimal", 42}, {"bare", {}}, {"empty", {}}, {"too large", {}}, {"two bytes", 261},
             {"flag", {}}, {"smallest", std::numeric_limits<qint64>::min()}, {"number", 7}, {"largest unsigned", -1},
             {"fraction", 3}, {"map", {}}, {"missing", {}}})
        EXPECT_EQ(p.number(key), number) << key;
    for (const auto& [key, bytes] : std::initializer_list<std::pair<const char*, std::optional<QByteArray>>>{
             {"two bytes", QByteArray::fromHex("0501")}, {"number", QByteArray::fromHex("07000000")}, {"beyond 32 bits", {}}, {"negative", {}},
             {"decimal", {}}, {"missing", {}}})
        EXPECT_EQ(p.bytes(key), bytes) << key;
    for (const auto& [key, map] : std::initializer_list<std::pair<const char*, QVariantMap>>{{"map", {{"k", 1}}}, {"hash", {{"k", 1}}}, {"text", {}}})
        EXPECT_EQ(p.dictionary(key), map) << key;
    EXPECT_EQ(littleEndianValue(QByteArray::fromHex("01000000ffff")), 1u);
    EXPECT_EQ(littleEndianBytes(0x04030201), QByteArray::fromHex("01020304"));
}

TEST(RegistryWalk, VisitsInPreOrderWithinItsLimitsAndTellsWhatFollows)
{
    auto root = entry("root");
    auto a = root->addChild(kIOServicePlane, "a", {});
    a->addChild(kIOServicePlane, "a1", {})->addChild(kIOServicePlane, "a11", {});
    a->addChild(kIOServicePlane, "a2", {});
    root->addChild(kIOServicePlane, "b", {});
    const TreeRegistry registry(root);
    const QString all = "root 0 0 children, a 1 0 later children, a1 2 0 later children, a11 3 0, a2 2 1, b 1 1";
    // Not going into an entry is no truncation; an entry at the depth limit shows no children;
    // the entry limit counts the first entry; reaching a limit leaves nothing out.
    const struct { RegistryWalkLimits limits; bool intoA; QString visits; bool truncated; } cases[] = {
        {{}, true, all, false}, {{}, false, "root 0 0 children, a 1 0 later children, b 1 1", false}, {{.maxDepth = 3}, true, all, false},
        {{.maxDepth = 1}, true, "root 0 0 children, a 1 0 later, b 1 1", true}, {{.maxEntries = 6}, true, all, false},
        {{.maxEntries = 3}, true, "root 0 0 children, a 1 0 later children, a1 2 0 later children", true}};
    for (const auto& c : cases) {
        QStringList seen;
        const RegistryWalkResult result = walkRegistry(*registry.rootEntry(), kIOServicePlane, c.limits, [&](const RegistryVisit& visit) {
            const QString name = visit.entry.name(kIOServicePlane);
            seen.append(QStringLiteral("%1 %2 %3").arg(name).arg(visit.depth).arg(visit.index) + (visit.hasLaterSibling ? " later" : "")
                        + (visit.hasChildren ? " children" : ""));
            return c.intoA || name != "a";
        });
        EXPECT_EQ(seen.join(", "), c.visits);
        EXPECT_TRUE(result.visited == seen.size() && result.truncated == c.truncated) << c.visits.toStdString();
    }
}

// Far deeper and wider than any recursion could go, and cycles: walked, printed and released.
TEST(RegistryWalk, DeepChainsWideTreesAndCyclesEnd)
{
    const auto walk = [](const std::shared_ptr<TreeRegistryNode>& from, const RegistryWalkLimits& limits = {},
                         const QString& plane = kIOServicePlane) {
        return walkRegistry(*TreeRegistry(from).rootEntry(), plane, limits, [](const RegistryVisit&) { return true; });
    };
    auto deep = std::make_shared<TreeRegistryNode>();
    std::shared_ptr<TreeRegistryNode> middle, tip = deep;
    for (int level = 1; level < 200000; ++level) {
        tip = tip->addChild(kIOServicePlane, "n", "C");
        if (level == 100000)
            middle = tip;
    }
    EXPECT_EQ(walk(deep).visited, 200000);
    EXPECT_EQ(walk(deep, {.maxDepth = 512}).visited, 513);
    // The listing stops 512 levels below the root, and says so.
    bool truncated = false;
    EXPECT_TRUE(printIoregText(TreeRegistry(deep), kIOServicePlane, false, &truncated).count("+-o ") == 513 && truncated);
    // A visitor that throws ends the walk and the handles it held are released.
    const auto stop = [](const RegistryVisit& visit) { return visit.depth < 1000 || (throw std::runtime_error("stop"), false); };
    EXPECT_THROW(walkRegistry(*TreeRegistry(deep).rootEntry(), kIOServicePlane, {}, stop), std::runtime_error);
    // Releasing the chain frees it down to the part still held, which stays whole.
    deep.reset();
    EXPECT_EQ(middle.use_count(), 1);
    EXPECT_EQ(walk(middle).visited, 100000);

    // 200 000 siblings; a node in both planes is released once, when its last parent goes.
    auto wide = std::make_shared<TreeRegistryNode>();
    for (int branch = 0; branch < 1000; ++branch) {
        auto parent = wide->addChild(kIOServicePlane, "entry", "C");
        for (int leaf = 0; leaf < 199; ++leaf)
            parent->addChild(kIOServicePlane, "entry", "C");
    }
    wide->addChild(kIODeviceTreePlane, "entry", "C")->deviceTreeChildren.push_back(wide->serviceChildren.front());
    EXPECT_EQ(walk(wide).visited, 200001);
    EXPECT_EQ(walk(wide, {}, kIODeviceTreePlane).visited, 3); // children are per plane

    // An entry that is its own child, twice: without limits the walk would never end.
    auto loop = std::make_shared<TreeRegistryNode>();
    loop->serviceChildren = {loop, loop};
    EXPECT_EQ(walk(loop, {.maxDepth = 3}).visited, 1 + 2 + 4 + 8);
    EXPECT_EQ(walk(loop, {.maxDepth = 128, .maxEntries = 5000}).visited, 5000);
    loop->serviceChildren.clear();
}

// The first child with a model or of the platform class, among the root's first 64 children.
TEST(RegistryWalk, FindsThePlatformNodeAmongTheRootsFirstChildren)
{
    TestRegistry built; // a PCI root comes first
    for (int i = 0; i < 62; ++i)
        TestRegistry::add(built.root, "Other", "IOService");
    TestRegistry::add(built.root, "Late", "IOPlatformExpertDevice"); // the 64th
    TestRegistry::add(built.root, "Later", "SomePlatform", {{"model", "Q35"}});
    EXPECT_EQ(platformNode(*built.registry())->name(kIOServicePlane), "Late");
    built.root->serviceChildren.erase(built.root->serviceChildren.end() - 2);
    EXPECT_EQ(platformNode(*built.registry())->name(kIOServicePlane), "Later");
    built.root->serviceChildren.back()->properties.clear();
    TestRegistry::add(built.root, "Mac", "IOPlatformExpertDevice"); // the 65th
    EXPECT_EQ(platformNode(*built.registry()), nullptr);
    EXPECT_EQ(platformNode(TreeRegistry(nullptr)), nullptr);
}
