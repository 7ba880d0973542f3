#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>

namespace nimo {

// Buttons drawn by the project itself, so they look the same on every desktop style. Each keeps its
// title in text() and its colour in titleColor(); the pressed state dims it a little.

// An image at its natural size (shrunk to fit, centred) with the title centred over it.
class ImageTitleButton : public QAbstractButton {
    Q_OBJECT
public:
    ImageTitleButton(const QString& imageName, const QString& title, const QFont& font, const QColor& color,
                     QWidget* parent = nullptr);
    QString imageName() const { return imageName_; }
    QColor titleColor() const { return color_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString imageName_;
    QColor color_;
};

// No border and no background: a small image left of the title, the two centred together.
class IconTitleButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int kGap = 4;

    IconTitleButton(const QString& imageName, const QString& title, const QFont& font, const QColor& color,
                    QWidget* parent = nullptr);
    QString imageName() const { return imageName_; }
    QColor titleColor() const { return color_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString imageName_;
    QColor color_;
};

// An underlined text link, left-aligned, with the pointing-hand cursor.
class LinkButton : public QAbstractButton {
    Q_OBJECT
public:
    LinkButton(const QString& title, const QFont& font, const QColor& color, QWidget* parent = nullptr);
    QColor titleColor() const { return color_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor color_;
};

} // namespace nimo
