import QtQuick
import Velkor
import QtQuick.Controls

// The window's main action: filled with the accent colour, white label, larger than the rest.
SymbolButton {
    id: control

    highlighted: true
    font.pointSize: Theme.largeButton
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
        border.color: Qt.darker(color, 1.2)
    }
}
