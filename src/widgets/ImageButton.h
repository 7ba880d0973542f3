#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QMap>
#include <QMargins>
#include <QPointF>
#include <QPointer>
#include <optional>

class QVariantAnimation;

namespace nimo {

// One endless rotation of a view's drawing, as a layer animation turns a layer: from -> to radians
// over durationSeconds, then again (back and forth when autoreverses).
struct RotationAnimation {
    double from = 0;
    double to = 0;
    double durationSeconds = 1;
    bool autoreverses = false;
    bool operator==(const RotationAnimation&) const = default;
};

// A borderless button that draws an image by name and a title: image only, image left of or above
// the title, or the image as background with the title over it. Carries the "tag" its screen
// dispatches on, and can turn its drawing about an anchor point under named animations. Animations
// run only while the button is on screen: a hidden or minimised window costs no timer ticks.
class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class ImagePosition {
        ImageOnly,   // the image fills the button
        ImageLeft,   // image at its size on the left, title after it
        ImageAbove,  // image at its size centred at the top, title centred below
        ImageBehind, // the image fills the button, the title is centred over it
        TitleOnly,   // no image
    };

    explicit ImageButton(QWidget* parent = nullptr);
    ImageButton(const QString& imageName, ImagePosition position, QWidget* parent);
    ~ImageButton() override;

    int tag() const;
    void setTag(int tag);

    QString imageName() const { return imageName_; }
    void setImageName(const QString& name);
    ImagePosition imagePosition() const { return position_; }
    void setImagePosition(ImagePosition position);
    // Size the image is drawn at beside a title; its natural size when unset.
    void setImageSize(QSize size);
    QSize imageSize() const;

    QColor titleColor() const { return titleColor_; }
    void setTitleColor(const QColor& color);
    void setBackgroundColor(const QColor& color);
    void setCornerRadius(qreal radius);
    qreal cornerRadius() const { return cornerRadius_; }
    void setBorder(qreal width, const QColor& color);
    qreal borderWidth() const { return borderWidth_; }
    QColor borderColor() const { return borderColor_; }

    // Room around the drawing, inside the button: a turning drawing stays within the button.
    void setDrawingInsets(QMargins insets);
    QMargins drawingInsets() const { return insets_; }

    // Room kept free around the title within the drawing (a mark drawn beside it, an arrow).
    void setTitleInsets(QMargins insets);

    // The point the drawing turns about, in unit coordinates of the button ((0.5, 0.5) the centre).
    QPointF anchorPoint() const { return anchor_; }
    void setAnchorPoint(QPointF anchor);
    // Current angle in radians (positive turns anticlockwise on screen, as layers do).
    double rotation() const { return rotation_; }
    void setRotation(double radians);

    // Adds (or replaces) the animation under key; the drawing then follows the newest one.
    void addAnimation(const QString& key, const RotationAnimation& animation);
    void removeAllAnimations();
    QStringList animationKeys() const;
    std::optional<RotationAnimation> animationForKey(const QString& key) const;
    // True while an animation is attached and its timer actually runs.
    bool isAnimationRunning() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void startNewest();
    void updateRunning();
    void watchWindow();

    QString imageName_;
    ImagePosition position_ = ImagePosition::ImageOnly;
    QSize imageSize_;
    QColor titleColor_ = Qt::black;
    QColor backgroundColor_ = Qt::transparent;
    qreal cornerRadius_ = 0;
    qreal borderWidth_ = 0;
    QColor borderColor_ = Qt::transparent;
    QMargins insets_;
    QMargins titleInsets_;
    QPointF anchor_{0.5, 0.5};
    double rotation_ = 0;
    QMap<QString, RotationAnimation> animations_;
    QString newestKey_;
    QVariantAnimation* driver_ = nullptr;
    QPointer<QWidget> watchedWindow_;
};

} // namespace nimo
