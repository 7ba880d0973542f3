#pragma once

#include "tunnel/AppContext.h"

#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <map>
#include <memory>

class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;
class QTimer;

namespace nimo {

// One short message in a dark translucent panel in the middle of the screen: fades in, stays two
// seconds, fades out. It floats above other windows and never takes the focus.
class ToastWindowController : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kResourceName = "ToastWindowController";

    ToastWindowController();
    ~ToastWindowController() override;

    // Set before showWindow; later changes are not shown.
    QString message;

    QLabel* titleTextField() const { return titleTextField_; }
    QWidget* panelView() const { return panelView_; }

    const double kHudFadeInDuration = 0.35;
    const double kHudFadeOutDuration = 0.35;
    const double kHudDisplayDuration = 2.0;
    const double kHudAlphaValue = 0.75;
    const double kHudCornerRadius = 18;
    const double kHudHorizontalMargin = 30;
    const double kHudHeight = 120;
    const double kHudMaxWidth = 800;

    // Sets the window up for message and puts it on screen without activating it; the panel is
    // still transparent until fadeInHud.
    void showWindow();
    void fadeInHud();
    void fadeOutHud();

    bool fadingOut() const { return fadingOut_; }
    // True where translucent windows are blended by a compositor; elsewhere the toast paints the
    // screen behind it into its corners, so they stay smooth.
    static bool compositorRunning();

Q_SIGNALS:
    // The fade-out ended and the window is hidden; the toast can be released.
    void fadedOut();

public:
    bool isFadeOutPending() const;
    qreal panelOpacity() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void setUpWindow();
    void layoutHud();
    QPixmap grabBehind() const;
    void animateOpacity(qreal to, double seconds, std::function<void()> done);

    QLabel* titleTextField_ = nullptr;
    QWidget* panelView_ = nullptr;
    QGraphicsOpacityEffect* opacity_ = nullptr;
    QPointer<QPropertyAnimation> animation_;
    QTimer* timerToFadeOut_ = nullptr;
    bool fadingOut_ = false;
    bool setUp_ = false;
    QPixmap behind_; // the screen under the toast, without a compositor
};

// The host rule: one toast per owner. Closes the owner's previous toast at once, makes a new one in
// its place, shows text and fades it in.
void showToastIn(std::unique_ptr<ToastWindowController>& slot, const QString& text);

// The application's toast presenter: one toast per owner, released with its owner.
class Toasts : public QObject, public ToastPresenter {
    Q_OBJECT
public:
    using QObject::QObject;
    void showToast(QObject* owner, const QString& text) override;
    // The toast owner shows now (it may have faded out), or null.
    ToastWindowController* current(const QObject* owner) const;

private:
    std::map<const QObject*, std::unique_ptr<ToastWindowController>> slots_;
};

} // namespace nimo
