import QtQuick
import QtQuick.Controls

// The window's main action: filled with the accent colour, white label, larger than the rest.
SymbolButton {
    id: control

    highlighted: true
    font.pixelSize: 15
    font.weight: Font.DemiBold
    topPadding: 9
    bottomPadding: 9
    leftPadding: 16
    rightPadding: 16

    background: Rectangle {
        implicitWidth: 120
        implicitHeight: 34
        radius: 6
        color: !control.enabled ? Qt.darker(control.palette.button, 1.08)
            : control.down ? Qt.darker(control.palette.highlight, 1.25)
            : control.hovered ? Qt.lighter(control.palette.highlight, 1.08)
            : control.palette.highlight
        border.width: control.visualFocus ? 2 : 1
        border.color: control.visualFocus ? Qt.darker(control.palette.highlight, 1.6)
            : Qt.darker(color, 1.2)
    }
}
