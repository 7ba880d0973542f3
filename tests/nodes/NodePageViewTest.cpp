#include "NodesFixture.h"
#include "nodes/NodeCatalogue.h"
#include "platform/Log.h"
#include "platform/Redact.h"
#include "service/ServiceRecords.h"
#include "widgets/Frames.h"
#include "widgets/Images.h"
#include "widgets/SmallWidgets.h"

#include <gtest/gtest.h>

using namespace nimo;
using namespace nimo::test;
using nlohmann::json;
using State = ImageRadioButton::State;
namespace keys = nimo::UserDefaultsCacheKeys;

namespace {

constexpr const char* kNamesPath = "/api/public/sub/getNodeNames";
constexpr const char* kSubscribedPath = "/api/customer/customerService/getSubscribeNodeList";

const std::vector<std::string> kDefaults = {"香港", "日本", "美国", "新加坡", "德国",
                                            "韩国", "台湾", "巴西", "印度",   "马来西亚"};

std::vector<std::string> numbered(const std::string& stem, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i)
        out.push_back(stem + " " + std::to_string(i));
    return out;
}

std::vector<State> states(const NodePageView& page) {
    std::vector<State> out;
    for (ImageRadioButton* item : page.myNodeItmes())
        out.push_back(item->state());
    return out;
}

// Waits until the fetch chain has refreshed the grid (the first item shows names[0]).
bool refreshedWith(const NodePageView& page, const std::string& first) {
    return waitUntil([&] { return !page.myNodeItmes().empty() && page.myNodeItmes()[0]->title() == first; });
}

std::vector<std::string> logLines(const platform::ScopedLogCapture& capture, const std::string& label) {
    std::vector<std::string> out;
    for (const std::string& line : capture.lines(platform::LogChannel::Console))
        if (line.rfind(label, 0) == 0)
            out.push_back(line);
    return out;
}

} // namespace

TEST(NodeCatalogue, FlagsFollowTheFirstCountryTheNameContains) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"巴西 圣保罗", "ic_country_bx"},
        {"香港 01", "ic_country_hongkong"},
        {"德国", "ic_country_germany"},
        {"俄罗斯", "ic_country_russia"},
        {"法国", "ic_country_france"},
        {"韩国 首尔", "ic_country_hg"},
        {"美国 洛杉矶", "ic_country_america"},
        {"墨西哥", "ic_country_mxg"},
        {"日本 东京", "ic_country_japan"},
        {"新加坡", "ic_country_singapore"},
        {"印度尼西亚 01", "ic_country_yn"},
        {"印度", "ic_country_yd"},
        {"英国 伦敦", "ic_country_england"},
        {"巴基斯坦", "ic_country_bjst"},
        {"迪拜", "ic_country_db"},
        {"菲律宾", "ic_country_flb"},
        {"马来西亚", "ic_country_mlxy"},
        {"泰国", "ic_country_tg"},
        {"西班牙", "ic_country_spain"},
        {"意大利 米兰", "ic_countryic_ydl"},
        {"印尼 雅加达", "ic_country_yn"},
        {"台湾", "ic_country_taiwan"},
        {"香港-巴西 中转", "ic_country_bx"}, // the earlier row wins, not the earlier position
        {"", "ic_country_auto"},
        {"自动适配", "ic_country_auto"},
        {"火星 01", "ic_country_auto"},
        {"Japan", "ic_country_auto"},
        {std::string(1 << 20, 'x') + "日本", "ic_country_japan"},
    };
    for (const auto& [name, image] : rows) {
        EXPECT_EQ(flagImageName(name), image) << name.substr(0, 40);
        // Every image the table names is drawn, sharp at 2x.
        const QPixmap twice = images::pixmap(QString::fromStdString(image), QSize(22, 18), 2.0);
        EXPECT_EQ(twice.size(), QSize(44, 36)) << image;
    }
    EXPECT_TRUE(images::exists(QStringLiteral("ic_country_lock")));
}

TEST(NodeCatalogue, ListsAreTrimmedToWhatTheClientTakesIn) {
    struct Row {
        std::vector<std::string> in;
        size_t kept, tooLong, overCount;
    };
    const int most = static_cast<int>(kMaxNodeNames);
    std::vector<std::string> mixed = numbered("n", most + 200);
    mixed[3] = std::string(kMaxNodeNameBytes + 1, 'y');
    const std::vector<Row> rows = {
        {{}, 0, 0, 0},
        {numbered("n", most), kMaxNodeNames, 0, 0},
        {numbered("n", most + 1), kMaxNodeNames, 0, 1},
        {{std::string(kMaxNodeNameBytes, 'a'), std::string(1 << 20, 'b'), "c"}, 2, 1, 0},
        {mixed, kMaxNodeNames, 1, 199},
    };
    for (const Row& row : rows) {
        std::vector<std::string> list = row.in;
        const NodeListTrim trim = trimNodeNames(list);
        EXPECT_EQ(list.size(), row.kept);
        EXPECT_EQ(trim.tooLong, row.tooLong);
        EXPECT_EQ(trim.overCount, row.overCount);
    }
    std::vector<std::string> list = mixed;
    trimNodeNames(list);
    EXPECT_EQ(list[3], "n 4"); // order kept, the long one left out
}

TEST(NodePage, FirstStartShowsTheDefaultsThenTheFetchedLists) {
    RouteWorld world;
    const std::vector<std::string> names = {"日本 东京", "香港 01", "美国 西雅图", "印度尼西亚", "意大利"};
    world.signIn(names, {"香港 01", "印度尼西亚"});
    world.select("香港 01");
    auto page = world.makePage();

    // Built from nothing: the ten defaults in order, none locked, the rest hidden, tags 100 + i.
    ASSERT_EQ(page->myNodeItmes().size(), 40u);
    EXPECT_EQ(shownNames(*page), kDefaults);
    for (size_t i = 0; i < 40; ++i) {
        ImageRadioButton* item = page->myNodeItmes()[i];
        EXPECT_EQ(item->tag(), 100 + static_cast<int>(i));
        EXPECT_EQ(item->isHidden(), i >= 10) << i;
        EXPECT_EQ(item->state(), State::selectable) << i;
    }
    EXPECT_EQ(page->myNodeItmes()[8]->flagImgView()->imageName(), "ic_country_yd");
    EXPECT_EQ(page->autoRouteBtn()->tag(), 10);
    EXPECT_EQ(page->autoRouteBtn()->state(), State::selectable);
    EXPECT_EQ(page->toolbarTitleLabel()->text(), "香港 01");

    // Geometry: five columns of (920 - 100) / 5 = 164, rows 39 apart from 128 below the content top.
    EXPECT_EQ(frameOf(page->autoRouteBtn()), QRectF(20, 404 - 35, 164, 24));
    EXPECT_EQ(frameOf(page->myNodeItmes()[6]), QRectF(20 + 184, 404 - 167, 164, 24));
    EXPECT_EQ(frameOf(page->myNodeItmes()[0]->flagImgView()), QRectF(24, 3, 22, 18));

    // Both requests answered: labels, flags and locks follow them; the caches hold them.
    ASSERT_TRUE(refreshedWith(*page, "日本 东京"));
    EXPECT_EQ(shownNames(*page), names);
    EXPECT_EQ(states(*page)[0], State::locked);
    EXPECT_EQ(states(*page)[1], State::selected);
    EXPECT_EQ(states(*page)[3], State::selectable);
    EXPECT_EQ(page->lastSelectedItem(), page->myNodeItmes()[1]);
    EXPECT_EQ(page->myNodeItmes()[0]->radiobtn()->imageName(), "ic_country_lock");
    EXPECT_EQ(page->myNodeItmes()[1]->radiobtn()->imageName(), "");
    EXPECT_TRUE(page->myNodeItmes()[1]->radiobtn()->isChecked());
    const std::vector<std::string> flags = {"ic_country_japan", "ic_country_hongkong", "ic_country_america",
                                            "ic_country_yn", "ic_countryic_ydl"};
    for (size_t i = 0; i < flags.size(); ++i)
        EXPECT_EQ(page->myNodeItmes()[i]->flagImgView()->imageName().toStdString(), flags[i]);
    EXPECT_EQ(world.settings.array(keys::allNodes), json(names));
    EXPECT_EQ(world.settings.array(keys::subNodes), json::array({"香港 01", "印度尼西亚"}));
    EXPECT_TRUE(world.reports.empty());

    // The next build starts from the caches: the subscription locks at once.
    world.service.script({{"path", kNamesPath}, {"drop", true}});
    auto again = world.makePage();
    EXPECT_EQ(shownNames(*again), names);
    EXPECT_EQ(states(*again)[0], State::locked);
    EXPECT_EQ(states(*again)[1], State::selected);
    EXPECT_EQ(again->myNodes(), (std::vector<std::string>{"香港 01", "印度尼西亚"}));
}

TEST(NodePage, CatalogueSizeDecidesWhatIsShown) {
    struct Row {
        int count;
        size_t shown;
        bool notShownLogged;
    };
    for (const Row& row : {Row{45, 40, true}, Row{3, 3, false}, Row{40, 40, false}}) {
        RouteWorld world;
        const auto names = numbered("节点", row.count);
        world.signIn(names, names);
        platform::ScopedLogCapture capture;
        auto page = world.makePage();
        EXPECT_EQ(shownNames(*page).size(), 10u); // the defaults until the answer
        ASSERT_TRUE(refreshedWith(*page, names[0])) << row.count;
        const auto shown = shownNames(*page);
        ASSERT_EQ(shown.size(), row.shown) << row.count;
        EXPECT_TRUE(std::equal(shown.begin(), shown.end(), names.begin()));
        for (size_t i = row.shown; i < 40; ++i)
            EXPECT_TRUE(page->myNodeItmes()[i]->isHidden()) << i;
        EXPECT_EQ(!logLines(capture, "nodes.not-shown: 5").empty(), row.notShownLogged);
    }
}

TEST(NodePage, AnEmptySubscriptionLocksEveryNode) {
    RouteWorld world;
    const auto names = numbered("日本", 12);
    world.signIn(names, {});
    auto page = world.makePage();
    ASSERT_TRUE(refreshedWith(*page, names[0]));
    EXPECT_FALSE(world.settings.contains(keys::subNodes)); // an empty list is not cached
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_EQ(page->myNodeItmes()[i]->state(), State::locked);
        EXPECT_EQ(page->myNodeItmes()[i]->radiobtn()->imageName(), "ic_country_lock");
    }
    EXPECT_TRUE(world.reports.empty()); // an empty list is an answer, not a failure

    platform::ScopedLogCapture capture;
    page->myNodeItmes()[4]->click();
    page->myNodeItmes()[11]->click();
    const NodeReport locked{std::nullopt, "升级会员后可解锁使用"};
    EXPECT_EQ(world.reports, (std::vector<NodeReport>{locked, locked}));
    EXPECT_EQ(page->myNodeItmes()[4]->state(), State::locked);
    EXPECT_EQ(page->autoRouteBtn()->state(), State::selected);
    EXPECT_TRUE(capture.lines(platform::LogChannel::Console).empty());
}

TEST(NodePage, TheStoredSelectionDecidesWhatIsShownSelected) {
    struct Row {
        json selection; // null: nothing stored
        bool autoSelected;
        int selectedIndex; // -1: no node
        std::string title;
    };
    const std::vector<Row> rows = {
        {nullptr, true, -1, "自动适配最佳线路"},
        {"", true, -1, "自动适配最佳线路"},
        {"RiZezuva", true, -1, "自动适配最佳线路"},
        {42, true, -1, "自动适配最佳线路"},
        {"美国", false, 2, "美国"},
        {"火星 01", false, -1, "火星 01"},
        {"巴西", false, -1, "巴西"}, // not subscribed: locked, so never shown selected
    };
    for (const Row& row : rows) {
        RouteWorld world;
        ASSERT_TRUE(world.settings.set(keys::allNodes, kDefaults));
        ASSERT_TRUE(world.settings.set(keys::subNodes, json::array({"香港", "日本", "美国"})));
        if (!row.selection.is_null())
            world.select(row.selection);
        auto page = world.makePage(); // no remembered host: built from the caches only
        const std::string label = row.selection.dump();
        EXPECT_EQ(page->autoRouteBtn()->isChecked(), row.autoSelected) << label;
        EXPECT_EQ(page->toolbarTitleLabel()->text().toStdString(), row.title) << label;
        for (size_t i = 0; i < 10; ++i)
            EXPECT_EQ(page->myNodeItmes()[i]->isChecked(), static_cast<int>(i) == row.selectedIndex)
                << label << " " << i;
        EXPECT_EQ(page->myNodeItmes()[7]->state(), State::locked) << label;
        EXPECT_EQ(world.requestsTo(kNamesPath), 0u);
    }
}

TEST(NodePage, TapsReportPicksAndMoveTheSelection) {
    RouteWorld world;
    ASSERT_TRUE(world.settings.set(keys::allNodes, kDefaults));
    ASSERT_TRUE(world.settings.set(keys::subNodes, kDefaults));
    auto page = world.makePage();
    auto& items = page->myNodeItmes();
    platform::ScopedLogCapture capture;

    // The selected automatic item: a tap does nothing, not even a log line.
    page->autoRouteBtn()->click();
    EXPECT_TRUE(world.reports.empty());
    EXPECT_TRUE(capture.records().empty());

    // A node: the automatic item is unchecked, the pick reported and logged by tags.
    items[1]->click();
    EXPECT_EQ(world.reports.back(), (NodeReport{"日本", "已切换至[日本]线路"}));
    EXPECT_EQ(page->autoRouteBtn()->state(), State::selectable);
    EXPECT_EQ(items[1]->state(), State::selected);
    EXPECT_EQ(page->lastSelectedItem(), items[1]);
    EXPECT_EQ(capture.lines(platform::LogChannel::Console),
              (std::vector<std::string>{"恢复上一上选中状态：10", "切换选中：101"}));

    // Again on the same node: nothing.
    capture.clear();
    items[1]->click();
    EXPECT_EQ(world.reports.size(), 1u);
    EXPECT_TRUE(capture.records().empty());

    // Back to the automatic route: the empty name.
    page->autoRouteBtn()->click();
    EXPECT_EQ(world.reports.back(), (NodeReport{"", "已切换至[自动适配最佳线路]"}));
    EXPECT_EQ(items[1]->state(), State::selectable);
    EXPECT_EQ(page->lastSelectedItem(), page->autoRouteBtn());
    EXPECT_EQ(capture.lines(platform::LogChannel::Console),
              (std::vector<std::string>{"恢复上一上选中状态：101", "切换选中：10"}));

    // A refresh follows the stored pick and may give item 12 a name: a tap reports that name.
    world.select("日本");
    auto longer = kDefaults;
    longer.insert(longer.end(), {"泰国 曼谷", "英国", "西班牙 马德里"});
    page->reloadNodeItems(longer, longer);
    EXPECT_EQ(page->autoRouteBtn()->state(), State::selectable);
    EXPECT_EQ(page->lastSelectedItem(), items[1]);
    ASSERT_FALSE(items[12]->isHidden());
    EXPECT_EQ(items[12]->tag(), 112);
    EXPECT_EQ(items[12]->flagImgView()->imageName(), "ic_country_spain");
    items[12]->click();
    EXPECT_EQ(world.reports.back(), (NodeReport{"西班牙 马德里", "已切换至[西班牙 马德里]线路"}));
    EXPECT_EQ(items[1]->state(), State::selectable);

    // The stored pick moves elsewhere: the refresh unchecks item 12, which stays the last selected;
    // tapping it selects it again, with nothing to restore.
    world.select("火星");
    page->reloadNodeItems(longer, longer);
    EXPECT_FALSE(items[12]->isChecked());
    ASSERT_EQ(page->lastSelectedItem(), items[12]);
    page->reloadNodeItems(longer, std::nullopt); // without a subscription list the grid stays
    EXPECT_EQ(items[12]->title(), "西班牙 马德里");
    capture.clear();
    items[12]->click();
    EXPECT_EQ(items[12]->state(), State::selected);
    EXPECT_EQ(world.reports.back(), (NodeReport{"西班牙 马德里", "已切换至[西班牙 马德里]线路"}));
    EXPECT_EQ(capture.lines(platform::LogChannel::Console), std::vector<std::string>{"切换选中：112"});

    // A shorter list hides the rest, the tags stay.
    page->reloadNodeItems(std::vector<std::string>{"日本"}, std::vector<std::string>{"日本"});
    EXPECT_EQ(shownNames(*page), std::vector<std::string>{"日本"});
    EXPECT_EQ(items[39]->tag(), 139);
}

TEST(NodePage, FailuresBecomeMessagesAndTheGridKeepsWhatItHas) {
    struct Row {
        std::string name;
        json namesScript;      // scripted answer of getNodeNames (null: as the service answers)
        json subscribedScript; // the same for getSubscribeNodeList
        bool deadHost;
        std::int64_t serverId;
        std::vector<NodeReport> reports;
        size_t requests; // how many of the page's requests reach the service
    };
    const std::vector<Row> rows = {
        {"refused host", nullptr, nullptr, true, 7, {{std::nullopt, "无效域名"}}, 0},
        {"not an object", {{"body", "[]"}}, nullptr, false, 7, {{std::nullopt, "数据有误:数据解析失败"}}, 1},
        {"refusal text",
         {{"json", {{"code", 9}, {"msg", "节点维护中"}}}},
         nullptr,
         false,
         7,
         {{std::nullopt, "节点维护中"}},
         1},
        {"names of the wrong shape", {{"json", {{"code", 0}, {"data", {"a", 1}}}}}, nullptr, false, 7, {}, 1},
        {"no names", {{"json", {{"code", 0}, {"data", json::array()}}}}, nullptr, false, 7, {}, 1},
        {"no subscription id", nullptr, nullptr, false, 0, {}, 1},
        {"subscription refused",
         nullptr,
         {{"json", {{"code", 10007}, {"msg", "没有该订阅"}}}},
         false,
         7,
         {{std::nullopt, "没有该订阅"}},
         2},
        {"subscription of the wrong shape",
         nullptr,
         {{"json", {{"code", 0}, {"data", "x"}}}},
         false,
         7,
         {},
         2},
        {"session rejected",
         nullptr,
         {{"json", {{"code", 40101}, {"msg", "请登录"}}}},
         false,
         7,
         {{std::nullopt, "请登录"}, {std::nullopt, "[40101]请登录"}},
         2},
    };
    for (const Row& row : rows) {
        RouteWorld world;
        world.signIn({"日本 01", "美国 02"}, {"日本 01"});
        ASSERT_TRUE(world.settings.set(keys::serverId, row.serverId));
        if (row.deadHost) {
            ASSERT_TRUE(world.settings.set(keys::lastOkHost, refusedUrl()));
        }
        if (!row.namesScript.is_null()) {
            json script = row.namesScript;
            script["path"] = kNamesPath;
            world.service.script(script);
        }
        if (!row.subscribedScript.is_null()) {
            json script = row.subscribedScript;
            script["path"] = kSubscribedPath;
            world.service.script(script);
        }
        world.select("美国 02");
        auto page = world.makePage();
        // Once the service has seen the page's requests, a later request's answer comes after theirs.
        ASSERT_TRUE(waitUntil([&] {
            return world.requestsTo(kNamesPath) + world.requestsTo(kSubscribedPath) == row.requests;
        })) << row.name;
        bool sentinel = false;
        std::unique_ptr<NMApi> probe(world.context.makeApi(HostList::main, nullptr));
        ASSERT_TRUE(world.settings.set(keys::lastOkHost, world.service.url()));
        probe->loadPublicSetting({.success = [&](bool) { sentinel = true; }});
        ASSERT_TRUE(waitUntil([&] { return sentinel && world.reports.size() >= row.reports.size(); }))
            << row.name;
        EXPECT_EQ(world.reports, row.reports) << row.name;
        EXPECT_EQ(shownNames(*page), kDefaults) << row.name;
        EXPECT_EQ(page->toolbarTitleLabel()->text(), "美国 02") << row.name;
    }
}

TEST(NodePage, OversizedAnswersShowWhatFitsAndLogTheRest) {
    RouteWorld world;
    world.signIn({"x"}, {"日本 0"});
    json many = json::array();
    many.push_back(std::string(1 << 20, 'z')); // a 1 MB name
    many.push_back("日本 0\n\x1b[31m");
    for (int i = 0; i < 100000; ++i)
        many.push_back("日本 " + std::to_string(i));
    world.service.script({{"path", kNamesPath}, {"json", {{"code", 0}, {"data", many}}}});
    platform::ScopedLogCapture capture;
    auto page = world.makePage();
    ASSERT_TRUE(refreshedWith(*page, "日本 0\n\x1b[31m"));

    // The cache and the grid hold the bounded list; the drop is logged with the numbers.
    EXPECT_EQ(world.settings.array(keys::allNodes)->size(), kMaxNodeNames);
    EXPECT_EQ(shownNames(*page).size(), 40u);
    EXPECT_EQ(page->myNodeItmes()[1]->title(), "日本 0");
    EXPECT_EQ(page->myNodeItmes()[1]->state(), State::selectable);
    EXPECT_EQ(page->myNodeItmes()[2]->state(), State::locked);
    EXPECT_EQ(logLines(capture, "nodes.dropped: "),
              std::vector<std::string>{
                  "nodes.dropped: 90002 of 100002 (1 over 256 bytes, 90001 past the first 10000)"});
    // A label shows one line of what fits.
    const QString shown = page->myNodeItmes()[0]->titleLabel()->text();
    EXPECT_FALSE(shown.contains(u'\n') || shown.contains(QChar(0x1b))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("日本 0"))) << shown.toStdString();

    // The service's text reaches the host bounded as every service text is, the log escaped and cut.
    const std::string nasty = "bad\nline\x1b[2J" + std::string(5000, 'm');
    world.service.script({{"path", kNamesPath}, {"json", {{"code", 9}, {"msg", nasty}}}});
    auto second = world.makePage();
    ASSERT_TRUE(waitUntil([&] { return !world.reports.empty(); }));
    EXPECT_EQ(world.reports, (std::vector<NodeReport>{{std::nullopt, platform::truncatedText(nasty, 512)}}));
    const auto errors = logLines(capture, "error:");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("error:bad\\nline\\x1b[2Jmmm", 0), 0u) << errors[0];
    EXPECT_LT(errors[0].size(), 300u);
    for (const auto& record : capture.records()) {
        if (record.line.rfind("devservice", 0) == 0)
            continue; // the scripting service's own log
        EXPECT_EQ(record.line.find('\x1b'), std::string::npos) << record.line.substr(0, 80);
        EXPECT_LT(record.line.size(), 16u * 1024) << record.line.substr(0, 80);
    }
}

TEST(NodePage, NothingArrivesOnceThePageIsGone) {
    RouteWorld world;
    world.signIn({"日本 01"}, {"日本 01"});
    world.service.script({{"path", kNamesPath}, {"delay_ms", 150}, {"json", {{"code", 9}, {"msg", "late"}}}});
    auto page = world.makePage();
    page.reset();
    bool sentinel = false;
    std::unique_ptr<NMApi> probe(world.context.makeApi(HostList::main, nullptr));
    world.service.script({{"path", "/api/public/server/getPublicSetting"}, {"delay_ms", 300}});
    probe->loadPublicSetting({.success = [&](bool) { sentinel = true; }});
    ASSERT_TRUE(waitUntil([&] { return sentinel; }));
    EXPECT_TRUE(world.reports.empty());
}
