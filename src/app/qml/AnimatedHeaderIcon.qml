import QtQuick

// The application icon on a glassy tile that slowly breathes: it grows a little and its
// accent glow brightens, then it settles again, for as long as the window is open.
Item {
    id: header

    property url source
    property color accentColor: "#3b6fd8"
    property color tileColor: "white"
    property bool breathing: false
    // 0 at rest, 1 fully breathed in; every animated value follows it.
    property real phase: 0
    // Where in the 3.6 s breath the icon is, in milliseconds.
    property real clock: 0

    // Twenty steps a second keep the slow swing smooth and the window nearly idle; the breath
    // stops while nobody can see it.
    readonly property int frameInterval: 50
    readonly property bool shown: visible && Window.window !== null && Window.window.visible
                                  && Window.window.visibility !== Window.Minimized
                                  && Window.window.visibility !== Window.Hidden
    readonly property bool animating: breathTimer.running

    readonly property real glowOpacity: 0.22 + (0.52 - 0.22) * phase
    readonly property real shadowOpacity: 0.16 + (0.42 - 0.16) * phase
    readonly property real outlineOpacity: 0.14 + (0.32 - 0.14) * phase
    readonly property real imageSize: 57 + (61 - 57) * phase

    implicitWidth: 72
    implicitHeight: 72
    scale: 0.985 + (1.025 - 0.985) * phase
    Accessible.role: Accessible.Graphic
    Accessible.name: "Velkor"

    // In over 1.8 s, out over 1.8 s, easing in and out each way.
    function phaseAt(ms) {
        const u = (ms % 3600) / 1800
        const t = u <= 1 ? u : 2 - u
        return t < 0.5 ? 2 * t * t : 1 - Math.pow(-2 * t + 2, 2) / 2
    }

    Timer {
        id: breathTimer
        interval: header.frameInterval
        repeat: true
        running: header.breathing && header.shown
        onTriggered: {
            header.clock = (header.clock + interval) % 3600
            header.phase = header.phaseAt(header.clock)
        }
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
            GradientStop { position: 0; color: Qt.rgba(header.tileColor.r, header.tileColor.g, header.tileColor.b, 0.70) }
            GradientStop { position: 1; color: Qt.rgba(header.tileColor.r, header.tileColor.g, header.tileColor.b, 0.45) }
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
