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
#include <QTimer>
#include <QWidget>

namespace {
// For start-up measurements: quit once the first top-level window has painted.
class QuitAfterFirstPaint : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !done_) {
            if (auto* w = qobject_cast<QWidget*>(watched); w && w->isWindow()) {
                done_ = true;
                QTimer::singleShot(0, qApp, &QApplication::quit);
            }
        }
        return false;
    }

private:
    bool done_ = false;
};
} // namespace

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
    nimo::SettingsStore settings;
    nimo::DesktopUrlOpener opener;
    nimo::Toasts toasts;
    const nimo::AppContext context{settings,
                                   nimo::NimoShared::shared(),
                                   nimo::VPNTunnelManager::shared(),
                                   nimo::http::SessionManager::defaultSession(),
                                   opener,
                                   toasts};
    nimo::AppDelegate delegate(context, toasts);
    QObject::connect(&instance, &nimo::SingleInstance::activationRequested, &delegate,
                     &nimo::AppDelegate::openMainDialog);
    QuitAfterFirstPaint quitAfterFirstPaint;
    if (qEnvironmentVariableIsSet("NIMO_QUIT_AFTER_FIRST_PAINT"))
        app.installEventFilter(&quitAfterFirstPaint);
    delegate.applicationDidFinishLaunching();
    const int result = app.exec();
    delegate.applicationWillTerminate();
    return result;
}
