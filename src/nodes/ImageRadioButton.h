#pragma once

#include <QPushButton>
#include <QRadioButton>
#include <functional>
#include <string>

class QLabel;

namespace nimo {

class ImageView;

// The selection indicator of a route item: the standard radio look, or an image in its place (the
// lock of a node outside the subscription). Clicks go through to the item that holds it.
class NodeIndicator : public QRadioButton {
    Q_OBJECT
public:
    explicit NodeIndicator(QWidget* parent = nullptr);
    QString imageName() const { return imageName_; }
    void setImageName(const QString& name);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString imageName_;
};

// One item of the route page: indicator, flag and node name in a borderless button.
class ImageRadioButton : public QPushButton {
    Q_OBJECT
public:
    // The three looks an item can have; each sets lock, check and indicator together.
    enum class State {
        selected,   // the shown selection: indicator on
        selectable, // can be picked: indicator off
        locked,     // outside the subscription: the lock instead of the indicator
    };
    using NodeTap = std::function<void(ImageRadioButton* item, bool isLocked)>;

    explicit ImageRadioButton(QWidget* parent = nullptr);

    // Hides QAbstractButton::isChecked on purpose: the item is not a checkable button, this is
    // whether it is the shown selection.
    bool isChecked() const { return isChecked_; }
    bool isLocked() const { return isLocked_; }
    State state() const;
    void setState(State state);

    NodeIndicator* radiobtn() const { return radiobtn_; }
    QLabel* titleLabel() const { return titleLabel_; }
    ImageView* flagImgView() const { return flagImgView_; }
    NodeTap nodeTapBlock;

    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }

    // Builds the subviews for an item of the current height; call once, after the frame is set.
    void setupItem(const std::string& title, const std::string& imageName);
    // The node the item shows and reports when tapped; the label shows what fits of it.
    const std::string& title() const { return title_; }
    void setTitle(const std::string& title);
    void setFlagImage(const std::string& imageName);

    // The action of the item and of its indicator.
    void onTapButtonWithSender(QObject* sender);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The node's name, and that it is locked: the lock image alone says nothing to a screen reader.
    void updateAccessibleName();

    bool isChecked_ = false;
    bool isLocked_ = false;
    NodeIndicator* radiobtn_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    ImageView* flagImgView_ = nullptr;
    std::string title_;
    int tag_ = 0;
};

// Takes keyboard focus away from whatever holds it in the active window.
void clearKeyboardFocus();

} // namespace nimo
