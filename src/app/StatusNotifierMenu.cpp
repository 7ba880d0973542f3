#include "app/StatusNotifierMenu.h"

#include "platform/Log.h"

#include <QAction>
#include <QBuffer>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QMenu>
#include <QMetaObject>
#include <QTimer>

namespace nimo {

// (id, properties, children): one entry of the menu's layout and, recursively, what is under it.
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<DBusMenuLayout> children;
};

// (id, properties): an entry's properties without its children.
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemList = QList<DBusMenuItem>;

// (id, event, data, timestamp): one of a group of events.
struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout) {
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const DBusMenuLayout& child : layout.children)
        argument << QDBusVariant(QVariant::fromValue(child));
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout) {
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        layout.children.append(qdbus_cast<DBusMenuLayout>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

} // namespace nimo

Q_DECLARE_METATYPE(nimo::DBusMenuLayout)
Q_DECLARE_METATYPE(nimo::DBusMenuItem)
Q_DECLARE_METATYPE(nimo::DBusMenuEvent)

namespace nimo {

namespace {

// dbusmenu marks a mnemonic with "_"; the menu's titles have none, so theirs are doubled.
QString labelOf(const QAction* action) {
    return QString(action->text()).replace(u'_', QStringLiteral("__"));
}

QVariantMap propertiesOf(const QAction* action, const QStringList& wanted) {
    QVariantMap all;
    if (action->isSeparator()) {
        all.insert(QStringLiteral("type"), QStringLiteral("separator"));
    } else {
        all.insert(QStringLiteral("label"), labelOf(action));
        if (action->isCheckable()) {
            all.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
            all.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
        }
        if (!action->icon().isNull()) {
            QBuffer png;
            png.open(QIODevice::WriteOnly);
            action->icon().pixmap(QSize(16, 16)).save(&png, "PNG");
            all.insert(QStringLiteral("icon-data"), png.data());
        }
    }
    all.insert(QStringLiteral("enabled"), action->isEnabled());
    all.insert(QStringLiteral("visible"), action->isVisible());
    if (wanted.isEmpty())
        return all;
    QVariantMap picked;
    for (const QString& key : wanted)
        if (all.contains(key))
            picked.insert(key, all.value(key));
    return picked;
}

} // namespace

// The menu's D-Bus face; the panel reads the layout and sends the clicks.
class StatusNotifierMenuAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit StatusNotifierMenuAdaptor(StatusNotifierMenu* menu) : QDBusAbstractAdaptor(menu), menu_(menu) {}

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   nimo::DBusMenuLayout& layout) {
        layout = {parentId, {}, {}};
        if (parentId != 0) {
            if (const QAction* action = menu_->entry(parentId))
                layout.properties = propertiesOf(action, propertyNames);
            return menu_->revision();
        }
        layout.properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        if (recursionDepth != 0 && menu_->menu())
            for (QAction* action : menu_->menu()->actions())
                layout.children.append({menu_->idOf(action), propertiesOf(action, propertyNames), {}});
        return menu_->revision();
    }

    nimo::DBusMenuItemList GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames) {
        DBusMenuItemList items;
        for (int id : ids)
            if (const QAction* action = menu_->entry(id))
                items.append({id, propertiesOf(action, propertyNames)});
        return items;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        const QAction* action = menu_->entry(id);
        return QDBusVariant(action ? propertiesOf(action, {name}).value(name) : QVariant());
    }

    void Event(int id, const QString& eventId, const QDBusVariant&, uint) { handle(id, eventId); }

    QList<int> EventGroup(const nimo::DBusMenuEventList& events) {
        QList<int> unknown;
        for (const DBusMenuEvent& event : events)
            if (!handle(event.id, event.eventId))
                unknown.append(event.id);
        return unknown;
    }

    bool AboutToShow(int) { return false; }
    QList<int> AboutToShowGroup(const QList<int>&, QList<int>& idErrors) {
        idErrors.clear();
        return {};
    }

Q_SIGNALS:
    void LayoutUpdated(uint revision, int parent);

private:
    // A click runs the entry's action once the call is answered, as the menu's own click does.
    bool handle(int id, const QString& eventId) {
        QAction* action = menu_->entry(id);
        if (!action)
            return false;
        if (eventId == QLatin1String("clicked") && action->isEnabled() && !action->isSeparator())
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
        return true;
    }

    StatusNotifierMenu* menu_;
};

StatusNotifierMenu::StatusNotifierMenu(QMenu* menu, QObject* parent) : QObject(parent), menu_(menu) {
    qDBusRegisterMetaType<DBusMenuLayout>();
    qDBusRegisterMetaType<DBusMenuItem>();
    qDBusRegisterMetaType<DBusMenuItemList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    adaptor_ = new StatusNotifierMenuAdaptor(this);
    // One new revision for a burst of changes: a status change retitles several entries at once.
    auto* changed = new QTimer(this);
    changed->setSingleShot(true);
    changed->setInterval(0);
    connect(changed, &QTimer::timeout, this, [this] { Q_EMIT adaptor_->LayoutUpdated(++revision_, 0); });
    if (menu_)
        for (QAction* action : menu_->actions())
            connect(action, &QAction::changed, changed, qOverload<>(&QTimer::start));
}

bool StatusNotifierMenu::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() ||
        !bus.registerObject(QString::fromLatin1(kPath), this, QDBusConnection::ExportAdaptors)) {
        platform::consoleLog("status item: the session bus refused its menu");
        return false;
    }
    return true;
}

QAction* StatusNotifierMenu::entry(int id) const {
    if (!menu_ || id < 1 || id > menu_->actions().size())
        return nullptr;
    return menu_->actions().at(id - 1);
}

int StatusNotifierMenu::idOf(QAction* action) const {
    return menu_ ? int(menu_->actions().indexOf(action)) + 1 : 0;
}

} // namespace nimo

#include "StatusNotifierMenu.moc"
