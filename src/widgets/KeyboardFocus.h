#pragma once

#include <QList>
#include <QRectF>

class QAbstractButton;
class QPainter;
class QWidget;

namespace nimo {

// Keyboard use of a control: Tab reaches it (a click does not take focus, so the mouse leaves the
// look unchanged), Space presses it, Return and Enter press it too unless returnPresses is false
// (a check box in a dialog, where Return is the dialog's), and the focus ring shows only while
// the keyboard brought the focus there.
void makeKeyboardControl(QAbstractButton* control, bool returnPresses = true);
// Whether control holds focus that came by Tab, Backtab or a shortcut.
bool showsFocusRing(const QWidget* control);
// The ring, just inside rect, in the window's accent colour.
void paintFocusRing(QPainter& painter, const QRectF& rect, qreal radius = 3);

// The controls of scope that Tab visits (shown, enabled, taking Tab focus), in reading order: line
// by line from the top, left to right within a line.
QList<QWidget*> readingOrder(const QWidget* scope);
// A view that keeps Tab within itself while shown (a dialog over the page).
void markFocusScope(QWidget* view);
// The shown focus scope inside window, or window itself.
QWidget* focusScopeOf(QWidget* window);

// Moves the focus to the next (or previous) of readingOrder(scope), round and round; false when
// scope holds none.
bool focusNextInReadingOrder(QWidget* scope, bool next);

} // namespace nimo
