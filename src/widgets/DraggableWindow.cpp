#include "widgets/DraggableWindow.h"

#include <QMouseEvent>
#include <QWindow>

namespace nimo {

DraggableWindow::DraggableWindow(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

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
