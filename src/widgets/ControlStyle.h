#pragma once

#include <QPalette>
#include <QProxyStyle>

namespace nimo {

// The desktop's style with two things of our own: check boxes and radios are drawn in one light
// palette whatever the desktop's colours (a dark scheme would turn them into dark shapes on our
// light views), and a focus frame shows only when the keyboard brought the focus.
class ControlStyle : public QProxyStyle {
    Q_OBJECT
public:
    ControlStyle();

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;

    // The colours the indicators are drawn in.
    static QPalette indicatorPalette();
};

} // namespace nimo
