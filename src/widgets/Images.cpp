#include "widgets/Images.h"

#include "PrerenderedImages.h"
#include "platform/Log.h"

#include <QApplication>
#include <QIconEngine>
#include <QImageReader>
#include <QMutex>
#include <QPainter>
#include <QResource>
#include <QScreen>
#include <QSet>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

// Outside any namespace, as the resource initialiser requires; it also keeps the linker from dropping
// the resource objects out of the static library.
static void initImageResources() {
    Q_INIT_RESOURCE(nimo_images);
    Q_INIT_RESOURCE(nimo_raster);
    Q_INIT_RESOURCE(nimo_raster2x);
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
        const QResource resource(QString::fromLatin1(it->path));
        const auto format = it->opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied;
        const qsizetype bytes = qsizetype(pixels.width()) * pixels.height() * 4;
        const auto view = [&](const uchar* data) {
            return QImage(data, pixels.width(), pixels.height(), pixels.width() * 4, format);
        };
        if (resource.compressionAlgorithm() != QResource::NoCompression) {
            const QByteArray data = resource.uncompressedData();
            return data.size() == bytes ? view(reinterpret_cast<const uchar*>(data.constData())).copy()
                                        : QImage();
        }
        if (resource.size() != bytes)
            return {};
        // Stored raw: the image reads the binary's own pages, and a painter that writes to it gets a
        // copy. Pixels that are not word-aligned are copied once instead.
        const QImage raw = view(resource.data());
        return reinterpret_cast<quintptr>(resource.data()) % alignof(quint32) == 0 ? raw : raw.copy();
    }
    return {};
}

// Pixmaps drawn so far, by image, size and scale (in thousandths). Not QPixmapCache: its flush
// timer wakes an idle client up to 30 s after the last insert, and its cost limit would evict the
// large images and draw them again. The screens ask for a fixed set of sizes; the cap only guards
// against a caller asking for ever new ones. Used from the GUI thread, as pixmaps must be; emptied
// when the application ends, before the pixmap machinery goes.
using DrawnKey = std::tuple<const char*, int, int, qint64>;
constexpr std::size_t kMaxDrawnPixmaps = 512;

std::map<DrawnKey, QPixmap>& drawnPixmaps() {
    static auto* cache = [] {
        auto* made = new std::map<DrawnKey, QPixmap>;
        qAddPostRoutine([] { drawnPixmaps().clear(); });
        return made;
    }();
    return *cache;
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
    auto& cache = drawnPixmaps();
    const DrawnKey key{image->name, size.width(), size.height(), qRound64(devicePixelRatio * 1000)};
    if (const auto hit = cache.find(key); hit != cache.end())
        return hit->second;
    const QSize pixels = (QSizeF(size) * devicePixelRatio).toSize();
    QImage drawn = prerenderedImage(image->name, pixels);
    if (drawn.isNull())
        drawn = renderedImage(QLatin1StringView(image->name), pixels);
    if (drawn.isNull()) {
        reportOnce(QStringLiteral("image.unrendered: "), name);
        return {};
    }
    QPixmap result = QPixmap::fromImage(std::move(drawn));
    result.setDevicePixelRatio(devicePixelRatio);
    if (cache.size() >= kMaxDrawnPixmaps)
        cache.clear();
    cache.emplace(key, result);
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
