#include "widgets/Images.h"

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
