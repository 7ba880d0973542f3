#include "widgets/ControlStyle.h"

#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>
#include <QStyleOptionButton>
#include <gtest/gtest.h>
#include <memory>

using namespace nimo;

namespace {

QPalette darkScheme() {
    QPalette dark(QColor(0x35, 0x35, 0x35), QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::WindowText, Qt::white);
    return dark;
}

// The indicator of a check box or radio as drawn on a white view under palette.
QImage indicatorUnder(const QPalette& palette, bool radio, bool checked) {
    QApplication::setPalette(palette);
    ColorView host(Qt::white);
    host.resize(120, 30);
    std::unique_ptr<QAbstractButton> control;
    if (radio)
        control = std::make_unique<QRadioButton>(QStringLiteral("智能模式"), &host);
    else
        control = std::make_unique<QCheckBox>(QStringLiteral("记住密码"), &host);
    control->setStyleSheet(QStringLiteral("QAbstractButton { color: #666666; }"));
    control->setChecked(checked);
    control->setGeometry(0, 0, 120, 30);
    QStyleOptionButton option;
    option.initFrom(control.get());
    const QRect box = control->style()->subElementRect(
        radio ? QStyle::SE_RadioButtonIndicator : QStyle::SE_CheckBoxIndicator, &option, control.get());
    // Grabbed through the host, so what shows around the indicator is the view it sits on.
    return host.grab(box.translated(control->pos())).toImage();
}

} // namespace

// A dark scheme leaves the boxes and radios as they are on a light one, and they still show.
TEST(ControlStyle, ChecksAndRadiosKeepTheirColoursUnderADarkScheme) {
    QApplication::setStyle(new ControlStyle);
    const QPalette light = ControlStyle::indicatorPalette();
    for (const bool radio : {false, true})
        for (const bool checked : {false, true}) {
            SCOPED_TRACE(std::string(radio ? "radio" : "check box") + (checked ? " on" : " off"));
            const QImage onLight = indicatorUnder(light, radio, checked);
            const QImage onDark = indicatorUnder(darkScheme(), radio, checked);
            ASSERT_FALSE(onLight.isNull());
            EXPECT_EQ(onLight, onDark);
            int darkest = 255;
            for (int y = 0; y < onDark.height(); ++y)
                for (int x = 0; x < onDark.width(); ++x)
                    darkest = std::min(darkest, QColor(onDark.pixel(x, y)).lightness());
            EXPECT_LT(darkest, checked ? 100 : 200) << "outline or mark visible on white";
        }
    QApplication::setPalette(light);
}

// Fields keep their middle and grow to the height their face needs.
TEST(Frames, TextFieldsGrowToShowWholeLines) {
    ColorView row(Qt::white);
    row.resize(336, 39);
    for (const int size : {11, 14, 16, 20}) {
        SCOPED_TRACE(size);
        UxTextField field;
        field.setParent(&row);
        field.setFont(systemFont(size));
        setTextFieldFrame(&field, 10, 12, 316, 16);
        EXPECT_GE(field.height(), std::max(16, field.fontMetrics().height() + 2));
        EXPECT_LE(std::abs(frameOf(&field).center().y() - 20), 1.0);
        EXPECT_EQ(field.x(), 10);
        EXPECT_EQ(field.width(), 316);
    }
}
