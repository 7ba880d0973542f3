#include "widgets/DraggableWindow.h"

#include "widgets/KeyboardFocus.h"

#include <QAccessibleWidget>
#include <QMouseEvent>
#include <QWindow>

namespace nimo {

namespace {
// A plain top-level widget reads as a "filler"; ours is the application's frame.
QAccessibleInterface* windowAccessible(const QString& className, QObject* object) {
    if (className != QLatin1String("nimo::DraggableWindow") || !object || !object->isWidgetType())
        return nullptr;
    auto* widget = static_cast<QWidget*>(object);
    return widget->isWindow() ? new QAccessibleWidget(widget, QAccessible::Window) : nullptr;
}
} // namespace

DraggableWindow::DraggableWindow(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {
    static const bool installed = (QAccessible::installFactory(windowAccessible), true);
    (void)installed;
}

bool DraggableWindow::focusNextPrevChild(bool next) {
    return focusNextInReadingOrder(focusScopeOf(this), next) || QWidget::focusNextPrevChild(next);
}

void DraggableWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    // The window manager moves it where it can (it also snaps and keeps it on screen).
    if (QWindow* handle = windowHandle(); handle && handle->startSystemMove())
        return;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void DraggableWindow::mouseMoveEvent(QMouseEvent* event) {
    if (!dragOffset_ || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    move(event->globalPosition().toPoint() - *dragOffset_);
    event->accept();
}

void DraggableWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragOffset_.reset();
    QWidget::mouseReleaseEvent(event);
}

} // namespace nimo
