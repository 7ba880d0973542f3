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

// A dark scheme leaves boxes and radios as a light one draws them, and they still show on white.
TEST(ControlStyle, ChecksAndRadiosKeepTheirColoursUnderADarkScheme) {
    QApplication::setStyle(new ControlStyle);
    QPalette dark(QColor(0x35, 0x35, 0x35), QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, Qt::white);
    const auto indicator = [](const QPalette& palette, bool radio, bool checked) {
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
        const auto element = radio ? QStyle::SE_RadioButtonIndicator : QStyle::SE_CheckBoxIndicator;
        return host.grab(control->style()->subElementRect(element, &option, control.get())).toImage();
    };
    for (const bool radio : {false, true})
        for (const bool checked : {false, true}) {
            SCOPED_TRACE(std::string(radio ? "radio" : "check box") + (checked ? " on" : " off"));
            const QImage onDark = indicator(dark, radio, checked);
            EXPECT_EQ(indicator(ControlStyle::indicatorPalette(), radio, checked), onDark);
            int darkest = 255;
            for (int y = 0; y < onDark.height(); ++y)
                for (int x = 0; x < onDark.width(); ++x)
                    darkest = std::min(darkest, QColor(onDark.pixel(x, y)).lightness());
            EXPECT_LT(darkest, checked ? 100 : 200) << "outline or mark visible on white";
        }
}

// Fields keep their middle and grow to the height their face needs.
TEST(Frames, TextFieldsGrowToShowWholeLines) {
    ColorView row(Qt::white);
    row.resize(336, 39);
    for (const int size : {11, 14, 20}) {
        UxTextField field;
        field.setParent(&row);
        field.setFont(systemFont(size));
        setTextFieldFrame(&field, 10, 12, 316, 16);
        EXPECT_GE(field.height(), std::max(16, field.fontMetrics().height() + 2)) << size;
        EXPECT_LE(std::abs(frameOf(&field).center().y() - 20), 1.0) << size;
    }
}
