#pragma once

#include "registry/TreeRegistry.h"

#include <QString>
#include <functional>

namespace velkor::testing {

// The first node in pre-order (the root included) that the predicate accepts, or null.
const TreeRegistryNode* findNode(const TreeRegistryNode& root, const QString& plane,
                                 const std::function<bool(const TreeRegistryNode&)>& accept);
// The first node with this name (and this location and class when they are not empty).
const TreeRegistryNode* findNamed(const TreeRegistryNode& root, const QString& plane, const QString& name,
                                  const QString& location = {}, const QString& className = {});
// Every node below and including root, in pre-order.
std::vector<const TreeRegistryNode*> allNodes(const TreeRegistryNode& root, const QString& plane);
// The first difference between two trees (names, locations, classes, property tables with their
// value types, and the order of children), each walked in its own plane; empty when they agree.
// With printed, data of `expected` that ends in a zero byte may lack it in `actual`: a listing
// prints such data as quoted text without its final zero byte.
QString treeDifference(const TreeRegistryNode& expected, const QString& expectedPlane, const TreeRegistryNode& actual,
                       const QString& actualPlane, bool printed = false);
// Extracts the sysfs capture of tests/data/sysfs into dir; returns the root that holds "sys".
QString extractSysfsCapture(const QString& dir);

} // namespace velkor::testing
