#include "usb/USBRecords.h"

#include <algorithm>

namespace velkor {

quint32 portNumber(const QByteArray& portData)
{
    quint32 value = 0;
    const qsizetype count = std::min<qsizetype>(portData.size(), 4);
    for (qsizetype i = 0; i < count; ++i)
        value |= quint32(quint8(portData[i])) << (8 * i);
    return value;
}

QByteArray portNumberBytes(quint32 number)
{
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((number >> (8 * i)) & 0xFF);
    return bytes;
}

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
