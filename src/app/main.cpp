#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/DiagnosticEntry.h"
#include "app/SingleInstance.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "service/AccountSession.h"
#include "service/NetWorkTool.h"
#include "service/SecretKeyring.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/NimoShared.h"
#include "tunnel/VPNTunnelManager.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    nimo::configureApplication(app);
    if (const auto code = nimo::runDiagnosticEntry(app))
        return *code;

    nimo::SingleInstance instance(QString::fromStdString(nimo::platform::paths::runtimeDir()));
    if (!instance.becomePrimary()) {
        if (instance.notifyPrimary())
            return 0;
        nimo::platform::consoleLog("nimo is already running and did not answer");
        return 1;
    }

    // The screens' dependencies, made once here and handed down.
    const std::string settingsFile = nimo::platform::paths::settingsFile();
    nimo::SettingsStore settings(settingsFile, nimo::platform::paths::keychainDir(),
                                 std::make_shared<nimo::SecretKeyring>(settingsFile));
    // 自动登录 off: each launch starts signed out; the remembered account stays filled in.
    // Decided from the file alone, so a signed-out start does not wake the keyring before the first
    // paint; a session always leaves its user info there.
    namespace keys = nimo::UserDefaultsCacheKeys;
    if (!settings.contains(keys::lastAutoLogin) &&
        (settings.hasUserInfo() || settings.values().contains(keys::apiToken)))
        (void)settings.clearSession();
    nimo::AccountSession account(settings);
    nimo::DesktopUrlOpener opener;
    nimo::Toasts toasts;
    nimo::http::SessionManager session(nimo::http::SessionManager::standardConfiguration());
    auto setup = nimo::VPNTunnelManager::Setup::defaults();
    setup.shared = &nimo::NimoShared::shared();
    setup.settings = &settings;
    nimo::VPNTunnelManager::configureShared(std::move(setup));
    const nimo::AppContext context{
        settings, nimo::NimoShared::shared(), nimo::VPNTunnelManager::shared(), session, opener, toasts,
        account};
    nimo::AppDelegate delegate(context, toasts);
    QObject::connect(&instance, &nimo::SingleInstance::activationRequested,
                     &nimo::SingleInstance::adoptToken);
    QObject::connect(&instance, &nimo::SingleInstance::activationRequested, &delegate,
                     &nimo::AppDelegate::openMainDialog);
    delegate.applicationDidFinishLaunching();
    const int result = app.exec();
    delegate.applicationWillTerminate();
    return result;
}
