#pragma once

#include <QBasicTimer>
#include <QColor>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QValidator>
#include <QWidget>
#include <optional>

namespace nimo {

// A plain view filled with one colour, optionally with rounded corners (strips, bars, cards, covers).
class ColorView : public QWidget {
    Q_OBJECT
public:
    explicit ColorView(const QColor& color, QWidget* parent = nullptr);
    QColor color() const { return color_; }
    void setColor(const QColor& color);
    void setCornerRadius(qreal radius);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
    qreal cornerRadius_ = 0;
};

// Shows an image by name, drawn at the view's size; corners optionally rounded and clipped.
class ImageView : public QWidget {
    Q_OBJECT
public:
    explicit ImageView(QWidget* parent = nullptr);
    ImageView(const QString& imageName, QWidget* parent);
    QString imageName() const { return imageName_; }
    void setImageName(const QString& name);
    void setCornerRadius(qreal radius);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString imageName_;
    qreal cornerRadius_ = 0;
};

// An image view that lets a mouse-down move its window: the press goes on to the window.
class CanTapImageView : public ImageView {
    Q_OBJECT
public:
    using ImageView::ImageView;
    bool mouseDownCanMoveWindow() const { return true; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// A scroll view that lets a mouse-down on its background move its window.
class CanTapScrollview : public QScrollArea {
    Q_OBJECT
public:
    using QScrollArea::QScrollArea;
    bool mouseDownCanMoveWindow() const { return true; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
};

// Swallows every click: nothing behind it, and no ancestor, sees them.
class CancelTapView : public ColorView {
    Q_OBJECT
public:
    explicit CancelTapView(QWidget* parent = nullptr);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// A table row that draws its own selection: "#CADEFA", radius 3, inset 25 left and right.
class UxTableRowView : public QWidget {
    Q_OBJECT
public:
    enum class SelectionHighlightStyle {
        None,    // never draws a selection
        Regular, // draws it while selected
    };

    explicit UxTableRowView(QWidget* parent = nullptr);
    bool isSelected() const { return selected_; }
    void setSelected(bool selected);
    SelectionHighlightStyle selectionHighlightStyle() const { return style_; }
    void setSelectionHighlightStyle(SelectionHighlightStyle style);

    // The rounded rectangle the selection fills, for a row of the given bounds.
    static QRectF selectionRect(const QRectF& bounds);
    void drawSelectionInRect(QPainter& painter);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool selected_ = false;
    SelectionHighlightStyle style_ = SelectionHighlightStyle::Regular;
};

// A text field whose caret, while editing, has its own colour.
class UxTextField : public QLineEdit {
    Q_OBJECT
public:
    explicit UxTextField(QWidget* parent = nullptr);
    ~UxTextField() override;

    std::optional<QColor> insertColor() const { return insertColor_; }
    void setInsertColor(const QColor& color);
    // The colour the caret is drawn with now: insertColor once the field has taken focus with one.
    QColor caretColor() const;

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    void restartBlink();

    std::optional<QColor> insertColor_;
    std::optional<QColor> editorCaretColor_; // set on taking focus, as the field editor would be
    QBasicTimer blink_;
    bool caretOn_ = true;
};

// Accepts only text that reads as one whole number: optional sign, digits, white space around it.
// The empty text is accepted too.
class OnlyIntegerValueFormatter : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    static bool isPartialStringValid(const QString& partialString);
    State validate(QString& input, int& pos) const override;
};

} // namespace nimo
