#include "widgets/EditingShortcuts.h"

#include "support/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLineEdit>
#include <gtest/gtest.h>

using namespace nimo;

namespace {
// Delivered as a real key press is: shortcut override first, then the press.
void press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
    const QString text = modifiers == Qt::NoModifier ? QString(QChar(key)).toLower() : QString();
    QKeyEvent override(QEvent::ShortcutOverride, key, modifiers, text);
    const bool overridden = QApplication::sendEvent(target, &override) && override.isAccepted();
    if (!overridden) {
        QKeySequence sequence(QKeyCombination(modifiers, key));
        for (QAction* action : target->window()->actions())
            if (action->shortcut() == sequence) {
                action->trigger();
                return;
            }
    }
    QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &event);
}
} // namespace

TEST(EditingShortcuts, SelectAllCopyPasteCutInEveryTextField) {
    installEditingShortcuts(QApplication::instance());
    installEditingShortcuts(QApplication::instance()); // once is enough; twice does not double

    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("hello"), &window);
    auto* other = new QLineEdit(&window);
    other->move(0, 40);
    // A window shortcut on the same key must not take it from the field.
    int stolen = 0;
    auto* selectAllAction = new QAction(&window);
    selectAllAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    window.addAction(selectAllAction);
    QObject::connect(selectAllAction, &QAction::triggered, [&] { ++stolen; });
    window.show();
    window.activateWindow();
    field->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return field->hasFocus(); }));

    press(field, Qt::Key_A);
    EXPECT_EQ(field->selectedText(), QStringLiteral("hello"));
    EXPECT_EQ(stolen, 0);

    press(field, Qt::Key_C);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("hello"));

    press(field, Qt::Key_X);
    EXPECT_EQ(field->text(), QString());

    other->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return other->hasFocus(); }));
    press(other, Qt::Key_V);
    EXPECT_EQ(other->text(), QStringLiteral("hello"));

    // Other keys keep the field's own behaviour: undo takes the paste back.
    press(other, Qt::Key_Z);
    EXPECT_EQ(other->text(), QString());
    // A plain letter types.
    press(other, Qt::Key_A, Qt::NoModifier);
    EXPECT_EQ(other->text(), QStringLiteral("a"));
}

TEST(EditingShortcuts, ReadOnlyFieldCopiesButDoesNotCut) {
    installEditingShortcuts(QApplication::instance());
    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("fixed"), &window);
    field->setReadOnly(true);
    // Even where the field cannot cut or paste, the key stays with it: no window shortcut runs.
    int stolen = 0;
    for (const Qt::Key key : {Qt::Key_X, Qt::Key_V}) {
        auto* action = new QAction(&window);
        action->setShortcut(QKeySequence(Qt::CTRL | key));
        window.addAction(action);
        QObject::connect(action, &QAction::triggered, [&] { ++stolen; });
    }
    window.show();
    window.activateWindow();
    field->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return field->hasFocus(); }));
    press(field, Qt::Key_A);
    press(field, Qt::Key_X);
    EXPECT_EQ(field->text(), QStringLiteral("fixed"));
    press(field, Qt::Key_C);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("fixed"));
    press(field, Qt::Key_V);
    EXPECT_EQ(field->text(), QStringLiteral("fixed"));
    EXPECT_EQ(stolen, 0);
}

TEST(EditingShortcuts, KeyEquivalentGoesToTheFocusedWidgetOfTheWindow) {
    QWidget window;
    auto* field = new QLineEdit(QStringLiteral("one"), &window);
    auto* focused = new QLineEdit(QStringLiteral("two"), &window);
    window.show();
    window.activateWindow();
    focused->setFocus();
    ASSERT_TRUE(test::waitUntil([&] { return focused->hasFocus(); }));
    QKeyEvent selectAll(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier);
    EXPECT_TRUE(performKeyEquivalent(field, &selectAll));
    EXPECT_EQ(focused->selectedText(), QStringLiteral("two"));
    EXPECT_FALSE(field->hasSelectedText());

    QKeyEvent undo(QEvent::KeyPress, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_FALSE(performKeyEquivalent(field, &undo));
    QLineEdit orphan; // no window focus: nothing to send to
    EXPECT_FALSE(performKeyEquivalent(&orphan, &selectAll));
}
