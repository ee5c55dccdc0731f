#include "registry/TreeRegistry.h"

namespace velkor {
namespace {

class TreeEntry : public RegistryEntry {
public:
    explicit TreeEntry(std::shared_ptr<const TreeRegistryNode> node) : m_node(std::move(node)) {}
    QVariantMap properties() const override { return m_node->properties; }
    QString className() const override { return m_node->className; }
    QString name(const QString&) const override { return m_node->name; }
    QString location(const QString&) const override { return m_node->location; }
    std::unique_ptr<RegistryIterator> childIterator(const QString& plane) const override;

private:
    std::shared_ptr<const TreeRegistryNode> m_node;
};

class TreeIterator : public RegistryIterator {
public:
    TreeIterator(std::shared_ptr<const TreeRegistryNode> parent, const std::vector<std::shared_ptr<TreeRegistryNode>>* children)
        : m_parent(std::move(parent)), m_children(children)
    {
    }
    std::unique_ptr<RegistryEntry> next() override
    {
        if (!m_children || m_index >= m_children->size())
            return nullptr;
        return std::make_unique<TreeEntry>((*m_children)[m_index++]);
    }

private:
    std::shared_ptr<const TreeRegistryNode> m_parent; // keeps the child list alive
    const std::vector<std::shared_ptr<TreeRegistryNode>>* m_children;
    size_t m_index = 0;
};

std::unique_ptr<RegistryIterator> TreeEntry::childIterator(const QString& plane) const
{
    const auto* children = m_node->childrenIn(plane);
    if (!children)
        return nullptr;
    return std::make_unique<TreeIterator>(m_node, children);
}

} // namespace

TreeRegistryNode::~TreeRegistryNode()
{
    // Children whose last owner is this subtree are emptied before they go, so each release
    // frees one node and never a chain of them. A child still shared elsewhere (another plane,
    // a live entry handle) only loses this reference.
    std::vector<std::shared_ptr<TreeRegistryNode>> pending;
    const auto take = [&pending](std::vector<std::shared_ptr<TreeRegistryNode>>& children) {
        for (auto& child : children)
            pending.push_back(std::move(child));
        children.clear();
    };
    take(serviceChildren);
    take(deviceTreeChildren);
    while (!pending.empty()) {
        std::shared_ptr<TreeRegistryNode> node = std::move(pending.back());
        pending.pop_back();
        if (node && node.use_count() == 1) {
            take(node->serviceChildren);
            take(node->deviceTreeChildren);
        }
    }
}

std::vector<std::shared_ptr<TreeRegistryNode>>& TreeRegistryNode::children(const QString& plane)
{
    return plane == kIODeviceTreePlane ? deviceTreeChildren : serviceChildren;
}

const std::vector<std::shared_ptr<TreeRegistryNode>>* TreeRegistryNode::childrenIn(const QString& plane) const
{
    if (plane == kIOServicePlane)
        return &serviceChildren;
    if (plane == kIODeviceTreePlane)
        return &deviceTreeChildren;
    return nullptr;
}

std::shared_ptr<TreeRegistryNode> TreeRegistryNode::addChild(const QString& plane, QString childName, QString childClass,
                                                             QVariantMap childProperties, QString childLocation)
{
    auto child = std::make_shared<TreeRegistryNode>();
    child->name = std::move(childName);
    child->className = std::move(childClass);
    child->properties = std::move(childProperties);
    child->location = std::move(childLocation);
    children(plane).push_back(child);
    return child;
}

std::unique_ptr<RegistryEntry> TreeRegistry::rootEntry() const
{
    if (!m_root)
        return nullptr;
    return std::make_unique<TreeEntry>(m_root);
}

} // namespace velkor
