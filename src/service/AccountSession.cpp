#include "service/AccountSession.h"

#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"

#include <string_view>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;

AccountSession::AccountSession(SettingsStore& settings, QObject* parent)
    : QObject(parent), settings_(settings) {
    settings_.setChangeListener([this](const std::string& key) { keyChanged(key); });
}

AccountSession::~AccountSession() {
    settings_.setChangeListener({});
}

bool AccountSession::signedIn() const {
    return settings_.hasUserInfo();
}

bool AccountSession::hasToken() const {
    return settings_.isSignedIn();
}

std::optional<nlohmann::json> AccountSession::userInfo() const {
    return settings_.object(keys::userInfo);
}

std::optional<std::string> AccountSession::trafficText() const {
    return settings_.string(keys::lastAmount);
}

std::optional<std::vector<std::string>> AccountSession::subscribedNodes() const {
    const auto list = settings_.array(keys::subNodes);
    if (!list)
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& entry : *list)
        if (entry.is_string())
            names.push_back(entry.get<std::string>());
    return names;
}

void AccountSession::keyChanged(const std::string& key) {
    const std::string_view k = key;
    if (k.empty()) {
        // The session keys went together: a sign-out or a session the service no longer accepts.
        Q_EMIT accountChanged();
        Q_EMIT userInfoChanged();
        Q_EMIT subscriptionChanged();
        Q_EMIT nodesChanged();
    } else if (k == keys::apiToken) {
        Q_EMIT accountChanged();
    } else if (k == keys::userInfo || k == keys::userAccount) {
        Q_EMIT userInfoChanged();
    } else if (k == keys::lastAmount || k == keys::serverId) {
        Q_EMIT subscriptionChanged();
    } else if (k == keys::allNodes || k == keys::subNodes) {
        Q_EMIT nodesChanged();
    }
}

} // namespace nimo
