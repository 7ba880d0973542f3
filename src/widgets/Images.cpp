#include "widgets/Images.h"

#include "platform/Log.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QMutex>
#include <QPainter>
#include <QPixmapCache>
#include <QScreen>
#include <QSet>
#include <QSvgRenderer>

// Outside any namespace, as the resource initialiser requires; it also keeps the linker from dropping
// the resource object out of the static library.
static void initImageResources() {
    Q_INIT_RESOURCE(nimo_images);
}

namespace nimo::images {

namespace {

QString resourcePath(const QString& canonical) {
    return QStringLiteral(":/images/") + canonical + QStringLiteral(".svg");
}

void ensureResources() {
    static const bool done = [] {
        initImageResources();
        return true;
    }();
    (void)done;
}

void reportMissing(const QString& name) {
    static QMutex mutex;
    static QSet<QString> reported;
    QMutexLocker lock(&mutex);
    if (!reported.contains(name)) {
        reported.insert(name);
        platform::consoleLog("image.missing: " + name.toStdString());
    }
}

} // namespace

QString canonicalName(const QString& name) {
    QString n = name;
    if (n.endsWith(QLatin1String(".png"), Qt::CaseInsensitive) ||
        n.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive))
        n.chop(4);
    if (n.endsWith(QLatin1String("@2x")) || n.endsWith(QLatin1String("@3x")))
        n.chop(3);
    return n;
}

bool exists(const QString& name) {
    ensureResources();
    const QString canonical = canonicalName(name);
    // A name, never a path: nothing outside the image folder can be reached.
    if (canonical.isEmpty() || canonical.contains(u'/') || canonical.contains(u'\\'))
        return false;
    return QFile::exists(resourcePath(canonical));
}

QSize naturalSize(const QString& name) {
    if (!exists(name))
        return {};
    const QString canonical = canonicalName(name);
    static QMutex mutex;
    static QHash<QString, QSize> sizes; // parsed once per image, not on every paint
    QMutexLocker lock(&mutex);
    auto it = sizes.constFind(canonical);
    if (it == sizes.constEnd())
        it = sizes.insert(canonical, QSvgRenderer(resourcePath(canonical)).defaultSize());
    return *it;
}

QPixmap pixmap(const QString& name, QSize size, qreal devicePixelRatio) {
    const QSize natural = naturalSize(name);
    if (natural.isEmpty()) {
        reportMissing(name);
        return {};
    }
    const QString canonical = canonicalName(name);
    if (size.isEmpty())
        size = natural;
    if (devicePixelRatio <= 0) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        devicePixelRatio = screen ? screen->devicePixelRatio() : 1.0;
    }
    const QString key = QStringLiteral("nimo.image:%1:%2x%3@%4")
                            .arg(canonical)
                            .arg(size.width())
                            .arg(size.height())
                            .arg(devicePixelRatio);
    QPixmap result;
    if (QPixmapCache::find(key, &result))
        return result;
    QSvgRenderer renderer(resourcePath(canonical));
    result = QPixmap((QSizeF(size) * devicePixelRatio).toSize());
    result.fill(Qt::transparent);
    {
        QPainter painter(&result);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(result.size())));
    }
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
    return result;
}

QIcon icon(const QString& name) {
    if (!exists(name)) {
        reportMissing(name);
        return {};
    }
    return QIcon(resourcePath(canonicalName(name)));
}

QStringList names() {
    ensureResources();
    QStringList list;
    for (const QString& file :
         QDir(QStringLiteral(":/images")).entryList({QStringLiteral("*.svg")}, QDir::Files))
        list << file.chopped(4);
    list.sort();
    return list;
}

} // namespace nimo::images
