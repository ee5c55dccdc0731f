#include "registry/RegistryTestSupport.h"

#include "process/ProcessRunner.h"
#include "support/TestFiles.h"

#include <utility>
#include <vector>

namespace velkor::testing {

std::shared_ptr<TreeRegistryNode> chain(int length, std::shared_ptr<TreeRegistryNode>* middle)
{
    auto root = std::make_shared<TreeRegistryNode>();
    root->name = QStringLiteral("Root");
    TreeRegistryNode* tip = root.get();
    for (int level = 1; level < length; ++level) {
        auto next = tip->addChild(kIOServicePlane, QStringLiteral("n"), QStringLiteral("C"));
        if (middle && level == length / 2)
            *middle = next;
        tip = next.get();
    }
    return root;
}

const TreeRegistryNode* findNode(const TreeRegistryNode& root, const QString& plane,
                                 const std::function<bool(const TreeRegistryNode&)>& accept)
{
    std::vector<const TreeRegistryNode*> pending{&root};
    while (!pending.empty()) {
        const TreeRegistryNode* node = pending.back();
        pending.pop_back();
        if (accept(*node))
            return node;
        if (const auto* children = node->childrenIn(plane)) {
            for (auto it = children->rbegin(); it != children->rend(); ++it)
                pending.push_back(it->get());
        }
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
    findNode(root, plane, [&](const TreeRegistryNode& node) {
        nodes.push_back(&node);
        return false;
    });
    return nodes;
}

namespace {

// Equal values of the same types, all the way down (QVariant's own == converts numbers). With
// printed, data that ends in a zero byte may come back without it, as a listing prints it.
bool sameValue(const QVariant& left, const QVariant& right, bool printed)
{
    if (left.typeId() != right.typeId())
        return false;
    if (printed && left.typeId() == QMetaType::QByteArray) {
        const QByteArray a = left.toByteArray();
        return a == right.toByteArray() || (a.endsWith('\0') && a.chopped(1) == right.toByteArray());
    }
    if (left.typeId() == QMetaType::QVariantList) {
        const QVariantList a = left.toList();
        const QVariantList b = right.toList();
        if (a.size() != b.size())
            return false;
        for (qsizetype i = 0; i < a.size(); ++i) {
            if (!sameValue(a[i], b[i], printed))
                return false;
        }
        return true;
    }
    if (left.typeId() == QMetaType::QVariantMap) {
        const QVariantMap a = left.toMap();
        const QVariantMap b = right.toMap();
        if (a.keys() != b.keys())
            return false;
        for (auto it = a.cbegin(); it != a.cend(); ++it) {
            if (!sameValue(it.value(), b.value(it.key()), printed))
                return false;
        }
        return true;
    }
    return left == right;
}

} // namespace

QString treeDifference(const TreeRegistryNode& expected, const QString& expectedPlane, const TreeRegistryNode& actual,
                       const QString& actualPlane, bool printed)
{
    std::vector<std::pair<const TreeRegistryNode*, const TreeRegistryNode*>> pending{{&expected, &actual}};
    while (!pending.empty()) {
        const auto [left, right] = pending.back();
        pending.pop_back();
        const QString where = left->name + QLatin1Char('@') + left->location;
        if (left->name != right->name || left->location != right->location)
            return QStringLiteral("entry %1 came back as %2@%3").arg(where, right->name, right->location);
        if (left->className != right->className)
            return QStringLiteral("%1: class %2 came back as %3").arg(where, left->className, right->className);
        if (left->properties.keys() != right->properties.keys())
            return QStringLiteral("%1: property names differ (%2 vs %3)")
                .arg(where, left->properties.keys().join(QLatin1Char(',')), right->properties.keys().join(QLatin1Char(',')));
        for (auto it = left->properties.cbegin(); it != left->properties.cend(); ++it) {
            if (!sameValue(it.value(), right->properties.value(it.key()), printed))
                return QStringLiteral("%1: property %2 differs").arg(where, it.key());
        }
        const auto* leftChildren = left->childrenIn(expectedPlane);
        const auto* rightChildren = right->childrenIn(actualPlane);
        if (leftChildren->size() != rightChildren->size())
            return QStringLiteral("%1: %2 children came back as %3").arg(where).arg(leftChildren->size()).arg(rightChildren->size());
        for (size_t i = 0; i < leftChildren->size(); ++i)
            pending.emplace_back((*leftChildren)[i].get(), (*rightChildren)[i].get());
    }
    return {};
}

QString extractSysfsCapture(const QString& dir)
{
    runProcess(QStringLiteral("/bin/tar"), {QStringLiteral("-xzf"), testData(QStringLiteral("sysfs/qemu-xhci-sysfs-registry.tar.gz")),
                                            QStringLiteral("-C"), dir},
               std::nullopt, 60);
    return dir;
}

} // namespace velkor::testing
