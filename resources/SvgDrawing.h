#pragma once

#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

namespace nimo::images {

// An SVG drawn to fill exactly these device pixels, as the client has always drawn its images.
inline QImage svgDrawing(QSvgRenderer& renderer, QSize pixels) {
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(pixels)));
    return image;
}

} // namespace nimo::images
