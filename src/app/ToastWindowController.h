#pragma once

#include "tunnel/AppContext.h"

#include <QPixmap>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>

class QGraphicsOpacityEffect;
class QLabel;
class QPropertyAnimation;
class QTimer;

namespace nimo {

// One short message in a dark translucent panel: fades in, stays two seconds, fades out. Never takes
// the focus or a click. Without a host it is a window of its own in the middle of the screen,
// floating above other windows; with one it is drawn inside the host, in its middle, above the
// host's views (compositors such as Wayland's place a window of its own where they like).
class ToastWindowController : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kResourceName = "ToastWindowController";

    explicit ToastWindowController(QWidget* host = nullptr);
    ~ToastWindowController() override;

    // Set before showWindow; later changes are not shown.
    QString message;

    QLabel* titleTextField() const { return titleTextField_; }
    QWidget* panelView() const { return panelView_; }

    static constexpr double kHudFadeInDuration = 0.35;
    static constexpr double kHudFadeOutDuration = 0.35;
    static constexpr double kHudDisplayDuration = 2.0;
    static constexpr double kHudAlphaValue = 0.75;
    static constexpr double kHudCornerRadius = 18;
    static constexpr double kHudHorizontalMargin = 30;
    static constexpr double kHudHeight = 120;
    static constexpr double kHudMaxWidth = 800;
    // The whole time on screen: fade in, shown, fade out.
    static constexpr int kLifetimeMs =
        static_cast<int>((kHudFadeInDuration + kHudDisplayDuration + kHudFadeOutDuration) * 1000 + 0.5);

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

// The application's toast presenter: one toast per owner, released with its owner. While a window
// of ours shows, the toast is drawn inside it; while none does, it is a desktop notification that
// replaces the owner's previous one and expires with the toast's time; a toast window of its own
// only where no notification server answers.
class Toasts : public QObject, public ToastPresenter {
    Q_OBJECT
public:
    static constexpr const char* kNotificationsService = "org.freedesktop.Notifications";
    static constexpr const char* kNotificationsPath = "/org/freedesktop/Notifications";

    explicit Toasts(QObject* parent = nullptr);
    ~Toasts() override;
    void showToast(QObject* owner, const QString& text) override;
    // The toast owner shows now (it may have faded out), or null; none while it is a notification.
    ToastWindowController* current(const QObject* owner) const;
    // The id the notification server gave the owner's last notification, 0 for none.
    uint notificationId(const QObject* owner) const;

    // The window toasts are drawn in, or null while none shows; the main window by default.
    std::function<QWidget*()> hostWindow;

private:
    struct Slot {
        QPointer<ToastWindowController> toast;
        uint notificationId = 0;
    };
    Slot& slotOf(QObject* owner);
    void showIn(QObject* owner, QWidget* host, const QString& text);
    void notify(QObject* owner, const QString& text);
    void closeNotification(uint id);

    std::map<const QObject*, Slot> slots_;
};

} // namespace nimo
