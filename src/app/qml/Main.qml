import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Velkor's one window. Everything it shows follows the collector's properties; every action
// is one call on the collector or on the menus.
ApplicationWindow {
    id: window

    required property var collector
    required property var menus

    readonly property url iconSource: "qrc:/icons/velkor.png"
    readonly property color secondaryColor: palette.placeholderText
    readonly property bool running: collector.isRunning

    width: 980
    height: 720
    minimumWidth: 820
    minimumHeight: 560
    visible: true
    title: "Velkor"

    Component.onCompleted: collector.prepareInitialChecks()

    menuBar: MenuBar {
        Accessible.name: "Menu bar"
        delegate: MenuBarItem {
            Accessible.name: text.replace("&", "")
        }
        Menu {
            title: "&Velkor"
            Action {
                text: "About Velkor"
                onTriggered: window.menus.showAbout()
            }
            MenuSeparator {}
            Action {
                text: "Quit Velkor"
                shortcut: StandardKey.Quit
                onTriggered: Qt.quit()
            }
        }
        Menu {
            title: "&Help"
            Action {
                objectName: "helpAction"
                text: "Velkor Help"
                shortcut: "Ctrl+Shift+?"
                onTriggered: window.menus.showHelp()
            }
        }
    }

    Connections {
        target: window.menus
        function onAboutRequested() { aboutPanel.open() }
        function onHelpRequested() { helpAlert.open() }
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        // Header: icon, title and description, the run state on the right.
        RowLayout {
            Layout.fillWidth: true
            Layout.margins: 20
            spacing: 14

            AnimatedHeaderIcon {
                objectName: "headerIcon"
                source: window.iconSource
                accentColor: window.palette.highlight
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4

                Label {
                    text: "Velkor"
                    font.pixelSize: 22
                    font.bold: true
                }
                Label {
                    Layout.fillWidth: true
                    text: "Extracts ACPI, native IORegistry text, CPUFriend power-management dump, system dumps and generates Portwright.kext with reinforced privacy. Only ACPI and CPUFriend-Dump stay in their own folders; ioreg.txt, Portwright.kext and all other dumps stay at the ZIP root."
                    wrapMode: Text.WordWrap
                    font.pixelSize: 12
                    color: window.secondaryColor
                }
            }
            StatusBadge {
                objectName: "statusBadge"
                Layout.leftMargin: 8
                running: window.collector.isRunning
                completed: window.collector.lastZipURL !== ""
                secondaryColor: window.secondaryColor
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: window.palette.mid
        }

        // Main panel: requirements, actions, the log.
        ColumnLayout {
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.margins: 20
            spacing: 12

            Rectangle {
                objectName: "requirementsCard"
                Layout.fillWidth: true
                // The whole list when the window has room; in a short window the list scrolls
                // inside the card, so the actions and some log lines stay in view.
                Layout.fillHeight: true
                Layout.preferredHeight: requirements.implicitHeight + 28
                Layout.maximumHeight: requirements.implicitHeight + 28
                Layout.minimumHeight: 96
                radius: 14
                color: window.palette.base
                border.color: Qt.rgba(0, 0, 0, 0.08)

                Flickable {
                    id: cardScroller
                    objectName: "requirementsScroller"
                    anchors.fill: parent
                    anchors.margins: 14
                    anchors.rightMargin: cardScrollBar.visible ? 4 : 14
                    contentWidth: width
                    contentHeight: requirements.implicitHeight
                    boundsBehavior: Flickable.StopAtBounds
                    interactive: contentHeight > height
                    clip: true

                    ScrollBar.vertical: ScrollBar {
                        id: cardScrollBar
                        visible: cardScroller.interactive
                        policy: ScrollBar.AlwaysOn
                        Accessible.name: "Requirements scroll bar"
                    }

                    ColumnLayout {
                        id: requirements
                        width: cardScroller.width - (cardScrollBar.visible ? cardScrollBar.width + 6 : 0)
                        spacing: 8

                        Label {
                            text: "Requirements"
                            font.pixelSize: 14
                            font.weight: Font.DemiBold
                        }
                        RequirementRow {
                            objectName: "requirementPatchmatic"
                            Layout.fillWidth: true
                            ok: window.collector.patchmaticFound
                            title: "patchmatic"
                            detail: window.collector.patchmaticPath !== "" ? window.collector.patchmaticPath
                                : "Bundled in Contents/Resources/Tools, or place it in /usr/local/bin, /opt/homebrew/bin, ~/Desktop, or next to the app."
                            secondaryColor: window.secondaryColor
                        }
                        RequirementRow {
                            Layout.fillWidth: true
                            title: "Privacy"
                            detail: "Before creating the ZIP, the app masks serials, UUID, MLB, ROM, MAC addresses, serial_number, platform_UUID, Provisioning UDID and equivalent keys."
                            secondaryColor: window.secondaryColor
                        }
                        RequirementRow {
                            Layout.fillWidth: true
                            title: "IORegistry text"
                            detail: "Generates ioreg.txt directly from live IOKit data. It does not open external registry apps, does not save .ioreg and does not request Automation access."
                            secondaryColor: window.secondaryColor
                        }
                        RequirementRow {
                            Layout.fillWidth: true
                            title: "Portwright.kext"
                            detail: "Generates native dynamic Portwright.kext from live IOKit IORegistry data. It is independent of any saved .ioreg file."
                            secondaryColor: window.secondaryColor
                        }
                        RequirementRow {
                            Layout.fillWidth: true
                            title: "CPUFriend-Dump"
                            detail: "Adds CPUFriend/XCPM/FrequencyVectors diagnostics inside SendToZantro.zip under CPUFriend-Dump, without creating a separate Desktop ZIP."
                            secondaryColor: window.secondaryColor
                        }
                    }
                }
            }

            RowLayout {
                spacing: 10

                ProminentButton {
                    objectName: "collectButton"
                    Layout.minimumWidth: 285
                    text: "Extract dumps + CPUFriend + ioreg.txt and create ZIP"
                    symbol: "archivebox.fill"
                    focus: true
                    enabled: !window.running
                    onClicked: window.collector.startCollection()
                }
                SymbolButton {
                    objectName: "openZipButton"
                    text: "Open ZIP"
                    symbol: "folder.fill"
                    leftPadding: 12
                    rightPadding: 12
                    enabled: window.collector.lastZipURL !== "" && !window.running
                    onClicked: window.collector.openDesktopZip()
                }
                SymbolButton {
                    objectName: "clearLogButton"
                    text: "Clear log"
                    symbol: "trash"
                    leftPadding: 12
                    rightPadding: 12
                    enabled: !window.running
                    onClicked: window.collector.clearLog()
                }
            }

            Label {
                text: "Log"
                font.pixelSize: 14
                font.weight: Font.DemiBold
            }
            LogView {
                objectName: "logView"
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.minimumHeight: 96
                Layout.preferredHeight: 96
                logText: window.collector.logText
                secondaryColor: window.secondaryColor
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 1
            color: window.palette.mid
        }

        // Footer: credit, donation, where the archive goes.
        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 18

            Label {
                text: window.menus.authorLine
                font.pixelSize: 11
                color: window.secondaryColor
            }
            SymbolButton {
                objectName: "donateButton"
                text: "PayPal Donate"
                symbol: "heart.fill"
                symbolColor: "#ff2d55"
                font.pixelSize: 11
                font.weight: Font.DemiBold
                leftPadding: 10
                rightPadding: 10
                enabled: !window.running
                onClicked: window.collector.openPayPalDonate()
            }
            Label {
                objectName: "outputLabel"
                text: "Output: " + window.collector.outputLocation
                font.pixelSize: 12
                color: window.secondaryColor
            }
        }
    }

    AboutPanel {
        id: aboutPanel
        objectName: "aboutPanel"
        menus: window.menus
        iconSource: window.iconSource
        secondaryColor: window.secondaryColor
    }

    HelpAlert {
        id: helpAlert
        objectName: "helpAlert"
        menus: window.menus
        iconSource: window.iconSource
    }
}
