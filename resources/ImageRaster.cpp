// Build-time tool: draws every SVG of images/ once, at its natural size at scales 1 and 2 and at the
// extra sizes the screens ask for (image_sizes.txt), and writes the pixels as they sit in memory
// (premultiplied ARGB32, rows without padding) for the client to carry as compressed resources,
// with the table it looks them up in. The client then neither parses an SVG nor decodes a PNG at
// start: a PNG cost it twice the SVG drawing (inflate and row filters), these cost a memory copy
// after the resource's own decompression.
//
// nimo_image_raster OUT_DIR TABLE_CPP SIZES_TXT SVG...
#include "SvgDrawing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QRegularExpression>
#include <QTextStream>
#include <cstdio>
#include <map>
#include <vector>

namespace {

struct Rendering {
    QString file;  // below the resource prefix
    QSize logical; // what the screens ask for
    int scale;     // 1 or 2
    bool opaque = false;
};

// Every pixel fully covered: the client then draws it as an opaque image and skips its own scan.
bool isOpaque(const QImage& image) {
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(row[x]) != 255)
                return false;
    }
    return true;
}

bool fail(const QString& what) {
    std::fprintf(stderr, "nimo_image_raster: %s\n", qPrintable(what));
    return false;
}

// "name WxH" lines; '#' starts a comment.
bool readExtraSizes(const QString& path, std::map<QString, std::vector<QSize>>& extra) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(path + QStringLiteral(": cannot read"));
    static const QRegularExpression line(QStringLiteral(R"(^(\S+)\s+(\d+)x(\d+)$)"));
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString text = QString::fromUtf8(file.readLine()).section(u'#', 0, 0).trimmed();
        if (text.isEmpty())
            continue;
        const auto match = line.match(text);
        if (!match.hasMatch())
            return fail(QStringLiteral("%1:%2: expected \"name WxH\"").arg(path).arg(number));
        extra[match.captured(1)].push_back({match.captured(2).toInt(), match.captured(3).toInt()});
    }
    return true;
}

bool run(const QStringList& args) {
    if (args.size() < 4)
        return fail(QStringLiteral("usage: nimo_image_raster OUT_DIR TABLE_CPP SIZES_TXT SVG..."));
    const QDir out(args[0]);
    if (!QDir().mkpath(out.path()))
        return fail(out.path() + QStringLiteral(": cannot create"));
    std::map<QString, std::vector<QSize>> extra;
    if (!readExtraSizes(args[2], extra))
        return false;

    std::map<QString, QSize> natural;
    std::map<QString, std::vector<Rendering>> renderings;
    for (const QString& svg : args.mid(3)) {
        const QString name = QFileInfo(svg).completeBaseName();
        QSvgRenderer renderer(svg);
        if (!renderer.isValid() || renderer.defaultSize().isEmpty())
            return fail(svg + QStringLiteral(": not a drawable SVG"));
        natural[name] = renderer.defaultSize();
        std::vector<Rendering> wanted;
        for (int scale : {1, 2})
            wanted.push_back(
                {QStringLiteral("%1@%2x.argb").arg(name).arg(scale), renderer.defaultSize(), scale});
        for (QSize size : extra[name])
            for (int scale : {1, 2})
                wanted.push_back({QStringLiteral("%1.%2x%3@%4x.argb")
                                      .arg(name)
                                      .arg(size.width())
                                      .arg(size.height())
                                      .arg(scale),
                                  size, scale});
        extra.erase(name);
        for (Rendering& r : wanted) {
            const QImage image = nimo::images::svgDrawing(renderer, r.logical * r.scale);
            r.opaque = isOpaque(image);
            QFile file(out.filePath(r.file));
            if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                file.write(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()) !=
                    image.sizeInBytes())
                return fail(file.fileName() + QStringLiteral(": cannot write"));
        }
        renderings[name] = std::move(wanted);
    }
    if (!extra.empty())
        return fail(args[2] + QStringLiteral(": no image named ") + extra.begin()->first);

    QFile table(args[1]);
    if (!table.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return fail(args[1] + QStringLiteral(": cannot write"));
    QTextStream s(&table);
    s << "// Written by nimo_image_raster at build time.\n#include \"PrerenderedImages.h\"\n\n"
         "namespace nimo::images::prerendered {\n\nnamespace {\n\nconst Image kImages[] = {\n";
    for (const auto& [name, size] : natural)
        s << "    {\"" << name << "\", " << size.width() << ", " << size.height() << "},\n";
    s << "};\n\nconst Pixmap kPixmaps[] = {\n";
    for (const auto& [name, list] : renderings)
        for (const Rendering& r : list)
            s << "    {\"" << name << "\", " << r.logical.width() * r.scale << ", "
              << r.logical.height() * r.scale << ", \":/raster/" << r.file << "\", "
              << (r.opaque ? "true" : "false") << "},\n";
    s << "};\n\n} // namespace\n\nstd::span<const Image> images() {\n    return kImages;\n}\n\n"
         "std::span<const Pixmap> pixmaps() {\n    return kPixmaps;\n}\n\n"
         "} // namespace nimo::images::prerendered\n";
    return s.status() == QTextStream::Ok && table.flush();
}

} // namespace

int main(int argc, char** argv) {
    // Text inside an SVG needs the font database, hence a GUI application (offscreen at build time).
    QGuiApplication app(argc, argv);
    return run(app.arguments().mid(1)) ? 0 : 1;
}
