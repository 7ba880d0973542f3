#pragma once

// The route page over temporary XDG folders and the in-process local account service: what main
// gives a screen, with a tunnel manager that never reaches a service.
#include "ServiceServers.h"
#include "http/SessionManager.h"
#include "nodes/ImageRadioButton.h"
#include "nodes/NodePageView.h"
#include "service/AccountSession.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "support/TestSupport.h"
#include "tunnel/AppContext.h"
#include "tunnel/NimoShared.h"
#include "tunnel/TunnelTypes.h"
#include "tunnel/VPNTunnelManager.h"

#include <QLabel>
#include <memory>

namespace nimo::test {

struct NoOpener : UrlOpener {
    bool open(const std::string&) override { return false; }
};

struct RecordedToasts : ToastPresenter {
    QStringList texts;
    void showToast(QObject*, const QString& text) override { texts << text; }
};

// One call of nodeStateChangeBlock.
struct NodeReport {
    std::optional<std::string> name;
    std::optional<std::string> message;
    bool operator==(const NodeReport&) const = default;
};

inline http::SessionConfiguration quickSession() {
    auto config = http::SessionConfiguration::defaultConfiguration();
    config.connectTimeout = std::chrono::milliseconds(2000);
    config.noDataTimeout = std::chrono::milliseconds(2000);
    config.requestTimeout = std::chrono::seconds(5);
    return config;
}

struct RouteWorld {
    TempXdg xdg;
    SettingsStore settings;
    LocalService service;
    http::SessionManager session;
    VPNTunnelManager tunnel{quietSetup(xdg)};
    NoOpener opener;
    RecordedToasts toasts;
    AccountSession account{settings};
    AppContext context{settings, NimoShared::shared(), tunnel, session, opener, toasts, account};
    QWidget window;
    std::vector<NodeReport> reports;

    explicit RouteWorld(http::SessionConfiguration config = quickSession()) : session(std::move(config)) {
        window.resize(920, 580);
    }

    static VPNTunnelManager::Setup quietSetup(const TempXdg& xdg) {
        VPNTunnelManager::Setup setup;
        setup.socketPath = xdg.path("no-service.sock");
        setup.packageRoot = xdg.path("package");
        return setup;
    }

    // The demo account signed in on this service with subscription 7, the host remembered.
    void signIn(const std::vector<std::string>& names, const std::vector<std::string>& subscribed) {
        const nlohmann::json fixture{
            {"demo", false},
            {"node_names", names},
            {"accounts",
             {{{"email", "a@x.cn"},
               {"password", "secret1"},
               {"subscriptions", {{{"id", 7}, {"sub_uuid", "u-7"}, {"nodes", subscribed}}}}}}},
            {"tokens", {{"page-token", "a@x.cn"}}}};
        auto reply = service.service().handle({"POST", "/admin/fixture", {}, {}, {}, {}, {}, fixture.dump()});
        ASSERT_EQ(reply.status, 200) << reply.body;
        ASSERT_TRUE(settings.set(UserDefaultsCacheKeys::lastOkHost, service.url()));
        ASSERT_TRUE(settings.set(UserDefaultsCacheKeys::apiToken, "page-token"));
        ASSERT_TRUE(settings.set(UserDefaultsCacheKeys::serverId, 7));
    }

    void select(const nlohmann::json& selection) { NimoShared::shared().set(selection, kSharedNodeName); }

    // Made and built as the main screen does; reports are recorded.
    std::unique_ptr<NodePageView> makePage() {
        auto page = std::make_unique<NodePageView>(context, &window);
        page->setGeometry(0, 128, 920, 580 - 128);
        page->nodeStateChangeBlock = [this](const std::optional<std::string>& name,
                                            const std::optional<std::string>& message) {
            reports.push_back({name, message});
        };
        page->buildPage();
        return page;
    }

    // Requests the service has seen for one path.
    size_t requestsTo(const std::string& path) {
        size_t n = 0;
        for (const auto& r : service.requests())
            if (r.value("path", "") == path)
                ++n;
        return n;
    }
};

inline std::vector<std::string> shownNames(const NodePageView& page) {
    std::vector<std::string> out;
    for (ImageRadioButton* item : page.myNodeItmes())
        if (!item->isHidden())
            out.push_back(item->title());
    return out;
}

} // namespace nimo::test
