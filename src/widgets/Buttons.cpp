#include "widgets/Buttons.h"

#include "widgets/Images.h"

#include <QPainter>

namespace nimo {

namespace {

constexpr qreal kPressedOpacity = 0.7;

void setUpButton(QAbstractButton* button, const QString& title, const QFont& font) {
    button->setText(title);
    button->setFont(font);
    button->setCursor(Qt::PointingHandCursor);
    button->setFocusPolicy(Qt::NoFocus);
}

// The image's natural size, shrunk (never grown) to fit into bounds.
QSize fittedImageSize(const QString& imageName, const QSize& bounds) {
    const QSize natural = images::naturalSize(imageName);
    if (!natural.isValid())
        return {};
    if (natural.width() <= bounds.width() && natural.height() <= bounds.height())
        return natural;
    return natural.scaled(bounds, Qt::KeepAspectRatio);
}

} // namespace

// ---- ImageTitleButton

ImageTitleButton::ImageTitleButton(const QString& imageName, const QString& title, const QFont& font,
                                   const QColor& color, QWidget* parent)
    : QAbstractButton(parent), imageName_(imageName), color_(color) {
    setUpButton(this, title, font);
}

QSize ImageTitleButton::sizeHint() const {
    const QSize image = images::naturalSize(imageName_);
    const QSize label = fontMetrics().size(Qt::TextSingleLine, text()) + QSize(16, 8);
    return image.isValid() ? image.expandedTo(label) : label;
}

void ImageTitleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(kPressedOpacity);
    const QSize imageSize = fittedImageSize(imageName_, size());
    if (imageSize.isValid()) {
        QRect target(QPoint(0, 0), imageSize);
        target.moveCenter(rect().center());
        painter.drawPixmap(target, images::pixmap(imageName_, imageSize, devicePixelRatioF()));
    }
    painter.setPen(color_);
    painter.drawText(rect(), Qt::AlignCenter, text());
}

// ---- IconTitleButton

IconTitleButton::IconTitleButton(const QString& imageName, const QString& title, const QFont& font,
                                 const QColor& color, QWidget* parent)
    : QAbstractButton(parent), imageName_(imageName), color_(color) {
    setUpButton(this, title, font);
    setCursor(Qt::ArrowCursor);
}

QSize IconTitleButton::sizeHint() const {
    const QSize image = images::naturalSize(imageName_);
    const QSize label = fontMetrics().size(Qt::TextSingleLine, text());
    return {image.width() + kGap + label.width(), std::max(image.height(), label.height())};
}

void IconTitleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(kPressedOpacity);
    const QSize imageSize = fittedImageSize(imageName_, size());
    const int textWidth = fontMetrics().horizontalAdvance(text());
    const int gap = imageSize.isValid() ? kGap : 0;
    // Image and title as one group, centred; a title too long for the frame starts at the left.
    const int group = imageSize.width() + gap + textWidth;
    const int left = std::max(0, (width() - group) / 2);
    if (imageSize.isValid()) {
        const QRect target(left, (height() - imageSize.height()) / 2, imageSize.width(), imageSize.height());
        painter.drawPixmap(target, images::pixmap(imageName_, imageSize, devicePixelRatioF()));
    }
    painter.setPen(color_);
    const int textLeft = left + imageSize.width() + gap;
    painter.drawText(QRect(textLeft, 0, width() - textLeft, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     text());
}

// ---- LinkButton

LinkButton::LinkButton(const QString& title, const QFont& font, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), color_(color) {
    QFont underlined = font;
    underlined.setUnderline(true);
    setUpButton(this, title, underlined);
}

QSize LinkButton::sizeHint() const {
    return fontMetrics().size(Qt::TextSingleLine, text());
}

void LinkButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (isDown())
        painter.setOpacity(kPressedOpacity);
    painter.setPen(color_);
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, text());
}

} // namespace nimo
