#include "audit/IdentifierSet.h"
#include "audit/MsdmTable.h"
#include "audit/MultiPatternSearch.h"
#include "support/QtPrinters.h"

#include <gtest/gtest.h>

using namespace velkor;

TEST(MultiPatternSearch, FindsOverlappingPatternsInAnyCase)
{
    MultiPatternSearch search;
    search.addPattern("abcd");
    search.addPattern("bc");
    search.addPattern("cdx");
    search.build();
    const auto matches = search.findAll("xxABCDX bc");
    std::vector<std::pair<int, qsizetype>> found;
    for (const auto& match : matches)
        found.emplace_back(match.pattern, match.start);
    EXPECT_EQ(found, (std::vector<std::pair<int, qsizetype>>{{1, 3}, {0, 2}, {2, 4}, {1, 8}}));
}

TEST(IdentifierSet, DropsValuesThatIdentifyNobody)
{
    const IdentifierSet set({{IdentifierKind::SerialNumber, "To Be Filled By O.E.M."},
                             {IdentifierKind::SerialNumber, "Default string"},
                             {IdentifierKind::SerialNumber, "000000000000"},
                             {IdentifierKind::SerialNumber, "abc"},
                             {IdentifierKind::MACAddress, "00:00:00:00:00:00"},
                             {IdentifierKind::MACAddress, "ff:ff:ff:ff:ff:ff"},
                             {IdentifierKind::LoginName, "root"},
                             {IdentifierKind::UUID, "03000200-0400-0500-0006-000700080009"},
                             {IdentifierKind::MACAddress, "02:FC:00:00:00:01"},
                             {IdentifierKind::MACAddress, "02-fc-00-00-00-01"},
                             {IdentifierKind::SerialNumber, "C02N42J7G3QC"}});
    ASSERT_EQ(set.identifiers().size(), 3u);
    EXPECT_EQ(set.identifiers()[0].kind, IdentifierKind::UUID);
    EXPECT_EQ(set.identifiers()[1].kind, IdentifierKind::MACAddress);
    EXPECT_EQ(set.identifiers()[2].value, "C02N42J7G3QC");
}

TEST(IdentifierSet, MasksWholeTokensOnly)
{
    const IdentifierSet set({{IdentifierKind::LoginName, "alice"},
                             {IdentifierKind::MACAddress, "02:fc:00:00:00:01"},
                             {IdentifierKind::SerialNumber, "QM00001STICK"}});
    std::vector<int> counts;
    const QString masked = maskIdentifiersInText(
        "home=/home/alice/Desktop malice Alicetown ALICE\nmac 02FC00000001 02-FC-00-00-00-01 x02fc00000001y\nserial=qm00001stick",
        set, &counts);
    EXPECT_EQ(masked, "home=/home/XX-MASKED-XX/Desktop malice Alicetown XX-MASKED-XX\n"
                      "mac XX:XX:XX:XX:XX:XX XX:XX:XX:XX:XX:XX x02fc00000001y\nserial=XX-MASKED-XX");
    EXPECT_EQ(counts, (std::vector<int>{2, 2, 1}));
}

TEST(MsdmTable, KeyBecomesXAndTheChecksumStillSumsToZero)
{
    QByteArray table(85, '\0');
    table.replace(0, 4, "MSDM");
    table[4] = char(85);
    table.replace(10, 6, "ALASKA");
    const QByteArray key = "ABCDE-FGHIJ-KLMNO-PQRST-UVWXY";
    table.replace(56, 29, key);
    uint8_t sum = 0;
    for (char byte : table)
        sum = uint8_t(sum + uint8_t(byte));
    table[9] = char(uint8_t(0x100 - sum));

    EXPECT_EQ(msdmProductKey(table), key);
    QByteArray cleaned = table;
    ASSERT_TRUE(removeMsdmProductKey(cleaned));
    EXPECT_EQ(cleaned.mid(56, 29), QByteArray(29, 'X'));
    EXPECT_EQ(cleaned.left(9), table.left(9));
    EXPECT_EQ(cleaned.mid(10, 46), table.mid(10, 46));
    uint8_t after = 0;
    for (char byte : cleaned)
        after = uint8_t(after + uint8_t(byte));
    EXPECT_EQ(after, 0);

    QByteArray shortTable = table.left(60);
    shortTable[4] = char(60);
    EXPECT_FALSE(removeMsdmProductKey(shortTable));
    QByteArray dsdt = table;
    dsdt.replace(0, 4, "DSDT");
    EXPECT_FALSE(removeMsdmProductKey(dsdt));
    EXPECT_EQ(dsdt.mid(56, 29), key);
}
