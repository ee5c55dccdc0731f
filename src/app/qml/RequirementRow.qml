import QtQuick
import Velkor
import QtQuick.Controls
import QtQuick.Layouts

// One line of the requirements list: a check mark or a warning, a title and a detail.
RowLayout {
    id: row

    property bool ok: true
    property string title: ""
    property string detail: ""
    property color secondaryColor: "gray"

    spacing: 10
    Accessible.role: Accessible.StaticText
    Accessible.name: title + (ok ? "" : " (missing)") + ": " + detail

    Item {
        Layout.preferredWidth: 20
        Layout.preferredHeight: 18
        Layout.alignment: Qt.AlignTop

        SymbolIcon {
            objectName: "requirementIcon"
            anchors.centerIn: parent
            width: 16
            height: 16
            symbol: row.ok ? "checkmark.circle.fill" : "exclamationmark.triangle.fill"
            color: row.ok ? "#34c759" : "#ff9500"
        }
    }

    ColumnLayout {
        Layout.fillWidth: true
        Layout.alignment: Qt.AlignTop
        spacing: 2

        Label {
            text: row.title
            font.pointSize: Theme.body
            font.weight: Font.DemiBold
        }
        TextEdit {
            objectName: "requirementDetail"
            Layout.fillWidth: true
            text: row.detail
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.WrapAtWordBoundaryOrAnywhere
            font.pointSize: Theme.caption
            color: row.secondaryColor
            selectionColor: palette.highlight
            selectedTextColor: palette.highlightedText
            activeFocusOnTab: false
            Accessible.name: row.title
        }
    }
}
