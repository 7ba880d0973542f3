#include "widgets/EditingShortcuts.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMetaObject>
#include <algorithm>
#include <cstring>

namespace nimo {

namespace {

// The action for a key, or nullptr for keys left to the field.
const char* actionFor(const QKeyEvent* event) {
    if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier)
        return nullptr;
    switch (event->key()) {
    case Qt::Key_A:
        return "selectAll";
    case Qt::Key_C:
        return "copy";
    case Qt::Key_V:
        return "paste";
    case Qt::Key_X:
        return "cut";
    default:
        return nullptr;
    }
}

class EditingShortcutFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Every event of the application passes here, many posted from other threads: the cheap
        // look at the receiver comes first, and the event itself is read only for a field's.
        auto* field = qobject_cast<QLineEdit*>(watched);
        if (!field)
            return false;
        const auto type = event->type();
        if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride)
            return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (!actionFor(key))
            return false;
        if (type == QEvent::ShortcutOverride) {
            key->accept(); // the field keeps the key; no window shortcut takes it
            return true;
        }
        performKeyEquivalent(field, key);
        return true;
    }
};

} // namespace

bool performKeyEquivalent(QWidget* field, QKeyEvent* event) {
    const char* action = actionFor(event);
    if (!field || !action)
        return false;
    QWidget* window = field->window();
    QWidget* responder = window ? window->focusWidget() : nullptr;
    if (!responder)
        return false;
    // The cut and paste slots ignore read-only (only the field's own key handling checks it): a
    // read-only field keeps the key and its text.
    const bool edits = std::strcmp(action, "cut") == 0 || std::strcmp(action, "paste") == 0;
    if (edits && responder->property("readOnly").toBool())
        return true;
    return QMetaObject::invokeMethod(responder, action, Qt::DirectConnection);
}

void installEditingShortcuts(QCoreApplication* app) {
    if (!app)
        return;
    // The filter has no meta-object of its own, so findChild would take any child (the event
    // dispatcher) for it and never install it.
    const QObjectList children = app->children();
    if (std::any_of(children.begin(), children.end(),
                    [](const QObject* child) { return dynamic_cast<const EditingShortcutFilter*>(child); }))
        return;
    app->installEventFilter(new EditingShortcutFilter(app));
}

} // namespace nimo
