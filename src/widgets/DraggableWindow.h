#pragma once

#include <QPoint>
#include <QWidget>
#include <optional>

namespace nimo {

// A frameless top-level window that moves when dragged by its background: presses that no child
// takes (image views, labels, plain views) reach it and start the move. Screen readers see it as a
// frame named by its title.
class DraggableWindow : public QWidget {
    Q_OBJECT
public:
    explicit DraggableWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

protected:
    // Tab and Shift+Tab go round the shown controls in reading order.
    bool focusNextPrevChild(bool next) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    std::optional<QPoint> dragOffset_; // press point relative to the window, when moving by hand
};

} // namespace nimo
