#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>

class QAction;

namespace nimo {

class StatusNotifierMenuAdaptor;

// A menu handed to the panel over com.canonical.dbusmenu, which the panel draws itself, next to
// its item and in its own style. A menu Qt pops up on Wayland has no place to go: it lands where the
// pointer last was in one of our windows, or in the middle of the screen.
class StatusNotifierMenu : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kPath = "/MenuBar";

    // Entries are the menu's actions, one level deep, numbered from 1 in their order.
    explicit StatusNotifierMenu(QMenu* menu, QObject* parent = nullptr);

    // Exports the menu on the session bus at kPath.
    bool start();

    // Read by the adaptor. Entry 0 is the root.
    QMenu* menu() const { return menu_; }
    uint revision() const { return revision_; }
    QAction* entry(int id) const;
    int idOf(QAction* action) const;

private:
    QPointer<QMenu> menu_;
    StatusNotifierMenuAdaptor* adaptor_ = nullptr;
    uint revision_ = 1;
};

} // namespace nimo
