import QtQuick

// The application icon on a glassy tile that slowly breathes: it grows a little and its
// accent glow brightens, then it settles again, for as long as the window is open.
Item {
    id: header

    property url source
    property color accentColor: "#3b6fd8"
    property bool breathing: false
    // 0 at rest, 1 fully breathed in; every animated value follows it.
    property real phase: 0

    readonly property real glowOpacity: 0.22 + (0.52 - 0.22) * phase
    readonly property real shadowOpacity: 0.16 + (0.42 - 0.16) * phase
    readonly property real outlineOpacity: 0.14 + (0.32 - 0.14) * phase
    readonly property real imageSize: 57 + (61 - 57) * phase

    implicitWidth: 72
    implicitHeight: 72
    scale: 0.985 + (1.025 - 0.985) * phase
    Accessible.role: Accessible.Graphic
    Accessible.name: "Velkor"

    SequentialAnimation on phase {
        running: header.breathing
        loops: Animation.Infinite
        NumberAnimation { from: 0; to: 1; duration: 1800; easing.type: Easing.InOutQuad }
        NumberAnimation { from: 1; to: 0; duration: 1800; easing.type: Easing.InOutQuad }
    }

    Component.onCompleted: breathing = true

    // Accent shadow, below and slightly offset.
    Rectangle {
        anchors.centerIn: parent
        anchors.verticalCenterOffset: 3
        width: 70
        height: 70
        radius: 18
        color: header.accentColor
        opacity: header.shadowOpacity * 0.5
    }

    // Accent glow: rings that fade outward around the tile.
    Repeater {
        model: 4
        Rectangle {
            required property int index
            anchors.centerIn: parent
            width: 70 + 2 * (index + 1)
            height: width
            radius: 18 + index + 1
            color: "transparent"
            border.width: 2
            border.color: header.accentColor
            opacity: header.glowOpacity * (1 - index / 4) * 0.6
        }
    }

    // The tile: a thin translucent material with a white outline.
    Rectangle {
        anchors.centerIn: parent
        width: 70
        height: 70
        radius: 18
        gradient: Gradient {
            GradientStop { position: 0; color: Qt.rgba(1, 1, 1, 0.70) }
            GradientStop { position: 1; color: Qt.rgba(1, 1, 1, 0.45) }
        }
        border.width: 1
        border.color: Qt.rgba(1, 1, 1, header.outlineOpacity)
    }

    Image {
        objectName: "headerIconImage"
        anchors.centerIn: parent
        width: header.imageSize
        height: header.imageSize
        source: header.source
        sourceSize.width: 128
        sourceSize.height: 128
        fillMode: Image.PreserveAspectFit
        smooth: true
        mipmap: true
    }
}
