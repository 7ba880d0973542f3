#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QString>

namespace nimo {

// A borderless button drawn by the project itself, so it looks the same under every desktop style:
// its title in its own colour, with an optional image. The pressed state dims it a little.
class TitleButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class ImagePosition {
        None,   // the title alone, left-aligned and underlined: a link
        Left,   // a small image left of the title, the two centred together
        Behind, // the image at its natural size (shrunk to fit), centred, the title centred over it
    };
    static constexpr int kGap = 4; // between a left image and the title

    TitleButton(ImagePosition position, const QString& imageName, const QString& title, const QFont& font,
                const QColor& color, QWidget* parent = nullptr);
    // A link: the title alone, underlined.
    static TitleButton* link(const QString& title, const QFont& font, const QColor& color, QWidget* parent);

    ImagePosition imagePosition() const { return position_; }
    QString imageName() const { return imageName_; }
    QColor titleColor() const { return color_; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ImagePosition position_;
    QString imageName_;
    QColor color_;
};

} // namespace nimo
