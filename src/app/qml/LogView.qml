import QtQuick
import QtQuick.Controls

Rectangle {
    id: logView
    property string logText: ""

    radius: 12
    color: palette.base
    border.color: palette.mid

    ScrollView {
        id: scroller
        anchors.fill: parent
        ScrollBar.vertical.policy: ScrollBar.AlwaysOn

        TextArea {
            id: logArea
            objectName: "logArea"
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.Wrap
            padding: 12
            font.family: "monospace"
            font.pixelSize: 11
            text: logView.logText.length > 0 ? logView.logText : "No action has been run yet."
            color: logView.logText.length > 0 ? palette.text : palette.placeholderText
            background: null
            Accessible.name: "Log"
            // Keep the newest line in view while a run writes to the log.
            onTextChanged: cursorPosition = length
        }
    }
}
