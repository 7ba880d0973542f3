#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/DiagnosticEntry.h"
#include "app/SingleInstance.h"
#include "http/SessionManager.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"
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
    nimo::DesktopUrlOpener opener;
    nimo::Toasts toasts;
    const nimo::AppContext context{settings,
                                   nimo::NimoShared::shared(),
                                   nimo::VPNTunnelManager::shared(),
                                   nimo::http::SessionManager::defaultSession(),
                                   opener,
                                   toasts};
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
