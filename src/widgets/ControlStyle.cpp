#include "widgets/ControlStyle.h"

#include "widgets/KeyboardFocus.h"

#include <QStyleFactory>
#include <QStyleOption>
#include <memory>

namespace nimo {

ControlStyle::ControlStyle() = default;

QPalette ControlStyle::indicatorPalette() {
    // Fusion's own light colours: the look the views were drawn for.
    static const QPalette palette = [] {
        std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
        return fusion ? fusion->standardPalette() : QPalette(Qt::white);
    }();
    return palette;
}

void ControlStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
    switch (element) {
    case PE_IndicatorCheckBox:
    case PE_IndicatorRadioButton:
        if (const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option)) {
            QStyleOptionButton light = *button;
            light.palette = indicatorPalette();
            QProxyStyle::drawPrimitive(element, &light, painter, widget);
            return;
        }
        break;
    case PE_FrameFocusRect:
        if (widget && !showsFocusRing(widget))
            return;
        break;
    default:
        break;
    }
    QProxyStyle::drawPrimitive(element, option, painter, widget);
}

} // namespace nimo
