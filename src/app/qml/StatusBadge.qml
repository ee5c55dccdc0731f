import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

RowLayout {
    id: badge
    property bool running: false
    property bool completed: false

    readonly property string label: running ? "Running" : (completed ? "Completed" : "Ready")
    readonly property color dotColor: running ? "orange" : (completed ? "green" : palette.placeholderText)

    spacing: 6
    Accessible.name: label

    Rectangle {
        width: 10
        height: 10
        radius: 5
        color: badge.dotColor
    }
    Label {
        text: badge.label
        font.weight: Font.DemiBold
    }
}
