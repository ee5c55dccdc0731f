#pragma once

#include "registry/Registry.h"

#include <QString>
#include <QVariantMap>
#include <memory>
#include <vector>

namespace velkor {

// One entry of an in-memory registry. Children are kept per plane; an entry can be a child in
// several planes (the IOService and IODeviceTree planes share the platform node, for instance).
struct TreeRegistryNode {
    // Releases the subtree without recursing on the stack, so a registry of any depth can go.
    ~TreeRegistryNode();

    QString name;
    QString location;
    QString className;
    QVariantMap properties;
    std::vector<std::shared_ptr<TreeRegistryNode>> serviceChildren;
    std::vector<std::shared_ptr<TreeRegistryNode>> deviceTreeChildren;

    // Adds a child in a plane and returns it.
    std::shared_ptr<TreeRegistryNode> addChild(const QString& plane, QString childName, QString childClass,
                                               QVariantMap childProperties = {}, QString childLocation = {});
    std::vector<std::shared_ptr<TreeRegistryNode>>& children(const QString& plane);
    const std::vector<std::shared_ptr<TreeRegistryNode>>* childrenIn(const QString& plane) const;
};

// A registry held in memory: what the saved-registry loader and the sysfs builder produce,
// and what tests build by hand.
class TreeRegistry : public Registry {
public:
    explicit TreeRegistry(std::shared_ptr<TreeRegistryNode> root) : m_root(std::move(root)) {}
    std::unique_ptr<RegistryEntry> rootEntry() const override;
    const std::shared_ptr<TreeRegistryNode>& root() const { return m_root; }

private:
    std::shared_ptr<TreeRegistryNode> m_root;
};

} // namespace velkor
