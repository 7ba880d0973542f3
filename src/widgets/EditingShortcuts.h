#pragma once

class QCoreApplication;
class QKeyEvent;
class QObject;
class QWidget;

namespace nimo {

// Ctrl+A, Ctrl+C, Ctrl+V and Ctrl+X in every text field of the application send select all, copy,
// paste and cut to the focused widget of the field's window, even where a window shortcut or a menu
// would claim the key. Other keys keep the field's own behaviour.
void installEditingShortcuts(QCoreApplication* app);

// One key event on a text field: true when it was one of the four and the focused widget took the
// action.
bool performKeyEquivalent(QWidget* field, QKeyEvent* event);

} // namespace nimo
