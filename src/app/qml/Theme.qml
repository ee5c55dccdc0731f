pragma Singleton
import QtQuick

// Text sizes and colour rules shared by the window's parts. Every size is a multiple of the
// desktop's own font, so a user who chose larger text gets a larger window text too; at the
// common 9-point default the title is 22 pixels and body text 12.
QtObject {
    readonly property font systemFont: Qt.application.font
    readonly property real base: systemFont.pointSize > 0 ? systemFont.pointSize
                                                          : Math.max(1, systemFont.pixelSize) * 0.75

    readonly property real title: base * 22 / 12
    readonly property real largeButton: base * 15 / 12
    readonly property real headline: base * 14 / 12
    readonly property real badge: base * 13 / 12
    readonly property real body: base
    readonly property real caption: base * 11 / 12

    // The colour a share t of the way from a to b.
    function mix(a, b, t) {
        return Qt.rgba(a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t)
    }

    // Relative luminance and contrast ratio as the accessibility guidelines define them. A
    // translucent colour counts as drawn over the background it is compared with.
    function luminance(c) {
        function channel(v) { return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4) }
        return 0.2126 * channel(c.r) + 0.7152 * channel(c.g) + 0.0722 * channel(c.b)
    }
    function over(c, background) {
        return Qt.rgba(c.r * c.a + background.r * (1 - c.a), c.g * c.a + background.g * (1 - c.a),
                       c.b * c.a + background.b * (1 - c.a), 1)
    }
    function contrast(foreground, background) {
        const a = luminance(over(foreground, background))
        const b = luminance(background)
        return (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05)
    }

    // Secondary text: the palette's own dimmed colour when it reads at 4.5:1 on every given
    // background, else the least step toward the main text colour that does. Opaque, as seen
    // on the first background.
    function readableSecondary(dimmed, text, backgrounds) {
        for (let step = 0; step <= 20; ++step) {
            const candidate = over(mix(dimmed, text, step / 20), backgrounds[0])
            if (backgrounds.every(background => contrast(candidate, background) >= 4.5))
                return candidate
        }
        return text
    }
}
