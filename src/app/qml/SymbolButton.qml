import QtQuick
import QtQuick.Controls

// A push button with an optional pictogram before its label. Space presses it, as every
// button does, and so do Return and Enter while it has the keyboard focus.
Button {
    id: control

    property string symbol: ""
    // The pictogram's colour; the label's colour unless a button wants its own.
    property color symbolColor: contentColor
    readonly property color contentColor: highlighted && enabled ? palette.highlightedText : palette.buttonText

    Accessible.name: text
    focusPolicy: Qt.StrongFocus

    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()

    // The focus ring: two pixels of the accent colour, two pixels out from the button, so it
    // stands apart from the button's own border and fill on a light or a dark window.
    Rectangle {
        objectName: "focusRing"
        anchors.fill: parent
        anchors.margins: -4
        radius: 8
        color: "transparent"
        border.width: 2
        border.color: control.palette.highlight
        visible: control.visualFocus
    }

    contentItem: Item {
        implicitWidth: content.implicitWidth
        implicitHeight: content.implicitHeight

        Row {
            id: content
            anchors.centerIn: parent
            spacing: 6

            SymbolIcon {
                anchors.verticalCenter: parent.verticalCenter
                visible: control.symbol !== ""
                width: Math.round(labelText.implicitHeight * 0.9)
                height: width
                symbol: control.symbol
                color: control.symbolColor
                opacity: control.enabled ? 1 : 0.45
            }
            Text {
                id: labelText
                anchors.verticalCenter: parent.verticalCenter
                text: control.text
                font: control.font
                color: control.contentColor
            }
        }
    }
}
