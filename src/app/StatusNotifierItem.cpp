#include "app/StatusNotifierItem.h"

#include "app/StatusNotifierMenu.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFileInfo>
#include <QtEndian>
#include <unistd.h>

namespace nimo {

// One icon size of the protocol: width, height and ARGB32 pixels in network byte order.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using SniPixmapList = QList<SniPixmap>;

// (icon name, icons, title, description)
struct SniToolTip {
    QString iconName;
    SniPixmapList icons;
    QString title;
    QString description;
};

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.icons << tip.title << tip.description;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.icons >> tip.title >> tip.description;
    argument.endStructure();
    return argument;
}

} // namespace nimo

Q_DECLARE_METATYPE(nimo::SniPixmap)
Q_DECLARE_METATYPE(nimo::SniToolTip)

namespace nimo {

namespace {

SniPixmapList pixmapsOf(const QImage& image) {
    if (image.isNull())
        return {};
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    SniPixmap pixmap{argb.width(), argb.height(), {}};
    pixmap.bytes.resize(static_cast<qsizetype>(argb.width()) * argb.height() * 4);
    auto* out = reinterpret_cast<quint32*>(pixmap.bytes.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x)
            *out++ = qToBigEndian(line[x]);
    }
    return {pixmap};
}

} // namespace

// The item's D-Bus face; hosts read its properties and call its methods.
class StatusNotifierAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QList<nimo::SniPixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ noName)
    Q_PROPERTY(QList<nimo::SniPixmap> OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ noName)
    Q_PROPERTY(QList<nimo::SniPixmap> AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(nimo::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierAdaptor(StatusNotifierItem* item) : QDBusAbstractAdaptor(item), item_(item) {}

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("nimo"); }
    QString title() const { return QStringLiteral("NimoMac"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return item_->iconName(); }
    QString iconThemePath() const {
        return item_->iconName().isEmpty() ? QString() : StatusNotifierItem::iconThemePath();
    }
    QString noName() const { return {}; }
    SniPixmapList iconPixmap() const { return pixmapsOf(item_->icon()); }
    SniPixmapList noPixmaps() const { return {}; }
    SniToolTip toolTip() const { return {QString(), {}, item_->toolTip(), QString()}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const {
        return QDBusObjectPath(item_->hasMenu() ? StatusNotifierMenu::kPath : "/NO_DBUSMENU");
    }

public Q_SLOTS:
    void Activate(int x, int y) { Q_EMIT item_->activateRequested(QPoint(x, y)); }
    void SecondaryActivate(int x, int y) { Q_EMIT item_->activateRequested(QPoint(x, y)); }
    void ContextMenu(int x, int y) { Q_EMIT item_->contextMenuRequested(QPoint(x, y)); }
    void Scroll(int, const QString&) {}
    void ProvideXdgActivationToken(const QString& token) { Q_EMIT item_->activationTokenProvided(token); }

Q_SIGNALS:
    void NewIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem* item_;
};

StatusNotifierItem::StatusNotifierItem(QObject* parent) : QObject(parent) {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmapList>();
    qDBusRegisterMetaType<SniToolTip>();
    adaptor_ = new StatusNotifierAdaptor(this);
}

StatusNotifierItem::~StatusNotifierItem() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && !serviceName_.isEmpty()) {
        bus.unregisterObject(QString::fromLatin1(kItemPath));
        if (menu_)
            bus.unregisterObject(QString::fromLatin1(StatusNotifierMenu::kPath));
        bus.unregisterService(serviceName_);
    }
}

void StatusNotifierItem::setMenu(QMenu* menu) {
    delete menu_;
    menu_ = menu ? new StatusNotifierMenu(menu, this) : nullptr;
}

bool StatusNotifierItem::start() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    serviceName_ = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid());
    if (!bus.registerService(serviceName_) ||
        !bus.registerObject(QString::fromLatin1(kItemPath), this, QDBusConnection::ExportAdaptors)) {
        platform::consoleLog("status item: the session bus refused " + serviceName_.toStdString());
        return false;
    }
    if (menu_ && !menu_->start())
        setMenu(nullptr);
    watcher_ = new QDBusServiceWatcher(
        QString::fromLatin1(kWatcherService), bus,
        QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, [this] { registerWithWatcher(); });
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] { setRegistered(false); });
    watcherWasThere_ = bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcherService));
    if (watcherWasThere_)
        registerWithWatcher();
    return true;
}

void StatusNotifierItem::registerWithWatcher() {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath),
        QString::fromLatin1(kWatcherService), QStringLiteral("RegisterStatusNotifierItem"));
    call << serviceName_;
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
        done->deleteLater();
        const QDBusPendingReply<> reply = *done;
        if (reply.isError())
            platform::consoleLog("status item: the watcher refused the item: " +
                                 reply.error().message().toStdString());
        setRegistered(!reply.isError());
    });
}

void StatusNotifierItem::setRegistered(bool registered) {
    if (registered_ == registered)
        return;
    registered_ = registered;
    Q_EMIT registeredChanged(registered);
}

QString StatusNotifierItem::iconThemePath() {
    return QString::fromStdString(platform::paths::resourcesDir()) + QStringLiteral("/icons");
}

QString StatusNotifierItem::themedIconName(const QString& imageName) {
    if (imageName.isEmpty())
        return {};
    QString name = QStringLiteral("nimo-") + imageName + QStringLiteral("-symbolic");
    name.replace(u'_', u'-');
    const bool shipped = QFileInfo::exists(iconThemePath() + QStringLiteral("/hicolor/symbolic/apps/") +
                                           name + QStringLiteral(".svg"));
    return shipped ? name : QString();
}

void StatusNotifierItem::setIcon(const QImage& icon, const QString& imageName) {
    icon_ = icon;
    iconName_ = themedIconName(imageName);
    Q_EMIT adaptor_->NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& text) {
    toolTip_ = text;
    Q_EMIT adaptor_->NewToolTip();
}

} // namespace nimo

#include "StatusNotifierItem.moc"
