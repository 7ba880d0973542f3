#include "app/MainWindowController.h"

#include "app/NodesInfoVC.h"
#include "widgets/Images.h"

#include <QGuiApplication>
#include <QHideEvent>
#include <QPixmapCache>
#include <QScreen>

namespace nimo {

MainWindowController::MainWindowController(const AppContext& context)
    : DraggableWindow(nullptr, Qt::Window | Qt::FramelessWindowHint) {
    setObjectName(QString::fromLatin1(kResourceName));
    mainVC_ = new NodesInfoVC(context, this);
}

MainWindowController::~MainWindowController() = default;

std::unique_ptr<MainWindowController>
MainWindowController::makeMainWindowController(const QString& title, const AppContext& context) {
    auto controller = std::make_unique<MainWindowController>(context);
    controller->setWindowTitle(title);
    controller->setWindowIcon(images::icon(images::kAppIcon));
    controller->setFixedSize(NodesInfoVC::kWidth, NodesInfoVC::kHeight);
    controller->mainVC_->move(0, 0);
    controller->mainVC_->windowController = controller.get();
    return controller;
}

void MainWindowController::center() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    QRect frame = geometry();
    frame.moveCenter(available.center());
    // On a screen smaller than the window the title strip and its close and minimise buttons
    // (top right) stay on screen; the left edge gives way.
    if (frame.top() < available.top())
        frame.moveTop(available.top());
    if (frame.right() > available.right())
        frame.moveRight(available.right());
    move(frame.topLeft());
}

void MainWindowController::showWindow() {
    show();
    raise();
}

void MainWindowController::hideEvent(QHideEvent* event) {
    // Hidden (to the tray, or minimised): the style's cached drawings go, and with them the cache's
    // flush timer, which would otherwise wake the idle client once more after the last paint.
    QPixmapCache::clear();
    DraggableWindow::hideEvent(event);
}

} // namespace nimo
