import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

ApplicationWindow {
    id: window
    required property var collector

    width: 900
    height: 640
    minimumWidth: 820
    minimumHeight: 560
    visible: true
    title: "Velkor"

    Component.onCompleted: collector.prepareInitialChecks()

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 20
        spacing: 14

        RowLayout {
            Layout.fillWidth: true
            Label {
                text: "Velkor"
                font.pixelSize: 22
                font.bold: true
            }
            Item { Layout.fillWidth: true }
            StatusBadge {
                running: window.collector.isRunning
                completed: window.collector.lastZipURL !== ""
            }
        }

        Button {
            id: collectButton
            text: "Extract dumps + CPUFriend + ioreg.txt and create ZIP"
            enabled: !window.collector.isRunning
            onClicked: window.collector.startCollection()
            Accessible.name: text
        }

        Label {
            text: "Log"
            font.bold: true
        }

        LogView {
            Layout.fillWidth: true
            Layout.fillHeight: true
            logText: window.collector.logText
        }
    }
}
