#include "widgets/Images.h"

#include "PrerenderedImages.h"
#include "SvgDrawing.h"
#include "platform/Log.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace nimo;

// Every image name the screens look up.
TEST(Images, EveryNameTheScreensUseResolves) {
    const char* const names[] = {
        "vpnstate_on", "vpnstate_off", images::NSImageNameStatusAvailable,
        images::NSImageNameStatusUnavailable, images::kAppIcon,
        // title strip
        "titlebar_close", "titlebar_min", "titlebar_visitor", "titlebar_logo", "titlebar_userback",
        "titlebar_user", "titlebar_merge", "titlebar_expiretime", "titlebar_login_tips",
        // home page and connect button
        "mainwork_back@2x.png", "mainwork_tips@2x.png", "mainwork_start@2x.png", "mainwork_route@2x.png",
        "mainwork_starting@2x.png", "mainwork_startingback@2x.png", "mainwork_stop@2x.png",
        "mainwork_tabbar_back@2x.png", "maintabbar_1_h@2x.png", "maintabbar_1_n@2x.png",
        "maintabbar_2_n@2x.png", "maintabbar_3_n@2x.png", "maintabbar_4_n@2x.png", "maintabbar_5_n@2x.png",
        "otherwork_toolbar_back@2x.png", "otherwork_toolbar_btn_back@2x.png",
        // account page and login dialog
        "page_1_start_btn@2x.png", "page_4_btn_border@2x.png", "page_4_expiretime@2x.png",
        "page_4_header@2x.png", "page_4_merge@2x.png", "page_4_v_free@2x.png", "page_4_v_free_over@2x.png",
        "page_4_v_svip@2x.png", "page_4_v_vip@2x.png", "page_4_v_vip_over@2x.png", "LoginAlert_bg@2x.png",
        "buttonBgImg",
        // route page
        "ic_country_auto", "ic_country_lock", "ic_country_bx", "ic_country_hongkong", "ic_country_germany",
        "ic_country_russia", "ic_country_france", "ic_country_hg", "ic_country_america", "ic_country_mxg",
        "ic_country_japan", "ic_country_singapore", "ic_country_yn", "ic_country_yd", "ic_country_england",
        "ic_country_bjst", "ic_country_db", "ic_country_flb", "ic_country_mlxy", "ic_country_tg",
        "ic_country_spain", "ic_countryic_ydl", "ic_country_taiwan"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(images::exists(name));
        const QPixmap pixmap = images::pixmap(name, {}, 1.0);
        ASSERT_FALSE(pixmap.isNull());
        // Something is drawn: not every pixel is transparent.
        const QImage image = pixmap.toImage();
        bool drawn = false;
        for (int y = 0; y < image.height() && !drawn; ++y)
            for (int x = 0; x < image.width() && !drawn; ++x)
                drawn = qAlpha(image.pixel(x, y)) > 0;
        EXPECT_TRUE(drawn);
        EXPECT_FALSE(images::icon(name).isNull());
    }
}

TEST(Images, RetinaSuffixAndExtensionNameTheSameImage) {
    struct Row {
        const char* name;
        const char* canonical;
    };
    const Row rows[] = {{"mainwork_start@2x.png", "mainwork_start"},
                        {"mainwork_start.png", "mainwork_start"},
                        {"mainwork_start", "mainwork_start"},
                        {"titlebar_close", "titlebar_close"},
                        {"x@3x.PNG", "x"},
                        {"", ""}};
    for (const auto& row : rows)
        EXPECT_EQ(images::canonicalName(row.name), QString(row.canonical)) << row.name;
    EXPECT_EQ(images::naturalSize("mainwork_start@2x.png"), images::naturalSize("mainwork_start"));
}

TEST(Images, NaturalSizesMatchTheLayouts) {
    struct Row {
        const char* name;
        QSize size;
    };
    const Row rows[] = {{"mainwork_back@2x.png", {379, 386}},
                        {"mainwork_tips@2x.png", {301, 62}},
                        {"mainwork_start@2x.png", {202, 71}},
                        {"titlebar_logo", {138, 18}},
                        {"titlebar_userback", {146, 26}},
                        {"titlebar_login_tips", {119, 41}},
                        {"titlebar_close", {13, 13}},
                        {"titlebar_visitor", {20, 20}},
                        {"mainwork_startingback@2x.png", {88, 88}},
                        {"mainwork_starting@2x.png", {68, 68}},
                        {"page_4_header@2x.png", {75, 74}},
                        {"page_4_v_vip@2x.png", {71, 21}},
                        {"LoginAlert_bg@2x.png", {390, 420}},
                        {"ic_country_japan", {22, 18}}};
    for (const auto& row : rows)
        EXPECT_EQ(images::naturalSize(row.name), row.size) << row.name;
}

TEST(Images, RendersSharpAtTheRequestedScale) {
    const QPixmap one = images::pixmap("titlebar_close", {}, 1.0);
    const QPixmap two = images::pixmap("titlebar_close@2x.png", {}, 2.0);
    EXPECT_EQ(one.size(), QSize(13, 13));
    EXPECT_EQ(two.size(), QSize(26, 26));
    EXPECT_DOUBLE_EQ(two.devicePixelRatio(), 2.0);
    EXPECT_EQ(images::pixmap("ic_country_auto", QSize(44, 36), 1.0).size(), QSize(44, 36));
}

TEST(Images, UnknownNameGivesNothingAndOneConsoleLine) {
    platform::ScopedLogCapture capture;
    EXPECT_FALSE(images::exists("no_such_image@2x.png"));
    EXPECT_TRUE(images::pixmap("no_such_image@2x.png").isNull());
    EXPECT_TRUE(images::pixmap("no_such_image@2x.png").isNull());
    EXPECT_TRUE(images::icon("../images/nimo").isNull());
    EXPECT_FALSE(images::naturalSize("no_such_image").isValid());
    const auto lines = capture.lines(platform::LogChannel::Console);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "image.missing: no_such_image@2x.png"), 1);
}

TEST(Images, NamesListsEveryDrawnImage) {
    const QStringList names = images::names();
    EXPECT_GE(names.size(), 65);
    EXPECT_TRUE(names.contains("vpnstate_on"));
    EXPECT_TRUE(names.contains("ic_countryic_ydl"));
}

namespace {

bool prerendered(const QString& name, QSize pixels) {
    for (const auto& p : images::prerendered::pixmaps())
        if (name == QLatin1String(p.name) && pixels == QSize(p.width, p.height))
            return true;
    return false;
}

// The SVG drawn as the client drew every image before they were drawn at build time.
QImage svgDrawing(const QString& name, QSize pixels) {
    QSvgRenderer renderer(QStringLiteral(":/images/%1.svg").arg(name));
    return images::svgDrawing(renderer, pixels);
}

// The largest difference of one channel of one pixel.
int largestDifference(const QImage& a, const QImage& b) {
    const QImage x = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (x.size() != y.size())
        return 256;
    int largest = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            largest = std::max({largest, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
        }
    return largest;
}

struct Drawing {
    QString name;
    QSize size; // points; empty: the natural size
    qreal scale;
    bool followsTheScreen = true; // also drawn at twice the scale on a screen of scale 2
};

} // namespace

// What the screens draw (logged through every screen of scripts/screenshots, at scales 1 and 2): every
// image at its natural size, and the sizes below. Each is drawn at build time and is the SVG's own
// drawing at that size.
TEST(Images, EverySizeTheScreensDrawIsDrawnAheadAndMatchesItsSvg) {
    std::vector<Drawing> rows;
    for (const QString& name : images::names())
        rows.push_back({name, {}, 1.0});
    const Drawing others[] = {
        // window icon
        {"nimo", {16, 16}, 1},
        {"nimo", {32, 32}, 1},
        {"nimo", {64, 64}, 1},
        {"nimo", {128, 128}, 1},
        // status icon: the idle one tinted at these pixel sizes, the other one for the late status item
        {"vpnstate_off", {16, 16}, 1, false},
        {"vpnstate_off", {32, 32}, 1, false},
        {"vpnstate_off", {44, 44}, 1, false},
        {"vpnstate_off", {64, 64}, 1, false},
        {"vpnstate_on", {22, 22}, 2, false},
        // status menu's switch, connect button's connecting face, route page's lock
        {"NSStatusAvailable", {16, 16}, 1},
        {"NSStatusUnavailable", {16, 16}, 1},
        {"mainwork_startingback", {44, 44}, 1},
        {"ic_country_lock", {16, 16}, 1}};
    rows.insert(rows.end(), std::begin(others), std::end(others));
    for (const Drawing& row : rows)
        for (qreal scale : {row.scale, row.scale * 2}) {
            if (scale != row.scale && !row.followsTheScreen)
                continue;
            const QSize size = row.size.isEmpty() ? images::naturalSize(row.name) : row.size;
            const QSize pixels = size * scale;
            SCOPED_TRACE(QStringLiteral("%1 %2x%3 @%4")
                             .arg(row.name)
                             .arg(size.width())
                             .arg(size.height())
                             .arg(scale)
                             .toStdString());
            EXPECT_TRUE(prerendered(row.name, pixels));
            const QPixmap pixmap = images::pixmap(row.name, size, scale);
            ASSERT_EQ(pixmap.size(), pixels);
            EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), scale);
            EXPECT_LE(largestDifference(pixmap.toImage(), svgDrawing(row.name, pixels)), 2);
        }
}

// A size nobody drew ahead of time is drawn from the SVG, as sharp, and says nothing on the console.
TEST(Images, ASizeNotDrawnAheadIsDrawnFromItsSvg) {
    platform::ScopedLogCapture capture;
    const Drawing rows[] = {{"mainwork_start", {101, 35}, 1.0},
                            {"ic_country_japan", {22, 18}, 3.0},
                            {"titlebar_logo", {138, 18}, 1.5},
                            {"page_4_v_svip", {71, 21}, 4.0}};
    for (const Drawing& row : rows) {
        const QSize pixels = (QSizeF(row.size) * row.scale).toSize();
        SCOPED_TRACE(row.name.toStdString());
        EXPECT_FALSE(prerendered(row.name, pixels));
        const QPixmap pixmap = images::pixmap(row.name, row.size, row.scale);
        ASSERT_EQ(pixmap.size(), pixels);
        EXPECT_LE(largestDifference(pixmap.toImage(), svgDrawing(row.name, pixels)), 2);
    }
    // An icon asked at a size of its own.
    EXPECT_EQ(images::icon("nimo").pixmap(QSize(48, 48), 1.0).size(), QSize(48, 48));
    EXPECT_TRUE(capture.lines(platform::LogChannel::Console).empty());
}
