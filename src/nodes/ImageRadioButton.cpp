#include "nodes/ImageRadioButton.h"

#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/Images.h"
#include "widgets/KeyboardFocus.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <algorithm>

namespace nimo {

namespace {
constexpr const char* kLockImage = "ic_country_lock";
// Grey 0.4, the indicator's tint.
const QColor kIndicatorTint = QColor::fromRgbF(0.4f, 0.4f, 0.4f);
} // namespace

void clearKeyboardFocus() {
    if (QWidget* window = QApplication::activeWindow())
        if (QWidget* focus = window->focusWidget())
            focus->clearFocus();
}

NodeIndicator::NodeIndicator(QWidget* parent) : QRadioButton(parent) {
    setAutoExclusive(false);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFont(systemFont(14));
}

void NodeIndicator::setImageName(const QString& name) {
    if (imageName_ == name)
        return;
    imageName_ = name;
    update();
}

void NodeIndicator::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = 14;
    const QRectF box((width() - side) / 2, (height() - side) / 2, side, side);
    if (!imageName_.isEmpty()) {
        const QSize size(16, 16);
        const QPointF at((width() - size.width()) / 2.0, (height() - size.height()) / 2.0);
        painter.drawPixmap(at, images::pixmap(imageName_, size, devicePixelRatioF()));
        return;
    }
    if (isChecked()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colorFromHex("#558EE8"));
        painter.drawEllipse(box);
        painter.setBrush(Qt::white);
        painter.drawEllipse(box.center(), 2.6, 2.6);
        return;
    }
    QColor border = kIndicatorTint;
    border.setAlphaF(0.55f);
    painter.setPen(QPen(border, 1));
    painter.setBrush(Qt::white);
    painter.drawEllipse(box.adjusted(0.5, 0.5, -0.5, -0.5));
}

ImageRadioButton::ImageRadioButton(QWidget* parent) : QPushButton(parent) {
    setFlat(true);
    makeKeyboardControl(this);
    setCursor(Qt::PointingHandCursor);
    connect(this, &QAbstractButton::clicked, this, [this] { onTapButtonWithSender(this); });
}

void ImageRadioButton::setupItem(const std::string& title, const std::string& imageName) {
    const int h = height();
    radiobtn_ = new NodeIndicator(this);
    radiobtn_->setObjectName(QStringLiteral("radiobtn"));
    QPalette tint = radiobtn_->palette();
    tint.setColor(QPalette::Button, kIndicatorTint);
    radiobtn_->setPalette(tint);
    setFrame(radiobtn_, 0, 0, h, h);

    flagImgView_ = new ImageView(this);
    flagImgView_->setObjectName(QStringLiteral("flagImgView"));
    flagImgView_->setCornerRadius(2);
    setFrame(flagImgView_, h, h * 0.5 - 9, 22, 18);

    titleLabel_ = new QLabel(this);
    titleLabel_->setObjectName(QStringLiteral("titleLabel"));
    titleLabel_->setFont(systemFont(13));
    titleLabel_->setAutoFillBackground(true);
    titleLabel_->setBackgroundRole(QPalette::Window); // not the button's role it would inherit
    QPalette palette = titleLabel_->palette();
    palette.setColor(QPalette::Window, colorFromHex("#FCFCFC"));
    palette.setColor(QPalette::WindowText, colorFromHex("#3F3934"));
    titleLabel_->setPalette(palette);
    titleLabel_->setTextFormat(Qt::PlainText);
    titleLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    setFrame(titleLabel_, h + 24, h * 0.5 - 8, width() - h - 2, 16);

    setTitle(title);
    setFlagImage(imageName);
    setState(State::selectable);
}

void ImageRadioButton::setTitle(const std::string& title) {
    title_ = title;
    if (!titleLabel_)
        return;
    // Only what fits is laid out: a name of any length costs one elision.
    QString full = QString::fromStdString(title);
    // One line: breaks and other control characters in a name are shown as spaces.
    for (QChar& c : full)
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
            c == QChar::ParagraphSeparator)
            c = u' ';
    const QFontMetrics metrics(titleLabel_->font());
    // The label reaches past the item's right edge; elide to the part that is seen.
    const int visible = std::min(titleLabel_->width(), width() - titleLabel_->x());
    const QString shown = metrics.elidedText(full, Qt::ElideRight, std::max(visible, 0));
    titleLabel_->setText(shown);
    setToolTip(shown == full ? QString() : full);
    updateAccessibleName();
}

void ImageRadioButton::updateAccessibleName() {
    QString name = QString::fromStdString(title_);
    if (isLocked_)
        name += QStringLiteral("，已锁定");
    setAccessibleName(name);
    if (radiobtn_)
        radiobtn_->setAccessibleName(name);
}

void ImageRadioButton::setFlagImage(const std::string& imageName) {
    if (flagImgView_)
        flagImgView_->setImageName(QString::fromStdString(imageName));
}

ImageRadioButton::State ImageRadioButton::state() const {
    if (isLocked_)
        return State::locked;
    return isChecked_ ? State::selected : State::selectable;
}

void ImageRadioButton::setState(State state) {
    isLocked_ = state == State::locked;
    isChecked_ = state == State::selected;
    if (radiobtn_) {
        radiobtn_->setImageName(isLocked_ ? QString::fromLatin1(kLockImage) : QString());
        radiobtn_->setChecked(isChecked_);
    }
    updateAccessibleName();
}

void ImageRadioButton::onTapButtonWithSender(QObject*) {
    if (!showsFocusRing(this)) // a row picked from the keyboard keeps it
        clearKeyboardFocus();
    if (isChecked_)
        return;
    if (!isLocked_)
        setState(State::selected);
    if (nodeTapBlock) {
        const bool locked = isLocked_;
        nodeTapBlock(this, locked);
    }
}

void ImageRadioButton::paintEvent(QPaintEvent*) {
    // Borderless: the subviews are all there is to see, and the ring while the keyboard is here.
    if (showsFocusRing(this)) {
        QPainter painter(this);
        paintFocusRing(painter, rect());
    }
}

} // namespace nimo
