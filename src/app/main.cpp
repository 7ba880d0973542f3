#include "app/AppDelegate.h"
#include "app/Application.h"
#include "app/SingleInstance.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "service/SettingsStore.h"
#include "tunnel/VPNTunnelManager.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    nimo::configureApplication(app);

    nimo::SingleInstance instance(QString::fromStdString(nimo::platform::paths::runtimeDir()));
    if (!instance.becomePrimary()) {
        if (instance.notifyPrimary())
            return 0;
        nimo::platform::consoleLog("nimo is already running and did not answer");
        return 1;
    }

    nimo::SettingsStore settings;
    nimo::AppDelegate delegate(settings, nimo::VPNTunnelManager::shared());
    QObject::connect(&instance, &nimo::SingleInstance::activationRequested, &delegate,
                     &nimo::AppDelegate::openMainDialog);
    delegate.applicationDidFinishLaunching();
    const int result = app.exec();
    delegate.applicationWillTerminate();
    return result;
}
