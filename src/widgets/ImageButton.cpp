#include "widgets/ImageButton.h"

#include "widgets/Images.h"
#include "widgets/KeyboardFocus.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScopeGuard>
#include <QVariantAnimation>
#include <cmath>
#include <numbers>

namespace nimo {

ImageButton::ImageButton(QWidget* parent) : QAbstractButton(parent) {
    makeKeyboardControl(this);
    setCursor(Qt::PointingHandCursor);
}

ImageButton::ImageButton(const QString& imageName, ImagePosition position, QWidget* parent)
    : ImageButton(parent) {
    imageName_ = imageName;
    position_ = position;
}

ImageButton::~ImageButton() = default;

int ImageButton::tag() const {
    return property("tag").toInt();
}

void ImageButton::setTag(int tag) {
    setProperty("tag", tag);
}

void ImageButton::setImageName(const QString& name) {
    imageName_ = name;
    update();
}

void ImageButton::setImagePosition(ImagePosition position) {
    position_ = position;
    update();
}

void ImageButton::setImageSize(QSize size) {
    imageSize_ = size;
    update();
}

QSize ImageButton::imageSize() const {
    if (imageSize_.isValid())
        return imageSize_;
    const QSize natural = images::naturalSize(imageName_);
    return natural.isValid() ? natural : QSize(0, 0);
}

void ImageButton::setTitleColor(const QColor& color) {
    titleColor_ = color;
    update();
}

void ImageButton::setBackgroundColor(const QColor& color) {
    backgroundColor_ = color;
    update();
}

void ImageButton::setCornerRadius(qreal radius) {
    cornerRadius_ = radius;
    update();
}

void ImageButton::setBorder(qreal width, const QColor& color) {
    borderWidth_ = width;
    borderColor_ = color;
    update();
}

void ImageButton::setDrawingInsets(QMargins insets) {
    insets_ = insets;
    update();
}

void ImageButton::setTitleInsets(QMargins insets) {
    titleInsets_ = insets;
    update();
}

void ImageButton::setAnchorPoint(QPointF anchor) {
    anchor_ = anchor;
    update();
}

void ImageButton::setRotation(double radians) {
    rotation_ = radians;
    update();
}

void ImageButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const auto ring = qScopeGuard([&] {
        if (showsFocusRing(this))
            paintFocusRing(painter, rect(), std::max<qreal>(cornerRadius_, 3));
    });
    const QRect area = rect().marginsRemoved(insets_);
    const QRectF bounds(area);
    if (rotation_ != 0) {
        // Layers turn anticlockwise for positive angles with y up; Qt's y points down.
        const QPointF pivot(bounds.x() + anchor_.x() * bounds.width(),
                            bounds.y() + (1.0 - anchor_.y()) * bounds.height());
        painter.translate(pivot);
        painter.rotate(-rotation_ * 180.0 / std::numbers::pi);
        painter.translate(-pivot);
    }
    if (backgroundColor_.alpha() > 0 || borderWidth_ > 0) {
        const qreal inset = borderWidth_ / 2;
        const QRectF box = bounds.adjusted(inset, inset, -inset, -inset);
        painter.setBrush(backgroundColor_);
        painter.setPen(borderWidth_ > 0 ? QPen(borderColor_, borderWidth_) : QPen(Qt::NoPen));
        painter.drawRoundedRect(box, cornerRadius_, cornerRadius_);
    }
    const qreal dpr = devicePixelRatioF();
    const QString title = text();
    QRectF titleRect = bounds;
    switch (position_) {
    case ImagePosition::ImageOnly:
    case ImagePosition::ImageBehind:
        if (!imageName_.isEmpty())
            painter.drawPixmap(area, images::pixmap(imageName_, area.size(), dpr));
        break;
    case ImagePosition::ImageLeft: {
        const QSize s = imageSize();
        const QRect imageRect(area.x(), area.y() + (area.height() - s.height()) / 2, s.width(), s.height());
        if (!imageName_.isEmpty() && !s.isEmpty())
            painter.drawPixmap(imageRect, images::pixmap(imageName_, s, dpr));
        titleRect = bounds.adjusted(s.width() + (s.isEmpty() ? 0 : 5), 0, 0, 0);
        break;
    }
    case ImagePosition::ImageAbove: {
        const QSize s = imageSize();
        const QRect imageRect(area.x() + (area.width() - s.width()) / 2, area.y(), s.width(), s.height());
        if (!imageName_.isEmpty() && !s.isEmpty())
            painter.drawPixmap(imageRect, images::pixmap(imageName_, s, dpr));
        titleRect = bounds.adjusted(0, s.height() + 4, 0, 0);
        break;
    }
    case ImagePosition::TitleOnly:
        break;
    }
    if (title.isEmpty())
        return;
    titleRect = titleRect.marginsRemoved(QMarginsF(titleInsets_));
    painter.setPen(titleColor_);
    painter.setFont(font());
    int flags = Qt::TextSingleLine;
    if (position_ == ImagePosition::ImageLeft)
        flags |= Qt::AlignLeft | Qt::AlignVCenter;
    else if (position_ == ImagePosition::ImageAbove)
        flags |= Qt::AlignHCenter | Qt::AlignTop;
    else if (position_ == ImagePosition::TitleOnly)
        flags |= Qt::AlignLeft | Qt::AlignVCenter;
    else
        flags |= Qt::AlignCenter;
    // A title longer than its room ends in an ellipsis instead of being cut.
    painter.drawText(titleRect, flags,
                     painter.fontMetrics().elidedText(title, Qt::ElideRight, int(titleRect.width())));
}

// ---- animations

void ImageButton::addAnimation(const QString& key, const RotationAnimation& animation) {
    animations_.insert(key, animation);
    newestKey_ = key;
    startNewest();
}

void ImageButton::removeAllAnimations() {
    animations_.clear();
    newestKey_.clear();
    if (driver_) {
        driver_->stop();
        driver_->deleteLater();
        driver_ = nullptr;
    }
}

QStringList ImageButton::animationKeys() const {
    return animations_.keys();
}

std::optional<RotationAnimation> ImageButton::animationForKey(const QString& key) const {
    auto found = animations_.constFind(key);
    if (found == animations_.constEnd())
        return std::nullopt;
    return *found;
}

bool ImageButton::isAnimationRunning() const {
    return driver_ && driver_->state() == QAbstractAnimation::Running;
}

void ImageButton::startNewest() {
    if (driver_) {
        driver_->stop();
        driver_->deleteLater();
        driver_ = nullptr;
    }
    const RotationAnimation animation = animations_.value(newestKey_);
    driver_ = new QVariantAnimation(this);
    const int period = std::max(1, static_cast<int>(std::lround(animation.durationSeconds * 1000)));
    driver_->setStartValue(animation.from);
    if (animation.autoreverses) {
        driver_->setKeyValueAt(0.5, animation.to);
        driver_->setEndValue(animation.from);
        driver_->setDuration(2 * period);
    } else {
        driver_->setEndValue(animation.to);
        driver_->setDuration(period);
    }
    driver_->setLoopCount(-1);
    connect(driver_, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { setRotation(value.toDouble()); });
    setRotation(animation.from); // each new animation starts from its first angle
    watchWindow();
    updateRunning();
}

void ImageButton::watchWindow() {
    QWidget* top = window();
    if (top == watchedWindow_)
        return;
    if (watchedWindow_)
        watchedWindow_->removeEventFilter(this);
    watchedWindow_ = top;
    if (top && top != this)
        top->installEventFilter(this);
}

void ImageButton::updateRunning() {
    if (!driver_)
        return;
    const QWidget* top = window();
    const bool onScreen =
        isVisible() && top && top->isVisible() && !(top->windowState() & Qt::WindowMinimized);
    switch (driver_->state()) {
    case QAbstractAnimation::Stopped:
        if (onScreen)
            driver_->start();
        break;
    case QAbstractAnimation::Paused:
        if (onScreen)
            driver_->resume();
        break;
    case QAbstractAnimation::Running:
        if (!onScreen)
            driver_->pause();
        break;
    }
}

bool ImageButton::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watchedWindow_) {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::WindowStateChange:
            updateRunning();
            break;
        default:
            break;
        }
    }
    return QAbstractButton::eventFilter(watched, event);
}

void ImageButton::showEvent(QShowEvent* event) {
    QAbstractButton::showEvent(event);
    watchWindow();
    updateRunning();
}

void ImageButton::hideEvent(QHideEvent* event) {
    QAbstractButton::hideEvent(event);
    updateRunning();
}

void ImageButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::ParentChange) {
        watchWindow();
        updateRunning();
    }
}

} // namespace nimo
