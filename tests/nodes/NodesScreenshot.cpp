// Shows the route page alone, as the main window holds it, and saves it: nodes.png with a selected
// node, locked nodes and the automatic route unchecked; nodes-auto.png with the automatic route
// selected and the default catalogue of a first start. Used by scripts/screenshots under Xvfb
// (QT_SCALE_FACTOR=2 gives the 2x pictures); not a test.
#include "NodesFixture.h"
#include "widgets/Fonts.h"
#include "widgets/Images.h"

#include <QApplication>
#include <QPainter>
#include <cstdio>

namespace {

bool save(QWidget& view, const QString& path) {
    nimo::test::waitUntil([] { return false; }, std::chrono::milliseconds(300));
    const bool ok = view.grab().save(path);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

// Every route image at its size, at 2x (one image pixel per screen pixel) and rendered at 4x:
// flags.png.
bool saveImageSheet(const QString& path) {
    QStringList names;
    for (const QString& name : nimo::images::names())
        if (name.startsWith(QLatin1String("ic_country")))
            names << name;
    const int cell = 150;
    QImage sheet(cell * 4, 110 * ((names.size() + 3) / 4), QImage::Format_ARGB32);
    sheet.fill(QColor("#FCFCFC"));
    QPainter painter(&sheet);
    painter.setFont(nimo::systemFont(11));
    for (int i = 0; i < names.size(); ++i) {
        const QPoint at((i % 4) * cell + 8, (i / 4) * 110 + 8);
        const QSize natural = nimo::images::naturalSize(names[i]);
        QPixmap twice = nimo::images::pixmap(names[i], natural, 2.0);
        twice.setDevicePixelRatio(1.0);
        QPixmap large = nimo::images::pixmap(names[i], natural, 4.0);
        large.setDevicePixelRatio(1.0);
        painter.drawPixmap(at, nimo::images::pixmap(names[i], natural, 1.0));
        painter.drawPixmap(at + QPoint(0, 26), twice);
        painter.drawPixmap(at + QPoint(52, 0), large);
        painter.drawText(at + QPoint(0, 96), names[i]);
    }
    const bool ok = sheet.save(path);
    std::printf("%s %s\n", ok ? "saved" : "could not save", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setFont(nimo::systemFont(13));
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("out");
    const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    bool ok = true;
    {
        nimo::test::RouteWorld world;
        const std::vector<std::string> names = {"香港 01",
                                                "香港 02 IPLC",
                                                "日本 东京",
                                                "日本 大阪",
                                                "美国 洛杉矶",
                                                "美国 西雅图 高速专线",
                                                "新加坡",
                                                "台湾 台北",
                                                "韩国 首尔",
                                                "德国 法兰克福",
                                                "英国 伦敦",
                                                "法国 巴黎",
                                                "俄罗斯 莫斯科",
                                                "印度 孟买",
                                                "印度尼西亚 雅加达",
                                                "马来西亚",
                                                "泰国 曼谷",
                                                "菲律宾 马尼拉",
                                                "巴西 圣保罗",
                                                "墨西哥",
                                                "巴基斯坦",
                                                "迪拜",
                                                "西班牙 马德里",
                                                "意大利 米兰",
                                                "土耳其 伊斯坦布尔"};
        (void)world.settings.set(nimo::UserDefaultsCacheKeys::allNodes, names);
        (void)world.settings.set(nimo::UserDefaultsCacheKeys::subNodes,
                                 std::vector<std::string>(names.begin(), names.begin() + 12));
        world.select("日本 东京");
        world.window.show();
        auto page = world.makePage();
        page->show();
        ok = save(*page, out + QStringLiteral("/nodes") + suffix + QStringLiteral(".png")) && ok;
    }
    {
        nimo::test::RouteWorld world; // a first start: nothing cached, nothing picked
        world.window.show();
        auto page = world.makePage();
        page->show();
        ok = save(*page, out + QStringLiteral("/nodes-auto") + suffix + QStringLiteral(".png")) && ok;
    }
    if (suffix.isEmpty())
        ok = saveImageSheet(out + QStringLiteral("/flags.png")) && ok;
    return ok ? 0 : 1;
}
