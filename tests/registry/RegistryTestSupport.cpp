#include "registry/RegistryTestSupport.h"

#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <algorithm>

namespace velkor::testing {

const TreeRegistryNode* findNode(const TreeRegistryNode& root, const QString& plane,
                                 const std::function<bool(const TreeRegistryNode&)>& accept)
{
    std::vector<const TreeRegistryNode*> pending{&root};
    while (!pending.empty()) {
        const TreeRegistryNode* node = pending.back();
        pending.pop_back();
        if (accept(*node))
            return node;
        if (const auto* children = node->childrenIn(plane))
            std::for_each(children->rbegin(), children->rend(), [&](const Node& child) { pending.push_back(child.get()); });
    }
    return nullptr;
}

const TreeRegistryNode* findNamed(const TreeRegistryNode& root, const QString& plane, const QString& name,
                                  const QString& location, const QString& className)
{
    return findNode(root, plane, [&](const TreeRegistryNode& node) {
        return node.name == name && (location.isEmpty() || node.location == location)
            && (className.isEmpty() || node.className == className);
    });
}

std::vector<const TreeRegistryNode*> allNodes(const TreeRegistryNode& root, const QString& plane)
{
    std::vector<const TreeRegistryNode*> nodes;
    findNode(root, plane, [&](const TreeRegistryNode& node) { return nodes.push_back(&node), false; });
    return nodes;
}

// Equal values of the same types all the way down (QVariant's own == converts numbers).
static bool sameValue(const QVariant& left, const QVariant& right, bool printed)
{
    const auto same = [printed](const QVariant& a, const QVariant& b) { return sameValue(a, b, printed); };
    if (left.typeId() != right.typeId())
        return false;
    if (left.typeId() == QMetaType::QByteArray)
        return left == right || (printed && left.toByteArray() == right.toByteArray() + '\0');
    if (left.typeId() == QMetaType::QVariantList)
        return std::ranges::equal(left.toList(), right.toList(), same);
    if (left.typeId() == QMetaType::QVariantMap)
        return left.toMap().keys() == right.toMap().keys() && std::ranges::equal(left.toMap(), right.toMap(), same);
    return left == right;
}

QString treeDifference(const TreeRegistryNode& expected, const QString& expectedPlane, const TreeRegistryNode& actual,
                       const QString& actualPlane, bool printed)
{
    std::vector<std::pair<const TreeRegistryNode*, const TreeRegistryNode*>> pending{{&expected, &actual}};
    while (!pending.empty()) {
        const auto [left, right] = pending.back();
        pending.pop_back();
        const QString where = left->name + QLatin1Char('@') + left->location + QLatin1Char(' ') + left->className;
        if (where != right->name + QLatin1Char('@') + right->location + QLatin1Char(' ') + right->className)
            return QStringLiteral("entry %1 came back as %2@%3 %4").arg(where, right->name, right->location, right->className);
        for (const QString& key : left->properties.keys() + right->properties.keys()) {
            if (!sameValue(left->properties.value(key), right->properties.value(key), printed))
                return QStringLiteral("%1: property %2 differs").arg(where, key);
        }
        const auto &leftChildren = *left->childrenIn(expectedPlane), &rightChildren = *right->childrenIn(actualPlane);
        if (leftChildren.size() != rightChildren.size())
            return QStringLiteral("%1: %2 children came back as %3").arg(where).arg(leftChildren.size()).arg(rightChildren.size());
        for (size_t i = 0; i < leftChildren.size(); ++i)
            pending.emplace_back(leftChildren[i].get(), rightChildren[i].get());
    }
    return {};
}

QString extractSysfsCapture(const QString& dir)
{
    runProcess(QStringLiteral("/bin/tar"),
               {QStringLiteral("-xzf"), testData(QStringLiteral("sysfs/qemu-xhci-sysfs-registry.tar.gz")), QStringLiteral("-C"), dir},
               std::nullopt, 60);
    return dir;
}

} // namespace velkor::testing
