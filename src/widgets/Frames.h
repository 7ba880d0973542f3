#pragma once

#include <QRect>
#include <QRectF>

class QWidget;

namespace nimo {

// Layouts give frames with the origin at the bottom left of the parent; Qt's origin is the top
// left. Every view converts through these.
QRect qtRectFromFrame(const QRectF& frame, qreal parentHeight);
QRectF frameFromQtRect(const QRect& rect, qreal parentHeight);

// Places view at frame inside its parent (a view without a parent is only resized and moved to
// (x, y) as given).
void setFrame(QWidget* view, const QRectF& frame);
inline void setFrame(QWidget* view, qreal x, qreal y, qreal w, qreal h) {
    setFrame(view, QRectF(x, y, w, h));
}
// A text field at frame, grown about its middle to the height its font's lines need, so neither
// the descenders nor the tops of the letters are cut.
void setTextFieldFrame(QWidget* field, qreal x, qreal y, qreal w, qreal h);

// The view's frame with the origin at the bottom left of its parent.
QRectF frameOf(const QWidget* view);

} // namespace nimo
