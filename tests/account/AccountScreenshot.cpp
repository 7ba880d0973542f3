// Shows the account page in a window on the current display and saves it once per membership look
// and once signed out; then the privileged shell command's alert as a user without pkexec sees it.
// Used by scripts/screenshots under Xvfb; not a test.
#include "account/UserAccountPage.h"
#include "app/Application.h"
#include "app/ShellCommand.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/ScreenContext.h"
#include "widgets/ColorHex.h"
#include "widgets/SmallWidgets.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>

using namespace nimo;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

std::string serviceDate(int days) {
    const QDateTime local(QDate::currentDate().addDays(days), QTime(23, 59, 59));
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate).toStdString();
}

void settle(int ms) {
    test::waitUntil([] { return false; }, std::chrono::milliseconds(ms));
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    configureApplication(app);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("out");

    test::TempXdg xdg;
    SettingsStore settings;
    VPNTunnelManager tunnel(test::quietTunnelSetup(xdg));
    test::BasicScreenContext<test::RecordedToasts> screens(settings, tunnel);

    // The page as the main screen holds it: below the 128-point toolbar, on the screen's background.
    ColorView window(colorFromHex("#EEF0F3"));
    window.setWindowTitle(QStringLiteral("NimoMac"));
    window.setFixedSize(920, 580 - 128);
    UserAccountPage page(screens.context, &window);
    page.resize(window.size());
    page.buildPage();
    window.show();

    struct Look {
        const char* file;
        int level;
        int days;
    };
    const Look looks[] = {{"account-svip.png", 2, 30},
                          {"account-vip.png", 1, 365},
                          {"account-free.png", 0, 0},
                          {"account-vip-over.png", 1, -12},
                          {"account-free-over.png", 0, -3}};
    bool ok = true;
    auto save = [&](const char* file) {
        settle(200);
        const QString path = out + QLatin1Char('/') + QLatin1String(file);
        const bool saved = window.grab().save(path);
        std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(path));
        ok = ok && saved;
    };
    (void)settings.set(keys::lastAmount, "86.37 GB");
    (void)settings.set(keys::lastAutoLogin, "true");
    for (const Look& look : looks) {
        (void)settings.set(keys::userInfo, {{"id", 1024086},
                                            {"user_name", "member@nimomac.example.com"},
                                            {"member_level", look.level},
                                            {"member_expiry_at", serviceDate(look.days)}});
        page.refresh();
        save(look.file);
    }
    settings.clearSession();
    page.refresh();
    save("account-signed-out.png");

    // The alert over the window, saved and answered from the loop it runs in.
    const test::ScopedEnv noPkexec("PATH", xdg.path("empty"));
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        answer.stop();
        settle(300);
        const QString path = out + QStringLiteral("/shell-alert.png");
        const bool saved = box->grab().save(path);
        std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(path));
        ok = ok && saved;
        box->buttons().first()->click();
    });
    answer.start(20);
    (void)runShellCommand("true", true, &window);
    return ok ? 0 : 1;
}
