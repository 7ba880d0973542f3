#include "widgets/Images.h"

#include "PrerenderedImages.h"
#include "platform/Log.h"

#include <QApplication>
#include <QIconEngine>
#include <QImageReader>
#include <QMutex>
#include <QPainter>
#include <QPixmapCache>
#include <QResource>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <cstring>

// Outside any namespace, as the resource initialiser requires; it also keeps the linker from dropping
// the resource objects out of the static library.
static void initImageResources() {
    Q_INIT_RESOURCE(nimo_images);
    Q_INIT_RESOURCE(nimo_raster);
}

namespace nimo::images {

namespace {

void ensureResources() {
    static const bool done = [] {
        initImageResources();
        return true;
    }();
    (void)done;
}

void reportOnce(const QString& label, const QString& name) {
    static QMutex mutex;
    static QSet<QString> reported;
    QMutexLocker lock(&mutex);
    if (!reported.contains(label + name)) {
        reported.insert(label + name);
        platform::consoleLog((label + name).toStdString());
    }
}

bool nameLess(const char* a, const char* b) {
    return std::strcmp(a, b) < 0;
}

// The build-time table's entry; a name, never a path, so nothing outside the images is reached.
const prerendered::Image* find(const QString& canonical) {
    if (canonical.isEmpty() || canonical.size() > 64)
        return nullptr;
    const QByteArray key = canonical.toLatin1();
    if (QLatin1StringView(key) != canonical)
        return nullptr;
    const auto all = prerendered::images();
    const auto it =
        std::lower_bound(all.begin(), all.end(), key.constData(),
                         [](const prerendered::Image& i, const char* k) { return nameLess(i.name, k); });
    return it != all.end() && key == it->name ? &*it : nullptr;
}

// The pixels drawn at build time at exactly this size, if there are any.
QImage prerenderedImage(const char* name, QSize pixels) {
    const auto all = prerendered::pixmaps();
    auto it = std::lower_bound(all.begin(), all.end(), name, [](const prerendered::Pixmap& p, const char* k) {
        return nameLess(p.name, k);
    });
    for (; it != all.end() && std::strcmp(it->name, name) == 0; ++it) {
        if (QSize(it->width, it->height) != pixels)
            continue;
        ensureResources();
        const QByteArray data = QResource(QString::fromLatin1(it->path)).uncompressedData();
        QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull() || data.size() != image.sizeInBytes())
            return {};
        std::memcpy(image.bits(), data.constData(), data.size());
        return image;
    }
    return {};
}

// A size nobody drew ahead of time: the SVG, through the image-format plugin, which brings its
// library only when it is first needed.
QImage renderedImage(const QString& canonical, QSize pixels) {
    ensureResources();
    QImageReader reader(QStringLiteral(":/images/") + canonical + QStringLiteral(".svg"), "svg");
    reader.setScaledSize(pixels);
    return reader.read();
}

// Draws the image at the size asked, through images::pixmap, so icons share its pixmaps.
class ImageIconEngine : public QIconEngine {
public:
    explicit ImageIconEngine(QString name) : name_(std::move(name)) {}

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State, qreal scale) override {
        QPixmap drawn = images::pixmap(name_, actualSize(size, mode, QIcon::Off), scale);
        if (mode == QIcon::Normal || mode == QIcon::Active || drawn.isNull() ||
            !qobject_cast<QApplication*>(qApp))
            return drawn;
        QStyleOption option;
        option.palette = QGuiApplication::palette();
        return QApplication::style()->generatedIconPixmap(mode, drawn, &option);
    }

    // The image's proportions, fitted into the size asked.
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        return naturalSize(name_).scaled(size, Qt::KeepAspectRatio);
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const QPixmap drawn = scaledPixmap(rect.size(), mode, state, painter->device()->devicePixelRatio());
        QRect target(QPoint(), drawn.deviceIndependentSize().toSize());
        target.moveCenter(rect.center());
        painter->drawPixmap(target, drawn);
    }

    QIconEngine* clone() const override { return new ImageIconEngine(name_); }
    QString key() const override { return QStringLiteral("nimo.image"); }

private:
    QString name_;
};

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
    return find(canonicalName(name)) != nullptr;
}

QSize naturalSize(const QString& name) {
    const prerendered::Image* image = find(canonicalName(name));
    return image ? QSize(image->width, image->height) : QSize();
}

QPixmap pixmap(const QString& name, QSize size, qreal devicePixelRatio) {
    const prerendered::Image* image = find(canonicalName(name));
    if (!image) {
        reportOnce(QStringLiteral("image.missing: "), name);
        return {};
    }
    if (size.isEmpty())
        size = QSize(image->width, image->height);
    if (devicePixelRatio <= 0) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        devicePixelRatio = screen ? screen->devicePixelRatio() : 1.0;
    }
    const QString key = QStringLiteral("nimo.image:%1:%2x%3@%4")
                            .arg(QLatin1StringView(image->name))
                            .arg(size.width())
                            .arg(size.height())
                            .arg(devicePixelRatio);
    QPixmap result;
    if (QPixmapCache::find(key, &result))
        return result;
    const QSize pixels = (QSizeF(size) * devicePixelRatio).toSize();
    QImage drawn = prerenderedImage(image->name, pixels);
    if (drawn.isNull())
        drawn = renderedImage(QLatin1StringView(image->name), pixels);
    if (drawn.isNull()) {
        reportOnce(QStringLiteral("image.unrendered: "), name);
        return {};
    }
    result = QPixmap::fromImage(std::move(drawn));
    result.setDevicePixelRatio(devicePixelRatio);
    QPixmapCache::insert(key, result);
    return result;
}

QIcon icon(const QString& name) {
    const prerendered::Image* image = find(canonicalName(name));
    if (!image) {
        reportOnce(QStringLiteral("image.missing: "), name);
        return {};
    }
    return QIcon(new ImageIconEngine(QLatin1StringView(image->name)));
}

QStringList names() {
    QStringList list;
    for (const prerendered::Image& image : prerendered::images())
        list << QLatin1StringView(image.name);
    return list;
}

} // namespace nimo::images
