#pragma once

#include "support/TestFiles.h"

#include <QDir>
#include <QStringList>

namespace velkor::testing {

// The identifiers of the machine the tests run on, with stand-ins where it has none (a
// virtual machine without DMI), so the privacy checks always have something to look for.
struct MachineIdentifiers {
    QString serial;
    QString uuid;
    QStringList macs;

    static MachineIdentifiers ofThisMachine()
    {
        MachineIdentifiers ids;
        ids.serial = readText("/sys/class/dmi/id/product_serial").trimmed();
        ids.uuid = readText("/sys/class/dmi/id/product_uuid").trimmed();
        // Short or placeholder values would be found in any text; they identify nothing.
        if (ids.serial.size() < 6 || ids.serial.contains(' '))
            ids.serial = "C02XK1ZZJGH5";
        if (ids.uuid.size() != 36)
            ids.uuid = "4C4C4544-0042-3510-8052-B4C04F4D4D32";
        const QDir net("/sys/class/net");
        for (const QString& interface : net.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
            const QString mac = readText(net.filePath(interface + "/address")).trimmed();
            if (mac.size() == 17 && mac != "00:00:00:00:00:00" && !ids.macs.contains(mac))
                ids.macs << mac;
        }
        if (ids.macs.isEmpty())
            ids.macs << "b4:2e:99:aa:bb:cc";
        return ids;
    }

    // What a tool could print about them, in the forms the tools use.
    QString asToolOutput() const
    {
        QString text = "Hardware Overview:\n      Serial Number (system): " + serial + "\n      Hardware UUID: " + uuid + "\n"
            + "<key>IOPlatformSerialNumber</key>\n<string>" + serial + "</string>\n<key>platform_UUID</key><string>" + uuid
            + "</string>\nroot=UUID=" + uuid.toLower() + " quiet\n";
        for (const QString& mac : macs)
            text += "link/ether " + mac + " brd ff:ff:ff:ff:ff:ff\nHWaddr " + QString(mac).replace(':', '-').toUpper() + "\n";
        return text;
    }

    // The identifiers found in a text, in any case and with either MAC separator.
    QStringList foundIn(const QString& text) const
    {
        QStringList found;
        for (const QString& value : QStringList{serial, uuid})
            if (text.contains(value, Qt::CaseInsensitive))
                found << value;
        for (const QString& mac : macs)
            if (text.contains(mac, Qt::CaseInsensitive) || text.contains(QString(mac).replace(':', '-'), Qt::CaseInsensitive))
                found << mac;
        return found;
    }
};

} // namespace velkor::testing
