import QtQuick
import Velkor
import QtQuick.Controls

// The run state at a glance: a coloured dot and one word.
Row {
    id: badge

    property bool running: false
    property bool completed: false
    property color secondaryColor: "gray"

    readonly property string label: running ? "Running" : (completed ? "Completed" : "Ready")
    readonly property color dotColor: running ? "#ff9500" : (completed ? "#34c759" : secondaryColor)

    spacing: 6
    Accessible.role: Accessible.StaticText
    Accessible.name: "Status: " + label

    Rectangle {
        objectName: "statusDot"
        anchors.verticalCenter: parent.verticalCenter
        width: 10
        height: 10
        radius: 5
        color: badge.dotColor
    }
    Label {
        objectName: "statusLabel"
        anchors.verticalCenter: parent.verticalCenter
        text: badge.label
        font.pointSize: Theme.badge
        font.weight: Font.DemiBold
    }
}
