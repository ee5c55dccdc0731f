import QtQuick
import Velkor
import QtQuick.Controls

// The run log: selectable monospaced text that follows the newest line.
Rectangle {
    id: logView

    property string logText: ""
    property color secondaryColor: "gray"

    radius: 12
    color: palette.base
    border.color: palette.mid
    clip: true

    Flickable {
        id: flickable
        objectName: "logFlickable"
        anchors.fill: parent
        anchors.margins: 1
        contentWidth: width
        contentHeight: logArea.height
        boundsBehavior: Flickable.StopAtBounds
        clip: true

        ScrollBar.vertical: ScrollBar {
            id: scrollBar
            policy: ScrollBar.AlwaysOn
            Accessible.name: "Log scroll bar"
        }

        TextEdit {
            id: logArea
            objectName: "logArea"
            width: flickable.width - scrollBar.width
            padding: 12
            readOnly: true
            selectByMouse: true
            activeFocusOnTab: false
            // A read-only text still claims every shortcut while it has the focus, which would
            // leave the window's own keys (Quit, Help) dead after a click into the log; it keeps
            // only those it acts on.
            Keys.onShortcutOverride: (event) => {
                event.accepted = event.matches(StandardKey.Copy) || event.matches(StandardKey.SelectAll)
            }
            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
            font.family: "monospace"
            font.pointSize: Theme.caption
            text: logView.logText.length > 0 ? logView.logText : "No action has been run yet."
            color: logView.logText.length > 0 ? palette.text : logView.secondaryColor
            selectionColor: palette.highlight
            selectedTextColor: palette.highlightedText
            Accessible.name: "Log"
        }
    }

    NumberAnimation {
        id: scrollAnimation
        target: flickable
        property: "contentY"
        duration: 180
        easing.type: Easing.OutQuad
    }

    // Brings the end of the text to the bottom edge; short logs stay at the top.
    function scrollToEnd() {
        const bottom = Math.max(0, flickable.contentHeight - flickable.height)
        scrollAnimation.stop()
        if (flickable.contentY === bottom)
            return
        scrollAnimation.from = flickable.contentY
        scrollAnimation.to = bottom
        scrollAnimation.start()
    }

    // The text's new height is known only after layout, so scroll on the next turn.
    onLogTextChanged: Qt.callLater(scrollToEnd)
}
