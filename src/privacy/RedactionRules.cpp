#include "privacy/RedactionRules.h"

namespace velkor {

const std::vector<RedactionRule>& redactionRules()
{
    static const std::vector<RedactionRule> rules{
        {QStringLiteral(R"RX((?is)(<key>\s*(?:SerialNumber|Serial Number|serial_number|serial-number|BoardSerialNumber|board_serial_number|board-serial-number|SmUUID|CustomUUID|MLB|mlb|ROM|rom|SystemSerialNumber|system_serial_number|SystemUUID|system_uuid|Hardware UUID|hardware_uuid|HardwareAddress|IOPlatformUUID|IOPlatformSerialNumber|IOPlatformSystemSerialNumber|serial_number|system-id|platform-uuid|platform_UUID|provisioning_UDID|Provisioning UDID|IOPlatformSystemSerialNumber)\s*</key>\s*<(?:string|data)>).*?(</(?:string|data)>))RX"),
         QStringLiteral("$1XX-MASKED-XX$2")},
        {QStringLiteral(R"RX((?is)(<key>\s*(?:_items|_properties)\s*</key>\s*<array>.*?<dict>.*?<key>\s*_name\s*</key>\s*<string>\s*(?:Serial Number \(system\)|Hardware UUID|Provisioning UDID)\s*</string>.*?<key>\s*_value\s*</key>\s*<string>).*?(</string>))RX"),
         QStringLiteral("$1XX-MASKED-XX$2")},
        {QStringLiteral(R"RX((?im)^([ \t]*(?:Serial Number(?: \(system\))?|SerialNumber|serial_number|Hardware UUID|hardware_uuid|Provisioning UDID|provisioning_UDID|System UUID|SystemSerialNumber|SystemUUID|BoardSerialNumber|SmUUID|MLB|ROM|IOPlatformSerialNumber|IOPlatformUUID|IOPlatformSystemSerialNumber|platform_UUID)[ \t:=]+)[^\n]*$)RX"),
         QStringLiteral("$1XX-MASKED-XX")},
        {QStringLiteral(R"RX((?i)\b[A-F0-9]{8}-[A-F0-9]{4}-[A-F0-9]{4}-[A-F0-9]{4}-[A-F0-9]{12}\b)RX"),
         QStringLiteral("XX-MASKED-UUID")},
        {QStringLiteral(R"RX((?i)\b[0-9A-F]{2}(:[0-9A-F]{2}){5}\b)RX"), QStringLiteral("XX:XX:XX:XX:XX:XX")},
        {QStringLiteral(R"RX((?i)\b[0-9A-F]{2}(-[0-9A-F]{2}){5}\b)RX"), QStringLiteral("XX:XX:XX:XX:XX:XX")},
        {QStringLiteral(R"RX((?im)^([ \t]*(?:IOPlatformSerialNumber|serial-number|board-serial-number|serial_number|mlb|ROM|platform_UUID)[^\n:=]*[ \t:=]+).*$)RX"),
         QStringLiteral("$1XX-MASKED-XX")},
        {QStringLiteral(R"RX((?i)(Serial Number \(system\):\s*)[A-Z0-9]+)RX"), QStringLiteral("$1XX-MASKED-XX")},
        {QStringLiteral(R"RX((?i)(Hardware UUID:\s*)[A-F0-9-]+)RX"), QStringLiteral("$1XX-MASKED-UUID")},
        {QStringLiteral(R"RX((?i)(Provisioning UDID:\s*)[A-F0-9-]+)RX"), QStringLiteral("$1XX-MASKED-UUID")},
    };
    return rules;
}

namespace {
constexpr qsizetype kPropertyListRuleCount = 2;
} // namespace

const std::vector<RedactionRule>& propertyListRules()
{
    static const std::vector<RedactionRule> rules(redactionRules().begin(), redactionRules().begin() + kPropertyListRuleCount);
    return rules;
}

const std::vector<RedactionRule>& rulesAfterPropertyLists()
{
    static const std::vector<RedactionRule> rules(redactionRules().begin() + kPropertyListRuleCount, redactionRules().end());
    return rules;
}

} // namespace velkor
