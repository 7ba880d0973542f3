#include "widgets/UxPageView.h"

#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/SmallWidgets.h"

#include <QLabel>

namespace nimo {

UxPageView::UxPageView(QWidget* parent) : QWidget(parent) {}

QWidget* UxPageView::toolView() {
    if (!toolView_) {
        auto* strip = new ColorView(colorFromHex("#F6F6F6"), this);
        strip->setObjectName(QStringLiteral("toolView"));
        toolView_ = strip;
    }
    return toolView_;
}

QLabel* UxPageView::toolbarTitleLabel() {
    if (!toolbarTitleLabel_) {
        toolbarTitleLabel_ = new QLabel(toolView());
        toolbarTitleLabel_->setObjectName(QStringLiteral("toolbarTitleLabel"));
        toolbarTitleLabel_->setFont(systemFont(14));
        QPalette palette = toolbarTitleLabel_->palette();
        palette.setColor(QPalette::WindowText, colorFromHex("#3F3934"));
        toolbarTitleLabel_->setPalette(palette);
    }
    return toolbarTitleLabel_;
}

void UxPageView::buildPage() {
    const int w = width();
    const int h = height();
    QWidget* strip = toolView();
    setFrame(strip, 0, h - kToolbarHeight, w, kToolbarHeight);
    auto* accent = new ColorView(colorFromHex("#558EE8"), strip);
    accent->setObjectName(QStringLiteral("toolAccent"));
    setFrame(accent, 21, 11, 2, 15);
    setFrame(toolbarTitleLabel(), 34, 11, 300, 16);
    strip->show();
    accent->show();
    toolbarTitleLabel()->show();
}

} // namespace nimo
