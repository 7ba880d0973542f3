#include "widgets/Buttons.h"

#include "widgets/Images.h"
#include "widgets/KeyboardFocus.h"

#include <QPainter>

namespace nimo {

namespace {

constexpr qreal kPressedOpacity = 0.7;

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

TitleButton::TitleButton(ImagePosition position, const QString& imageName, const QString& title,
                         const QFont& font, const QColor& color, QWidget* parent)
    : QAbstractButton(parent), position_(position), imageName_(imageName), color_(color) {
    setText(title);
    setFont(font);
    if (position != ImagePosition::Left)
        makeKeyboardControl(this);
    else
        setFocusPolicy(Qt::NoFocus);
    if (position != ImagePosition::Left) // the left-image kind shows a value and does nothing
        setCursor(Qt::PointingHandCursor);
}

TitleButton* TitleButton::link(const QString& title, const QFont& font, const QColor& color,
                               QWidget* parent) {
    QFont underlined = font;
    underlined.setUnderline(true);
    return new TitleButton(ImagePosition::None, {}, title, underlined, color, parent);
}

QSize TitleButton::sizeHint() const {
    const QSize label = fontMetrics().size(Qt::TextSingleLine, text());
    const QSize image = position_ == ImagePosition::None ? QSize() : images::naturalSize(imageName_);
    if (!image.isValid())
        return label;
    if (position_ == ImagePosition::Left)
        return {image.width() + kGap + label.width(), std::max(image.height(), label.height())};
    return image.expandedTo(label + QSize(16, 8));
}

void TitleButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(kPressedOpacity);
    const QSize imageSize = position_ == ImagePosition::None ? QSize() : fittedImageSize(imageName_, size());
    QRect textRect = rect();
    Qt::Alignment alignment = Qt::AlignCenter;
    QRect imageRect(QPoint(0, 0), imageSize);
    if (position_ == ImagePosition::Left) {
        // Image and title as one group, centred; a title too long for the frame starts at the left.
        const int gap = imageSize.isValid() ? kGap : 0;
        const int group = imageSize.width() + gap + fontMetrics().horizontalAdvance(text());
        const int left = std::max(0, (width() - group) / 2);
        imageRect.moveTo(left, (height() - imageSize.height()) / 2);
        textRect.setLeft(left + imageSize.width() + gap);
        alignment = Qt::AlignLeft | Qt::AlignVCenter;
    } else if (position_ == ImagePosition::Behind) {
        imageRect.moveCenter(rect().center());
    } else {
        alignment = Qt::AlignLeft | Qt::AlignVCenter;
    }
    if (imageSize.isValid())
        painter.drawPixmap(imageRect, images::pixmap(imageName_, imageSize, devicePixelRatioF()));
    painter.setPen(color_);
    painter.drawText(textRect, alignment, text());
    if (showsFocusRing(this))
        paintFocusRing(painter, rect());
}

} // namespace nimo
