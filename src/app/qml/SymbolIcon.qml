import QtQuick

// A small filled or outlined pictogram drawn on a 16-unit grid, tinted with one colour.
// Cut-outs are transparent, so a symbol reads on any background.
Canvas {
    id: icon

    property string symbol: ""
    property color color: "black"

    implicitWidth: 16
    implicitHeight: 16
    Accessible.ignored: true

    onSymbolChanged: requestPaint()
    onColorChanged: requestPaint()
    onWidthChanged: requestPaint()
    onHeightChanged: requestPaint()

    function roundedRect(ctx, x, y, w, h, r) {
        ctx.beginPath()
        ctx.moveTo(x + r, y)
        ctx.arcTo(x + w, y, x + w, y + h, r)
        ctx.arcTo(x + w, y + h, x, y + h, r)
        ctx.arcTo(x, y + h, x, y, r)
        ctx.arcTo(x, y, x + w, y, r)
        ctx.closePath()
    }

    onPaint: {
        const ctx = getContext("2d")
        ctx.reset()
        // Clearing marks the whole canvas as changed; path fills alone can leave it blank
        // under the software scene graph.
        ctx.clearRect(0, 0, width, height)
        ctx.scale(width / 16, height / 16)
        ctx.fillStyle = icon.color
        ctx.strokeStyle = icon.color
        ctx.lineCap = "round"
        ctx.lineJoin = "round"

        switch (icon.symbol) {
        case "checkmark.circle.fill":
            ctx.beginPath()
            ctx.arc(8, 8, 7.5, 0, 2 * Math.PI)
            ctx.fill()
            ctx.globalCompositeOperation = "destination-out"
            ctx.lineWidth = 1.9
            ctx.beginPath()
            ctx.moveTo(4.6, 8.3)
            ctx.lineTo(7, 10.7)
            ctx.lineTo(11.4, 5.6)
            ctx.stroke()
            break
        case "exclamationmark.triangle.fill":
            ctx.lineWidth = 1.6
            ctx.beginPath()
            ctx.moveTo(8, 1.3)
            ctx.lineTo(15, 14.2)
            ctx.lineTo(1, 14.2)
            ctx.closePath()
            ctx.fill()
            ctx.stroke()
            ctx.globalCompositeOperation = "destination-out"
            roundedRect(ctx, 7.1, 5, 1.8, 5.6, 0.9)
            ctx.fill()
            ctx.beginPath()
            ctx.arc(8, 12.5, 1.05, 0, 2 * Math.PI)
            ctx.fill()
            break
        case "archivebox.fill":
            roundedRect(ctx, 1, 1.8, 14, 3.6, 1)
            ctx.fill()
            ctx.beginPath()
            ctx.moveTo(2, 6.4)
            ctx.lineTo(14, 6.4)
            ctx.lineTo(14, 13.2)
            ctx.arcTo(14, 14.5, 12.7, 14.5, 1.3)
            ctx.lineTo(3.3, 14.5)
            ctx.arcTo(2, 14.5, 2, 13.2, 1.3)
            ctx.closePath()
            ctx.fill()
            ctx.globalCompositeOperation = "destination-out"
            roundedRect(ctx, 5.5, 8.2, 5, 1.6, 0.8)
            ctx.fill()
            break
        case "folder.fill":
            ctx.beginPath()
            ctx.moveTo(1, 4)
            ctx.arcTo(1, 2.5, 2.5, 2.5, 1.2)
            ctx.lineTo(5.8, 2.5)
            ctx.lineTo(7.4, 4.2)
            ctx.lineTo(13.6, 4.2)
            ctx.arcTo(15, 4.2, 15, 5.6, 1.2)
            ctx.lineTo(15, 12.6)
            ctx.arcTo(15, 14, 13.6, 14, 1.2)
            ctx.lineTo(2.4, 14)
            ctx.arcTo(1, 14, 1, 12.6, 1.2)
            ctx.closePath()
            ctx.fill()
            break
        case "trash":
            ctx.lineWidth = 1.3
            ctx.beginPath()
            ctx.moveTo(1.8, 3.6)
            ctx.lineTo(14.2, 3.6)
            ctx.moveTo(6, 3.4)
            ctx.lineTo(6, 1.8)
            ctx.lineTo(10, 1.8)
            ctx.lineTo(10, 3.4)
            ctx.moveTo(3.4, 3.8)
            ctx.lineTo(4.3, 14.3)
            ctx.lineTo(11.7, 14.3)
            ctx.lineTo(12.6, 3.8)
            ctx.moveTo(6.5, 6.2)
            ctx.lineTo(6.7, 11.8)
            ctx.moveTo(9.5, 6.2)
            ctx.lineTo(9.3, 11.8)
            ctx.stroke()
            break
        case "heart.fill":
            ctx.beginPath()
            ctx.moveTo(8, 14.3)
            ctx.bezierCurveTo(3, 10.6, 1, 8.2, 1, 5.4)
            ctx.bezierCurveTo(1, 3.3, 2.6, 1.8, 4.5, 1.8)
            ctx.bezierCurveTo(6, 1.8, 7.3, 2.7, 8, 4)
            ctx.bezierCurveTo(8.7, 2.7, 10, 1.8, 11.5, 1.8)
            ctx.bezierCurveTo(13.4, 1.8, 15, 3.3, 15, 5.4)
            ctx.bezierCurveTo(15, 8.2, 13, 10.6, 8, 14.3)
            ctx.closePath()
            ctx.fill()
            break
        }
    }
}
