import QtQuick
import Velkor
import QtQuick.Controls
import QtQuick.Layouts

// The About panel: icon, name, version texts and the credits.
Dialog {
    id: panel

    required property var menus
    property url iconSource
    property color secondaryColor: "gray"

    parent: Overlay.overlay
    anchors.centerIn: parent
    width: 360
    modal: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside

    onOpened: closeButton.forceActiveFocus()

    contentItem: ColumnLayout {
        spacing: 8
        Accessible.role: Accessible.Dialog
        Accessible.name: "About Velkor"

        Image {
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 12
            Layout.preferredWidth: 72
            Layout.preferredHeight: 72
            source: panel.iconSource
            sourceSize.width: 144
            sourceSize.height: 144
            smooth: true
            mipmap: true
            Accessible.ignored: true
        }
        Label {
            objectName: "aboutName"
            Layout.alignment: Qt.AlignHCenter
            text: panel.menus.applicationName
            font.pointSize: Theme.largeButton
            font.bold: true
        }
        Label {
            objectName: "aboutVersion"
            Layout.alignment: Qt.AlignHCenter
            text: "Version " + panel.menus.applicationVersion + " (" + panel.menus.buildVersion + ")"
            font.pointSize: Theme.caption
            color: panel.secondaryColor
        }
        Label {
            objectName: "aboutCredits"
            Layout.fillWidth: true
            Layout.leftMargin: 12
            Layout.rightMargin: 12
            Layout.bottomMargin: 4
            text: panel.menus.credits
            horizontalAlignment: Text.AlignHCenter
            wrapMode: Text.WordWrap
            font.pointSize: Theme.body
            color: panel.secondaryColor
        }
    }

    footer: DialogButtonBox {
        alignment: Qt.AlignHCenter
        SymbolButton {
            id: closeButton
            objectName: "aboutCloseButton"
            text: "Close"
            DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
        }
    }
}
