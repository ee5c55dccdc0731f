import QtQuick
import Velkor
import QtQuick.Controls
import QtQuick.Layouts

// The Help alert: what the program collects and what it masks, with one "OK" button.
Dialog {
    id: alert

    required property var menus
    property url iconSource

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 460
    modal: true
    closePolicy: Popup.CloseOnEscape

    onOpened: okButton.forceActiveFocus()

    contentItem: RowLayout {
        spacing: 14
        Accessible.role: Accessible.AlertMessage
        Accessible.name: alert.menus.helpTitle

        Image {
            Layout.alignment: Qt.AlignTop
            Layout.topMargin: 8
            Layout.leftMargin: 8
            Layout.preferredWidth: 52
            Layout.preferredHeight: 52
            source: alert.iconSource
            sourceSize.width: 104
            sourceSize.height: 104
            smooth: true
            mipmap: true
            Accessible.ignored: true
        }
        ColumnLayout {
            Layout.fillWidth: true
            Layout.topMargin: 8
            Layout.rightMargin: 8
            spacing: 8

            Label {
                objectName: "helpTitle"
                text: alert.menus.helpTitle
                font.pointSize: Theme.badge
                font.bold: true
            }
            Label {
                objectName: "helpText"
                Layout.fillWidth: true
                text: alert.menus.helpText
                wrapMode: Text.WordWrap
                font.pointSize: Theme.body
            }
        }
    }

    footer: DialogButtonBox {
        alignment: Qt.AlignRight
        ProminentButton {
            id: okButton
            objectName: "helpOkButton"
            text: "OK"
            font.pointSize: Theme.badge
            topPadding: 5
            bottomPadding: 5
            leftPadding: 22
            rightPadding: 22
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
    }
}
