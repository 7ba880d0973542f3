#include "widgets/SmallWidgets.h"

#include "widgets/ColorHex.h"
#include "widgets/Images.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QStyleHints>

namespace nimo {

// ---- ColorView

ColorView::ColorView(const QColor& color, QWidget* parent) : QWidget(parent), color_(color) {}

void ColorView::setColor(const QColor& color) {
    color_ = color;
    update();
}

void ColorView::setCornerRadius(qreal radius) {
    cornerRadius_ = radius;
    update();
}

void ColorView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    if (cornerRadius_ > 0)
        painter.drawRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
    else
        painter.drawRect(rect());
}

// ---- ImageView

ImageView::ImageView(QWidget* parent) : QWidget(parent) {}

ImageView::ImageView(const QString& imageName, QWidget* parent) : QWidget(parent), imageName_(imageName) {}

void ImageView::setImageName(const QString& name) {
    imageName_ = name;
    update();
}

void ImageView::setCornerRadius(qreal radius) {
    cornerRadius_ = radius;
    update();
}

QSize ImageView::sizeHint() const {
    const QSize natural = images::naturalSize(imageName_);
    return natural.isValid() ? natural : QWidget::sizeHint();
}

void ImageView::paintEvent(QPaintEvent*) {
    if (imageName_.isEmpty() || size().isEmpty())
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (cornerRadius_ > 0) {
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), cornerRadius_, cornerRadius_);
        painter.setClipPath(clip);
    }
    painter.drawPixmap(rect(), images::pixmap(imageName_, size(), devicePixelRatioF()));
}

// ---- CanTapImageView, CanTapScrollview, CancelTapView

void CanTapImageView::mousePressEvent(QMouseEvent* event) {
    event->ignore(); // on to the window, which moves
}

void CanTapScrollview::mousePressEvent(QMouseEvent* event) {
    event->ignore();
}

CancelTapView::CancelTapView(QWidget* parent) : ColorView(Qt::transparent, parent) {}

void CancelTapView::mousePressEvent(QMouseEvent* event) {
    event->accept();
}
void CancelTapView::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
}
void CancelTapView::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
}

// ---- UxTableRowView

UxTableRowView::UxTableRowView(QWidget* parent) : QWidget(parent) {}

void UxTableRowView::setSelected(bool selected) {
    if (selected_ == selected)
        return;
    selected_ = selected;
    update();
}

void UxTableRowView::setSelectionHighlightStyle(SelectionHighlightStyle style) {
    if (style_ == style)
        return;
    style_ = style;
    update();
}

QRectF UxTableRowView::selectionRect(const QRectF& bounds) {
    return bounds.adjusted(25, 0, -25, 0);
}

void UxTableRowView::drawSelectionInRect(QPainter& painter) {
    if (style_ == SelectionHighlightStyle::None)
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colorFromHex("#CADEFA", 1.0));
    painter.drawRoundedRect(selectionRect(QRectF(rect())), 3, 3);
    painter.restore();
}

void UxTableRowView::paintEvent(QPaintEvent*) {
    if (!selected_)
        return;
    QPainter painter(this);
    drawSelectionInRect(painter);
}

// ---- UxTextField

namespace {
// Lets the field draw the caret itself, in its own colour.
class NoCaretStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_TextCursorWidth)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};
} // namespace

UxTextField::UxTextField(QWidget* parent) : QLineEdit(parent) {}

UxTextField::~UxTextField() {
    if (QStyle* own = style(); own && own->parent() == this)
        setStyle(nullptr);
}

void UxTextField::setInsertColor(const QColor& color) {
    insertColor_ = color;
}

QColor UxTextField::caretColor() const {
    return editorCaretColor_.value_or(palette().color(QPalette::Text));
}

void UxTextField::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (insertColor_ && !editorCaretColor_) {
        auto* style = new NoCaretStyle;
        style->setParent(this);
        setStyle(style);
    }
    editorCaretColor_ = insertColor_;
    restartBlink();
}

void UxTextField::focusOutEvent(QFocusEvent* event) {
    blink_.stop();
    QLineEdit::focusOutEvent(event);
}

void UxTextField::keyPressEvent(QKeyEvent* event) {
    QLineEdit::keyPressEvent(event);
    restartBlink();
}

void UxTextField::mousePressEvent(QMouseEvent* event) {
    QLineEdit::mousePressEvent(event);
    restartBlink();
}

void UxTextField::restartBlink() {
    caretOn_ = true;
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (flash > 0)
        blink_.start(flash / 2, this);
    else
        blink_.stop();
    update();
}

void UxTextField::timerEvent(QTimerEvent* event) {
    if (event->timerId() != blink_.timerId()) {
        QLineEdit::timerEvent(event);
        return;
    }
    caretOn_ = !caretOn_;
    update();
}

void UxTextField::paintEvent(QPaintEvent* event) {
    QLineEdit::paintEvent(event);
    if (!editorCaretColor_ || !hasFocus() || !caretOn_ || isReadOnly() || hasSelectedText())
        return;
    const QRect r = cursorRect();
    QPainter painter(this);
    painter.fillRect(QRect(r.center().x(), r.top() + 1, 1, std::max(1, r.height() - 2)), *editorCaretColor_);
}

// ---- OnlyIntegerValueFormatter

bool OnlyIntegerValueFormatter::isPartialStringValid(const QString& partialString) {
    if (partialString.isEmpty())
        return true;
    qsizetype i = 0;
    const qsizetype n = partialString.size();
    auto skipSpace = [&] {
        while (i < n && partialString.at(i).isSpace())
            ++i;
    };
    skipSpace();
    if (i < n && (partialString.at(i) == u'+' || partialString.at(i) == u'-'))
        ++i;
    const qsizetype digitsStart = i;
    while (i < n && partialString.at(i) >= u'0' && partialString.at(i) <= u'9')
        ++i;
    if (i == digitsStart)
        return false;
    skipSpace();
    return i == n;
}

QValidator::State OnlyIntegerValueFormatter::validate(QString& input, int&) const {
    return isPartialStringValid(input) ? Acceptable : Invalid;
}

} // namespace nimo
