#include "DesktopPeers.h"
#include "ShellFixture.h"
#include "app/NodesInfoVC.h"
#include "app/ToastWindowController.h"
#include "support/TestSupport.h"
#include "widgets/Frames.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFontMetrics>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <gtest/gtest.h>

using namespace nimo;
using nimo::test::waitUntil;

namespace {
QRect availableGeometry() {
    return QGuiApplication::primaryScreen()->availableGeometry();
}
} // namespace

TEST(Toast, HasTheFixedLookAndSitsInTheMiddleOfTheScreen) {
    std::unique_ptr<ToastWindowController> slot;
    showToastIn(slot, QStringLiteral("代理：已开启"));
    ToastWindowController& toast = *slot;
    EXPECT_EQ(toast.kHudFadeInDuration, 0.35);
    EXPECT_EQ(toast.kHudDisplayDuration, 2.0);
    EXPECT_EQ(toast.kHudMaxWidth, 800);

    const QLabel* text = toast.titleTextField();
    const int lw = text->width();
    EXPECT_GT(lw, 0);
    EXPECT_EQ(toast.size(), QSize(lw + 60, 120));
    EXPECT_EQ(toast.panelView()->geometry(), QRect(0, 0, lw + 60, 120));
    EXPECT_EQ(text->x(), 30);
    EXPECT_EQ(frameOf(text).y(), (120 - text->height()) / 2); // bottom-left origin, as laid out
    EXPECT_EQ(toast.geometry().center().x() / 2, availableGeometry().center().x() / 2);
    EXPECT_NEAR(toast.geometry().center().y(), availableGeometry().center().y(), 1);
    EXPECT_EQ(text->text(), QStringLiteral("代理：已开启"));
    EXPECT_TRUE(text->wordWrap());
    EXPECT_TRUE(toast.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(toast.windowFlags() & Qt::FramelessWindowHint);
}

TEST(Toast, LongTextWrapsAt800PointsToTenLinesAtMost) {
    const QString sentence = QStringLiteral("升级会员后可解锁使用，");
    QString longText;
    for (int i = 0; i < 120; ++i)
        longText += sentence;
    std::unique_ptr<ToastWindowController> slot;
    showToastIn(slot, longText);
    const QLabel* text = slot->titleTextField();
    const QFontMetrics metrics(text->font());
    EXPECT_LE(text->width(), 800);
    EXPECT_GT(text->width(), 700);
    EXPECT_EQ(text->height(), 10 * metrics.lineSpacing());
    EXPECT_EQ(slot->height(), 120); // the text overflows the panel, the window keeps its height
    EXPECT_LT(text->y(), 0);

    showToastIn(slot, QString());
    EXPECT_EQ(slot->width(), 60); // an empty message still shows an empty panel
    EXPECT_TRUE(slot->isVisible());
}

TEST(Toast, FadesInStaysAndFadesOutThenLeavesTheScreen) {
    std::unique_ptr<ToastWindowController> slot;
    showToastIn(slot, QStringLiteral("加载失败，请稍候重试"));
    ToastWindowController& toast = *slot;
    EXPECT_TRUE(toast.isVisible());
    EXPECT_LT(toast.panelOpacity(), 1.0);
    ASSERT_TRUE(waitUntil([&] { return toast.panelOpacity() == 1.0; }));
    EXPECT_TRUE(toast.isFadeOutPending());
    EXPECT_FALSE(toast.fadingOut());
    ASSERT_TRUE(waitUntil([&] { return toast.fadingOut(); }));
    ASSERT_TRUE(waitUntil([&] { return !toast.isVisible(); }));
    EXPECT_FALSE(toast.fadingOut());
    EXPECT_EQ(toast.panelOpacity(), 0.0);
}

TEST(Toast, FadeInDuringFadeOutKeepsItOnScreen) {
    std::unique_ptr<ToastWindowController> slot;
    showToastIn(slot, QStringLiteral("hello"));
    ToastWindowController& toast = *slot;
    ASSERT_TRUE(waitUntil([&] { return toast.panelOpacity() == 1.0; }));
    toast.fadeOutHud();
    ASSERT_TRUE(waitUntil([&] { return toast.panelOpacity() < 1.0; }));
    toast.fadeInHud();
    EXPECT_FALSE(toast.fadingOut());
    ASSERT_TRUE(waitUntil([&] { return toast.panelOpacity() == 1.0; }));
    EXPECT_TRUE(toast.isVisible());
    EXPECT_TRUE(toast.isFadeOutPending());
}

TEST(Toast, ASecondToastOfTheSameOwnerClosesTheFirstAtOnce) {
    std::unique_ptr<ToastWindowController> slot;
    showToastIn(slot, QStringLiteral("first"));
    QPointer<ToastWindowController> first = slot.get();
    ASSERT_TRUE(first->isVisible());
    showToastIn(slot, QStringLiteral("second"));
    EXPECT_TRUE(first.isNull());
    EXPECT_EQ(slot->message, QStringLiteral("second"));
    EXPECT_TRUE(slot->isVisible());
    int visibleToasts = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        visibleToasts += qobject_cast<ToastWindowController*>(w) && w->isVisible();
    EXPECT_EQ(visibleToasts, 1);
}

TEST(Toast, DelegateAndMainScreenToastsCoexistAndNeverTakeFocus) {
    test::Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    MainWindowController* window = shell.delegate.mainWC();
    window->activateWindow();
    ASSERT_TRUE(waitUntil([&] { return QApplication::activeWindow() == window; }));

    shell.delegate.handleVpnStatusChange(2);
    shell.delegate.handleVpnStatusChange(3);
    window->mainVC()->showToast(QStringLiteral("已切换至[自动适配最佳线路]"));
    ToastWindowController* fromDelegate = shell.delegate.toastW();
    ToastWindowController* fromScreen = window->mainVC()->toastWC();
    ASSERT_NE(fromDelegate, nullptr);
    ASSERT_NE(fromScreen, nullptr);
    EXPECT_NE(fromDelegate, fromScreen);
    test::Shell::drain();
    EXPECT_TRUE(fromDelegate->isVisible());
    EXPECT_TRUE(fromScreen->isVisible());
    EXPECT_EQ(fromDelegate->message, QStringLiteral("代理：已开启"));

    // Both are drawn inside the shown window, in its middle, and neither takes a click or the focus.
    QWidget* focus = QApplication::focusWidget();
    for (ToastWindowController* toast : {fromDelegate, fromScreen}) {
        EXPECT_EQ(toast->parentWidget(), window);
        EXPECT_FALSE(toast->isWindow());
        EXPECT_LE((toast->geometry().center() - window->rect().center()).manhattanLength(), 1);
        EXPECT_TRUE(toast->testAttribute(Qt::WA_TransparentForMouseEvents));
        EXPECT_EQ(window->childAt(window->rect().center())->window(), window);
        EXPECT_FALSE(toast->isAncestorOf(window->childAt(window->rect().center())));
    }
    EXPECT_EQ(QApplication::activeWindow(), window);
    EXPECT_EQ(QApplication::focusWidget(), focus);
}

// With the window hidden in the tray the delegate's toasts are notifications, each replacing the
// last and expiring with the toast's time; with no server answering, the toast shows on its own.
TEST(Toast, WhileNoWindowShowsToastsAreNotificationsOrWindowsOfTheirOwn) {
    test::PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon did not start";
    test::ScopedEnv address("DBUS_SESSION_BUS_ADDRESS", bus.address().toStdString());
    QDBusConnection server = QDBusConnection::connectToBus(bus.address(), QStringLiteral("notifications"));
    test::FakeNotifications notifications;
    ASSERT_TRUE(server.registerObject(QString::fromLatin1(Toasts::kNotificationsPath), &notifications,
                                      QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(server.registerService(QString::fromLatin1(Toasts::kNotificationsService)));

    test::Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    shell.delegate.mainWC()->hide();
    shell.delegate.handleVpnStatusChange(2);
    shell.delegate.handleVpnStatusChange(3);
    ASSERT_TRUE(waitUntil([&] { return shell.screens.toasts.notificationId(&shell.delegate) == 42; }));
    EXPECT_EQ(shell.delegate.toastW(), nullptr);
    shell.delegate.handleVpnStatusChange(5);
    shell.delegate.handleVpnStatusChange(1);
    ASSERT_TRUE(waitUntil([&] { return notifications.calls.size() == 2; }));
    EXPECT_EQ(notifications.calls,
              QStringList({QStringLiteral("0|代理：已开启|2700"), QStringLiteral("42|代理：已关闭|2700")}));

    ASSERT_TRUE(server.unregisterService(QString::fromLatin1(Toasts::kNotificationsService)));
    shell.delegate.handleVpnStatusChange(3);
    ASSERT_TRUE(waitUntil([&] { return shell.delegate.toastW() != nullptr; }));
    EXPECT_TRUE(shell.delegate.toastW()->isWindow());
    EXPECT_EQ(shell.delegate.toastW()->message, QStringLiteral("代理：已开启"));
    QDBusConnection::disconnectFromBus(QStringLiteral("notifications"));
}
