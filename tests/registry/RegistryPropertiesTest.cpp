#include "registry/RegistryProperties.h"

#include "support/QtPrinters.h"

#include <QVariantHash>
#include <gtest/gtest.h>

#include <limits>

using namespace velkor;

namespace {

const RegistryProperties kProperties(QVariantMap{
    {"text", "Mini"},
    {"empty", ""},
    {"data", QByteArray("iMac18,3\0junk", 13)},
    {"only NUL", QByteArray("\0", 1)},
    {"not UTF-8", QByteArray("\xff\xfe\0", 3)},
    {"hex", " 0x1F "},
    {"upper X", "0X1F"},
    {"decimal", "42"},
    {"bare", "0x"},
    {"too large", "9223372036854775808"},
    {"smallest", "-9223372036854775808"},
    {"two bytes", QByteArray::fromHex("0501")},
    {"number", qint64(7)},
    {"beyond 32 bits", qint64(1) << 40},
    {"negative", qint64(-1)},
    {"largest unsigned", QVariant::fromValue(std::numeric_limits<quint64>::max())},
    {"fraction", 3.7},
    {"flag", true},
    {"map", QVariantMap{{"k", 1}}},
    {"hash", QVariantHash{{"k", 1}}},
});

} // namespace

TEST(RegistryProperties, TextFromTextOrData)
{
    const struct {
        const char* key;
        const char* expected;
    } cases[] = {{"text", "Mini"}, {"data", "iMac18,3"}, {"empty", "-"},  {"only NUL", "-"},
                 {"not UTF-8", "-"}, {"number", "-"},      {"missing", "-"}};
    for (const auto& c : cases)
        EXPECT_EQ(kProperties.text(c.key, "-"), c.expected) << c.key;
}

TEST(RegistryProperties, NumbersFromNumbersBytesAndText)
{
    const struct {
        const char* key;
        std::optional<qint64> expected;
    } cases[] = {
        {"hex", 31},       {"upper X", std::nullopt}, {"decimal", 42}, {"bare", std::nullopt}, {"empty", std::nullopt},
        {"too large", std::nullopt}, {"smallest", std::numeric_limits<qint64>::min()}, {"two bytes", 261},
        {"number", 7},     {"largest unsigned", -1},  {"fraction", 3}, {"flag", std::nullopt}, {"map", std::nullopt},
        {"missing", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kProperties.number(c.key), c.expected) << c.key;
}

TEST(RegistryProperties, BytesDictionariesAndLittleEndian)
{
    EXPECT_EQ(kProperties.bytes("two bytes"), QByteArray::fromHex("0501"));
    EXPECT_EQ(kProperties.bytes("number"), QByteArray::fromHex("07000000"));
    for (const char* unusable : {"beyond 32 bits", "negative", "decimal", "missing"})
        EXPECT_FALSE(kProperties.bytes(unusable).has_value()) << unusable;

    EXPECT_EQ(kProperties.dictionary("map"), (QVariantMap{{"k", 1}}));
    EXPECT_EQ(kProperties.dictionary("hash"), (QVariantMap{{"k", 1}}));
    EXPECT_TRUE(kProperties.dictionary("text").isEmpty());

    EXPECT_EQ(littleEndianValue(QByteArray::fromHex("0501")), 261u);
    EXPECT_EQ(littleEndianValue(QByteArray::fromHex("01000000ffff")), 1u);
    EXPECT_EQ(littleEndianValue(QByteArray()), 0u);
    EXPECT_EQ(littleEndianBytes(0x04030201), QByteArray::fromHex("01020304"));
}
