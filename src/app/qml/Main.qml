import QtQuick
import Velkor
import QtQuick.Controls
import QtQuick.Layouts

// Velkor's one window. Everything it shows follows the collector's properties; every action
// is one call on the collector or on the menus.
ApplicationWindow {
    id: window

    required property var collector
    required property var menus
    required property var presenter

    readonly property url iconSource: "qrc:/icons/velkor.png"
    readonly property color secondaryColor: Theme.readableSecondary(systemColours.placeholderText, systemColours.text,
                                                                     [systemColours.window, systemColours.base])
    readonly property bool running: collector.isRunning

    width: 980
    height: 720
    minimumWidth: 820
    minimumHeight: 560
    visible: true
    title: "Velkor"

    // The desktop's palette, light or dark, for every part of the window; the controls' style
    // would otherwise keep its own light colours while plain items follow the desktop.
    SystemPalette { id: systemColours; colorGroup: SystemPalette.Active }
    palette.window: systemColours.window
    palette.base: systemColours.base
    palette.alternateBase: systemColours.alternateBase
    palette.button: systemColours.button
    palette.highlight: systemColours.highlight
    palette.highlightedText: systemColours.highlightedText
    palette.light: systemColours.light
    palette.midlight: systemColours.midlight
    palette.mid: systemColours.mid
    palette.dark: systemColours.dark
    palette.shadow: systemColours.shadow
    palette.placeholderText: secondaryColor
    palette.toolTipBase: systemColours.base
    palette.toolTipText: systemColours.text
    // Text per colour group, so that one setting for every group cannot cover the disabled
    // one. Disabled text lies halfway to its background: plainly dimmed on any palette, which
    // the desktop's own disabled colours are not always.
    palette.active.windowText: systemColours.windowText
    palette.inactive.windowText: systemColours.windowText
    palette.disabled.windowText: Theme.mix(systemColours.windowText, systemColours.window, 0.55)
    palette.active.text: systemColours.text
    palette.inactive.text: systemColours.text
    palette.disabled.text: Theme.mix(systemColours.text, systemColours.base, 0.55)
    palette.active.buttonText: systemColours.buttonText
    palette.inactive.buttonText: systemColours.buttonText
    palette.disabled.buttonText: Theme.mix(systemColours.buttonText, systemColours.button, 0.55)

    Component.onCompleted: collector.prepareInitialChecks()

    // A menu entry that shows its key combination on the right, as desktop menus do.
    component MenuEntry: MenuItem {
        id: entry
        readonly property string keys: action && action.keys !== undefined ? action.keys : ""
        Accessible.name: text
        contentItem: RowLayout {
            spacing: 24
            Label {
                Layout.fillWidth: true
                text: entry.text
                font: entry.font
                color: entry.highlighted ? entry.palette.highlightedText : entry.palette.windowText
            }
            Label {
                objectName: "shortcutText"
                visible: entry.keys !== ""
                text: entry.keys
                font: entry.font
                color: entry.highlighted ? entry.palette.highlightedText : window.secondaryColor
            }
        }
    }

    // Help's key combination as it arrives from real keyboards: "?" is itself a shifted key,
    // so a press reads as Ctrl+? (any layout) and, on US keys, also as Ctrl+Shift+/; a platform
    // that reports the shift with the character gives Ctrl+Shift+?. A press that matches two of
    // them counts as "ambiguous" to Qt, yet every one means Help.
    Shortcut {
        id: helpKeys
        sequence: "Ctrl+Shift+?"
        context: Qt.ApplicationShortcut
        onActivated: helpAction.trigger()
        onActivatedAmbiguously: helpAction.trigger()
    }
    Shortcut {
        sequences: ["Ctrl+?", "Ctrl+Shift+/"]
        context: Qt.ApplicationShortcut
        onActivated: helpAction.trigger()
        onActivatedAmbiguously: helpAction.trigger()
    }
    Shortcut {
        id: quitKeys
        sequence: "Ctrl+Q"
        context: Qt.ApplicationShortcut
        onActivated: quitAction.trigger()
    }

    menuBar: MenuBar {
        Accessible.name: "Menu bar"
        delegate: MenuBarItem {
            Accessible.name: text.replace("&", "")
        }
        Menu {
            title: "&Velkor"
            delegate: MenuEntry {}
            Action {
                text: "About Velkor"
                onTriggered: window.menus.showAbout()
            }
            MenuSeparator {}
            Action {
                id: quitAction
                readonly property string keys: quitKeys.nativeText
                text: "Quit Velkor"
                onTriggered: Qt.quit()
            }
        }
        Menu {
            title: "&Help"
            delegate: MenuEntry {}
            Action {
                id: helpAction
                objectName: "helpAction"
                readonly property string keys: helpKeys.nativeText
                text: "Velkor Help"
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
                tileColor: window.palette.base
            }
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 4

                Label {
                    objectName: "titleLabel"
                    text: "Velkor"
                    font.pointSize: Theme.title
                    font.bold: true
                }
                Label {
                    Layout.fillWidth: true
                    text: "Extracts ACPI, native IORegistry text, CPUFriend power-management dump, system dumps and generates Portwright.kext with reinforced privacy. Only ACPI and CPUFriend-Dump stay in their own folders; ioreg.txt, Portwright.kext and all other dumps stay at the ZIP root."
                    wrapMode: Text.WordWrap
                    font.pointSize: Theme.body
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
                border.color: Qt.rgba(window.palette.mid.r, window.palette.mid.g, window.palette.mid.b, 0.6)

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
                            font.pointSize: Theme.headline
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
                font.pointSize: Theme.headline
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
            Layout.fillWidth: false
            Layout.maximumWidth: window.width - 40
            Layout.leftMargin: 20
            Layout.rightMargin: 20
            Layout.topMargin: 8
            Layout.bottomMargin: 8
            spacing: 18

            Label {
                text: window.menus.authorLine
                font.pointSize: Theme.caption
                color: window.secondaryColor
            }
            SymbolButton {
                objectName: "donateButton"
                text: "PayPal Donate"
                symbol: "heart.fill"
                symbolColor: "#ff2d55"
                font.pointSize: Theme.caption
                font.weight: Font.DemiBold
                leftPadding: 10
                rightPadding: 10
                enabled: !window.running
                onClicked: window.collector.openPayPalDonate()
            }
            Label {
                objectName: "outputLabel"
                // A long path gives way in its middle; the file name and the start stay.
                Layout.fillWidth: true
                Layout.maximumWidth: implicitWidth
                elide: Text.ElideMiddle
                text: "Output: " + window.presenter.archivePath
                font.pointSize: Theme.body
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
