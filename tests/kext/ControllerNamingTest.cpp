#include "kext/ControllerNaming.h"

#include "support/QtPrinters.h"

#include <gtest/gtest.h>

namespace velkor {
namespace {

USBControllerMap controller(qint64 vendor, qint64 device, const QString& providerClass = {})
{
    USBControllerMap map;
    map.vendorID = vendor;
    map.deviceID = device;
    map.providerClass = providerClass;
    return map;
}

TEST(ControllerNaming, PicksTheXHCIDriverClass)
{
    EXPECT_EQ(usbXHCIClassName(controller(0x8086, 0x8c31)), "AppleUSBXHCILPTH");
    EXPECT_EQ(usbXHCIClassName(controller(0x8086, 0x9c31)), "AppleUSBXHCILPTH");
    EXPECT_EQ(usbXHCIClassName(controller(0x8086, 0x8dff)), "AppleUSBXHCILPTH");
    EXPECT_EQ(usbXHCIClassName(controller(0x8086, 0x8e00)), "AppleUSBXHCISPT");
    EXPECT_EQ(usbXHCIClassName(controller(0x8086, 0xa36d)), "AppleUSBXHCISPT");
    EXPECT_EQ(usbXHCIClassName(controller(0x1b21, 0x2142)), "AppleUSBXHCIPCI");
    EXPECT_EQ(usbXHCIClassName(controller(0x1b21, 0x2142, " AppleUSBXHCISPT3 \n")), "AppleUSBXHCISPT3");
    // A scanned class that is not an XHCI driver does not count.
    EXPECT_EQ(usbXHCIClassName(controller(0x1b21, 0x2142, "VendorDriver")), "AppleUSBXHCIPCI");
}

TEST(ControllerNaming, SanitizesPersonalityNames)
{
    EXPECT_EQ(sanitizePersonalityName("Fresco Logic"), "Fresco_Logic");
    EXPECT_EQ(sanitizePersonalityName("Ré-seau_2.0/x"), "Ré-seau_2_0_x");
    // One replacement per character, also outside the basic plane; letters there are kept.
    EXPECT_EQ(sanitizePersonalityName(QString::fromUtf8("a\xF0\x9F\x94\x8C" "b")), "a_b");
    EXPECT_EQ(sanitizePersonalityName(QString::fromUtf8("\xF0\x90\x90\x80")), QString::fromUtf8("\xF0\x90\x90\x80"));
}

TEST(ControllerNaming, ChoosesTemplateKeys)
{
    const struct {
        qint64 vendor;
        qint64 device;
        const char* key;
    } cases[] = {
        {0x8086, 0x9cb1, "8086_9cb1"}, {0x8086, 0x9c31, "8086_9xxx"}, {0x8086, 0x9d2f, "8086_9dxx"},
        {0x8086, 0x8c31, "8086_8xxx"}, {0x8086, 0x7e7d, "8086_7exx"}, {0x8086, 0xa36d, "8086_a36d"},
        {0x8086, 0x02ed, "8086_02ed"}, {0x1b21, 0x3241, "1b21_3241"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(legacyUSBPortTemplateKey(controller(c.vendor, c.device)), QString(c.key)) << c.key;
    for (const auto& none : {controller(0x1b21, 0x3242), controller(0x1022, 0x43d5), controller(0x1912, 0x0015),
                             controller(0x8086, 0x15d4)})
        EXPECT_FALSE(legacyUSBPortTemplateKey(none).has_value()) << std::hex << none.deviceID;
    EXPECT_TRUE(legacyUSBPortTemplatePorts(controller(0x1b21, 0x3242)).isEmpty());
    EXPECT_FALSE(legacyUSBPortTemplate("8086_A36D").has_value());
}

TEST(ControllerNaming, ExpandsPortTemplates)
{
    const QList<USBPortMap> ports = legacyUSBPortTemplatePorts(controller(0x8086, 0x1e31));
    ASSERT_EQ(ports.size(), 8);
    EXPECT_EQ(ports.first().name, "HS01");
    EXPECT_EQ(ports.first().portData, QByteArray::fromHex("01000000"));
    EXPECT_EQ(ports.last().name, "SS04");
    EXPECT_EQ(ports.last().portData, QByteArray::fromHex("08000000"));
    for (const USBPortMap& port : ports) {
        EXPECT_EQ(port.location, "template");
        EXPECT_EQ(port.connector, 3);
        EXPECT_TRUE(port.comment.isEmpty() && port.activeDevice.isEmpty());
    }

    // Counts are the table's, not the highest port; a template may skip numbers.
    const auto pch = legacyUSBPortTemplate("8086_34ed");
    ASSERT_TRUE(pch.has_value());
    EXPECT_EQ(pch->count, 18u);
    EXPECT_EQ(pch->ports.back().port, 16u);
    const auto hs = legacyUSBPortTemplate("8086_02ed")->ports;
    EXPECT_EQ(hs[10].name, "SS01");
    EXPECT_EQ(hs[10].port, 13u);
}

} // namespace
} // namespace velkor
