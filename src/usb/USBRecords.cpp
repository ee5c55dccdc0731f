#include "usb/USBRecords.h"

namespace velkor {

NativeUSBNode::~NativeUSBNode()
{
    std::vector<std::unique_ptr<NativeUSBNode>> pending = std::move(children);
    while (!pending.empty()) {
        std::unique_ptr<NativeUSBNode> node = std::move(pending.back());
        pending.pop_back();
        for (auto& child : node->children)
            pending.push_back(std::move(child));
        node->children.clear();
    }
}

} // namespace velkor
