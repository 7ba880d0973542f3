#include "app/ToastWindowController.h"

#include "app/MainWindowController.h"
#include "platform/Log.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFontMetrics>
#include <QGraphicsOpacityEffect>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScreen>
#include <QTimer>
#include <cmath>
#include <cstdlib>
#include <qguiapplication_platform.h>
#include <utility>
#include <xcb/xcb.h>

namespace nimo {

namespace {

class HudPanel : public QWidget {
public:
    HudPanel(qreal alpha, qreal radius, QWidget* parent) : QWidget(parent), alpha_(alpha), radius_(radius) {}
    void setBackdrop(const QColor& backdrop) {
        const auto mix = [this](float behind) {
            return static_cast<float>(kShade * alpha_ + behind * (1 - alpha_));
        };
        colour_ = QColor::fromRgbF(mix(backdrop.redF()), mix(backdrop.greenF()), mix(backdrop.blueF()));
        alpha_ = 1.0;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor colour = colour_;
        colour.setAlphaF(static_cast<float>(alpha_));
        painter.setBrush(colour);
        painter.drawRoundedRect(QRectF(rect()), radius_, radius_);
    }

private:
    static constexpr float kShade = 0.05f;
    QColor colour_ = QColor::fromRgbF(kShade, kShade, kShade);
    qreal alpha_;
    qreal radius_;
};

constexpr int kMaxLines = 10;

// On X11 (and offscreen) a tool-tip window is what a toast needs: never given the focus, above
// every window, on every desktop, unmanaged. Wayland cannot show one without a parent window there.
// Clicks go through it: a toast sits in the middle of the screen, over the buttons of the main
// window, and must not swallow the click meant for one of them.
Qt::WindowFlags toastWindowFlags() {
    const Qt::WindowFlags common = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                                   Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput;
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
        return Qt::Tool | common;
    return Qt::ToolTip | common | Qt::X11BypassWindowManagerHint;
}

} // namespace

ToastWindowController::ToastWindowController(QWidget* host)
    : QWidget(host, host ? Qt::Widget | Qt::WindowDoesNotAcceptFocus : toastWindowFlags()) {
    setObjectName(QString::fromLatin1(kResourceName));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    if (host) // clicks go to the host's controls under it
        setAttribute(Qt::WA_TransparentForMouseEvents);

    panelView_ = new HudPanel(kHudAlphaValue, kHudCornerRadius, this);
    panelView_->setObjectName(QStringLiteral("panelView"));
    opacity_ = new QGraphicsOpacityEffect(panelView_);
    opacity_->setOpacity(0);
    panelView_->setGraphicsEffect(opacity_);

    titleTextField_ = new QLabel(panelView_);
    titleTextField_->setObjectName(QStringLiteral("titleTextField"));
    titleTextField_->setFocusPolicy(Qt::NoFocus);

    timerToFadeOut_ = new QTimer(this);
    timerToFadeOut_->setSingleShot(true);
    connect(timerToFadeOut_, &QTimer::timeout, this, &ToastWindowController::fadeOutHud);
}

ToastWindowController::~ToastWindowController() = default;

void ToastWindowController::setUpWindow() {
    titleTextField_->setText(message);
    titleTextField_->setTextFormat(Qt::PlainText);
    titleTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    titleTextField_->setFocusPolicy(Qt::NoFocus); // selectable text would take focus on a click
    titleTextField_->setWordWrap(true);
    titleTextField_->setAlignment(Qt::AlignCenter);
    titleTextField_->setFont(systemFont(16));
    QPalette palette = titleTextField_->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    titleTextField_->setPalette(palette);
    layoutHud();
}

void ToastWindowController::layoutHud() {
    const QFontMetrics metrics(titleTextField_->font());
    const QRect natural = metrics.boundingRect(QRect(0, 0, static_cast<int>(kHudMaxWidth), 1 << 20),
                                               Qt::TextWordWrap | Qt::AlignHCenter, message);
    const int lw = message.isEmpty() ? 0 : std::min(natural.width(), static_cast<int>(kHudMaxWidth));
    const int lh =
        message.isEmpty() ? metrics.height() : std::min(natural.height(), kMaxLines * metrics.lineSpacing());

    const int width = lw + static_cast<int>(2 * kHudHorizontalMargin);
    const int height = static_cast<int>(kHudHeight);
    if (QWidget* host = parentWidget()) {
        setGeometry((host->width() - width) / 2, (host->height() - height) / 2, width, height);
        setFrame(panelView_, 0, 0, width, height);
        setFrame(titleTextField_, kHudHorizontalMargin, (height - lh) / 2, lw, lh);
        update();
        return;
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect visible = screen ? screen->availableGeometry() : QRect(0, 0, width, height);
    // Centred on the primary screen's visible area, including its origin, so it lands on that screen.
    setGeometry(visible.x() + (visible.width() - width) / 2, visible.y() + (visible.height() - height) / 2,
                width, height);
    setFrame(panelView_, 0, 0, width, height);
    // Without a compositor a translucent window shows black where it is transparent: paint what is
    // behind it instead, so the corners stay round and smooth. Where the screen cannot be read
    // (offscreen), a mask cuts the corners.
    behind_ = {};
    clearMask();
    if (!compositorRunning() && screen) {
        if (QGuiApplication::platformName() == QLatin1String("xcb"))
            behind_ = grabBehind();
        if (!behind_.isNull()) {
            // The panel takes the colour it would have over what is behind it on average, as a
            // compositor would blend it, without showing a picture that cannot follow changes.
            const QImage average =
                behind_.toImage().scaled(1, 1, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            static_cast<HudPanel*>(panelView_)->setBackdrop(average.pixelColor(0, 0));
        } else {
            QPainterPath shape;
            shape.addRoundedRect(QRectF(0, 0, width, height), kHudCornerRadius, kHudCornerRadius);
            setMask(QRegion(shape.toFillPolygon().toPolygon()));
        }
    }
    // May be taller than the panel for ten lines; it then overflows, clipped by the window.
    setFrame(titleTextField_, kHudHorizontalMargin, (height - lh) / 2, lw, lh);
    update();
}

void ToastWindowController::paintEvent(QPaintEvent*) {
    if (behind_.isNull())
        return;
    QPainter painter(this);
    painter.drawPixmap(rect(), behind_);
}

bool ToastWindowController::compositorRunning() {
    const QString platform = QGuiApplication::platformName();
    if (platform != QLatin1String("xcb"))
        return !platform.startsWith(QLatin1String("offscreen")); // Wayland always composites
    auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // A compositing manager owns the selection _NET_WM_CM_S<screen>.
    const QByteArray name = "_NET_WM_CM_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool running = owner && owner->owner != XCB_NONE;
    std::free(owner);
    std::free(atom);
    return running;
}

void ToastWindowController::showWindow() {
    if (!setUp_) {
        setUp_ = true;
        setUpWindow();
    }
    show();
    raise();
}

QPixmap ToastWindowController::grabBehind() const {
    QScreen* screen = QGuiApplication::primaryScreen();
    QPixmap picture = screen ? screen->grabWindow(0, x(), y(), width(), height()) : QPixmap();
    if (picture.isNull())
        return picture;
    // The screen may still show what our own windows are about to repaint (a dialog that closed as
    // its toast appeared, an earlier toast going away): draw their present state over it.
    QPainter painter(&picture);
    const QRect area = geometry();
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window == this || qobject_cast<const ToastWindowController*>(window) || !window->isVisible() ||
            window->isMinimized())
            continue;
        const QRect overlap = window->geometry().intersected(area);
        if (!overlap.isEmpty())
            painter.drawPixmap(overlap.topLeft() - area.topLeft(),
                               window->grab(overlap.translated(-window->geometry().topLeft())));
    }
    return picture;
}

void ToastWindowController::animateOpacity(qreal to, double seconds, std::function<void()> done) {
    if (animation_)
        animation_->stop(); // a stopped animation reports nothing; the newer one decides
    auto* animation = new QPropertyAnimation(opacity_, "opacity", this);
    animation->setDuration(static_cast<int>(std::lround(seconds * 1000)));
    animation->setStartValue(opacity_->opacity());
    animation->setEndValue(to);
    connect(animation, &QPropertyAnimation::finished, this, std::move(done));
    animation_ = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void ToastWindowController::fadeInHud() {
    timerToFadeOut_->stop();
    fadingOut_ = false;
    animateOpacity(1.0, kHudFadeInDuration, [this] {
        timerToFadeOut_->start(static_cast<int>(std::lround(kHudDisplayDuration * 1000)));
    });
}

void ToastWindowController::fadeOutHud() {
    fadingOut_ = true;
    animateOpacity(0.0, kHudFadeOutDuration, [this] {
        const bool done = fadingOut_;
        fadingOut_ = false;
        if (done) {
            hide();
            Q_EMIT fadedOut();
        }
    });
}

bool ToastWindowController::isFadeOutPending() const {
    return timerToFadeOut_->isActive();
}

qreal ToastWindowController::panelOpacity() const {
    return opacity_->opacity();
}

void showToastIn(std::unique_ptr<ToastWindowController>& slot, const QString& text) {
    if (slot)
        slot->close();
    slot = std::make_unique<ToastWindowController>();
    slot->message = text;
    slot->showWindow();
    slot->fadeInHud();
}

Toasts::Toasts(QObject* parent) : QObject(parent) {
    hostWindow = []() -> QWidget* {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (qobject_cast<MainWindowController*>(window) && window->isVisible() && !window->isMinimized())
                return window;
        return nullptr;
    };
}

Toasts::~Toasts() {
    for (auto& [owner, slot] : slots_)
        delete slot.toast.data();
}

Toasts::Slot& Toasts::slotOf(QObject* owner) {
    auto [slot, added] = slots_.try_emplace(owner);
    if (added)
        connect(owner, &QObject::destroyed, this, [this, owner] {
            auto found = slots_.find(owner);
            if (found == slots_.end())
                return;
            delete found->second.toast.data();
            slots_.erase(found);
        });
    return slot->second;
}

void Toasts::showToast(QObject* owner, const QString& text) {
    // What the user was told belongs in the log next to what led to it.
    platform::consoleLog("toast:" + text.toStdString());
    Slot& slot = slotOf(owner);
    // The owner's previous toast goes at once, wherever it was.
    delete slot.toast.data();
    if (QWidget* host = hostWindow ? hostWindow() : nullptr) {
        closeNotification(std::exchange(slot.notificationId, 0));
        showIn(owner, host, text);
        return;
    }
    notify(owner, text);
}

void Toasts::showIn(QObject* owner, QWidget* host, const QString& text) {
    Slot& slot = slotOf(owner);
    delete slot.toast.data();
    auto* toast = new ToastWindowController(host);
    slot.toast = toast;
    toast->message = text;
    toast->showWindow();
    toast->fadeInHud();
    // A finished toast gives its window back instead of keeping it hidden until the next one.
    connect(toast, &ToastWindowController::fadedOut, toast, &QObject::deleteLater);
}

void Toasts::notify(QObject* owner, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        showIn(owner, nullptr, text);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
        QString::fromLatin1(kNotificationsService), QStringLiteral("Notify"));
    call << QStringLiteral("NimoMac") << slotOf(owner).notificationId << QStringLiteral("nimo") << text
         << QString() << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("nimo")}}
         << ToastWindowController::kLifetimeMs;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, owner, text, alive = QPointer<QObject>(owner)] {
                watcher->deleteLater();
                if (!alive)
                    return;
                const QDBusPendingReply<uint> reply = *watcher;
                if (reply.isError()) {
                    // No notification server: the toast shows on its own.
                    showIn(owner, nullptr, text);
                    return;
                }
                slotOf(owner).notificationId = reply.value();
            });
}

void Toasts::closeNotification(uint id) {
    if (id == 0)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kNotificationsService), QString::fromLatin1(kNotificationsPath),
        QString::fromLatin1(kNotificationsService), QStringLiteral("CloseNotification"));
    call << id;
    QDBusConnection::sessionBus().asyncCall(call);
}

ToastWindowController* Toasts::current(const QObject* owner) const {
    auto found = slots_.find(owner);
    return found == slots_.end() ? nullptr : found->second.toast.data();
}

uint Toasts::notificationId(const QObject* owner) const {
    auto found = slots_.find(owner);
    return found == slots_.end() ? 0 : found->second.notificationId;
}

} // namespace nimo
