#include "widgets/KeyboardFocus.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QPainter>
#include <algorithm>

namespace nimo {

namespace {

constexpr const char* kKeyboardFocus = "nimoKeyboardFocus";
constexpr const char* kFocusScope = "nimoFocusScope";
constexpr int kLineSlack = 8; // tops this close belong to one line
const QColor kRingColor(0x3B, 0x79, 0xE0);

class KeyboardControl : public QObject {
public:
    KeyboardControl(QAbstractButton* control, bool returnPresses)
        : QObject(control), control_(control), returnPresses_(returnPresses) {}

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::FocusIn: {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            control_->setProperty(kKeyboardFocus, reason == Qt::TabFocusReason ||
                                                      reason == Qt::BacktabFocusReason ||
                                                      reason == Qt::ShortcutFocusReason);
            control_->update();
            break;
        }
        case QEvent::FocusOut:
            control_->setProperty(kKeyboardFocus, false);
            control_->update();
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            const bool isReturn = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
            if (isReturn && returnPresses_ && !key->isAutoRepeat() &&
                (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier && control_->isEnabled()) {
                control_->click();
                return true;
            }
            break;
        }
        default:
            break;
        }
        return false;
    }

private:
    QAbstractButton* control_;
    bool returnPresses_;
};

} // namespace

void makeKeyboardControl(QAbstractButton* control, bool returnPresses) {
    control->setFocusPolicy(Qt::TabFocus);
    control->installEventFilter(new KeyboardControl(control, returnPresses));
}

bool showsFocusRing(const QWidget* control) {
    return control && control->hasFocus() && control->property(kKeyboardFocus).toBool();
}

void paintFocusRing(QPainter& painter, const QRectF& rect, qreal radius) {
    painter.save();
    painter.resetTransform();
    painter.setOpacity(1);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(kRingColor, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(1, 1, -1, -1), radius, radius);
    painter.restore();
}

QList<QWidget*> readingOrder(const QWidget* scope) {
    struct Place {
        QWidget* widget;
        QPoint at;
    };
    std::vector<Place> places;
    for (QWidget* w : scope->findChildren<QWidget*>()) {
        if ((w->focusPolicy() & Qt::TabFocus) == 0 || !w->isVisibleTo(scope) || !w->isEnabled() ||
            w->testAttribute(Qt::WA_TransparentForMouseEvents) || w->focusProxy())
            continue;
        places.push_back({w, w->mapTo(scope, QPoint(0, 0))});
    }
    std::stable_sort(places.begin(), places.end(),
                     [](const Place& a, const Place& b) { return a.at.y() < b.at.y(); });
    // Cut into lines, then each line from the left.
    auto lineStart = places.begin();
    for (auto it = places.begin(); it != places.end(); ++it) {
        if (it->at.y() - lineStart->at.y() > kLineSlack) {
            std::stable_sort(lineStart, it,
                             [](const Place& a, const Place& b) { return a.at.x() < b.at.x(); });
            lineStart = it;
        }
    }
    std::stable_sort(lineStart, places.end(),
                     [](const Place& a, const Place& b) { return a.at.x() < b.at.x(); });
    QList<QWidget*> order;
    for (const Place& p : places)
        order << p.widget;
    return order;
}

void markFocusScope(QWidget* view) {
    view->setProperty(kFocusScope, true);
}

QWidget* focusScopeOf(QWidget* window) {
    for (QWidget* w : window->findChildren<QWidget*>())
        if (w->property(kFocusScope).toBool() && w->isVisibleTo(window))
            return w;
    return window;
}

bool focusNextInReadingOrder(QWidget* scope, bool next) {
    const QList<QWidget*> order = readingOrder(scope);
    if (order.isEmpty())
        return false;
    const qsizetype at = order.indexOf(QApplication::focusWidget());
    qsizetype to = 0;
    if (at < 0)
        to = next ? 0 : order.size() - 1;
    else
        to = (at + (next ? 1 : order.size() - 1)) % order.size();
    order[to]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

} // namespace nimo
