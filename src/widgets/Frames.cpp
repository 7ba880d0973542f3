#include "widgets/Frames.h"

#include <QWidget>
#include <algorithm>
#include <cmath>

namespace nimo {

QRect qtRectFromFrame(const QRectF& frame, qreal parentHeight) {
    const int x = qRound(frame.x());
    const int w = qRound(frame.width());
    const int h = qRound(frame.height());
    const int y = qRound(parentHeight - frame.y() - frame.height());
    return QRect(x, y, w, h);
}

QRectF frameFromQtRect(const QRect& rect, qreal parentHeight) {
    return QRectF(rect.x(), parentHeight - rect.y() - rect.height(), rect.width(), rect.height());
}

void setFrame(QWidget* view, const QRectF& frame) {
    if (!view)
        return;
    const QWidget* parent = view->isWindow() ? nullptr : view->parentWidget();
    if (!parent) {
        view->setGeometry(
            QRect(qRound(frame.x()), qRound(frame.y()), qRound(frame.width()), qRound(frame.height())));
        return;
    }
    view->setGeometry(qtRectFromFrame(frame, parent->height()));
}

QRectF frameOf(const QWidget* view) {
    if (!view)
        return {};
    const QWidget* parent = view->isWindow() ? nullptr : view->parentWidget();
    if (!parent)
        return QRectF(view->geometry());
    return frameFromQtRect(view->geometry(), parent->height());
}

} // namespace nimo

namespace nimo {

void setTextFieldFrame(QWidget* field, qreal x, qreal y, qreal w, qreal h) {
    // A line edit draws its line centred within one pixel of margin above and below.
    const qreal needed = std::max<qreal>(h, field->fontMetrics().height() + 2);
    setFrame(field, x, y - std::floor((needed - h) / 2), w, needed);
}

} // namespace nimo
