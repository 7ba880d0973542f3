#pragma once

#include <QObject>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

class SettingsStore;

// The signed-in account as the screens see it: the cached user info, the subscription's figures and
// the node lists, with a signal for each kind of change. It follows every write to the settings
// store, whoever makes it (sign-in, a service answer, a rejected session, sign-out), so no screen
// keeps a copy of its own.
class AccountSession : public QObject {
    Q_OBJECT
public:
    explicit AccountSession(SettingsStore& settings, QObject* parent = nullptr);
    ~AccountSession() override;

    // Signed in means that user info is cached.
    bool signedIn() const;
    bool hasToken() const;
    std::optional<nlohmann::json> userInfo() const;
    // The remaining traffic text of the last subscription, if any.
    std::optional<std::string> trafficText() const;
    // The subscribed node names; none when no list is cached.
    std::optional<std::vector<std::string>> subscribedNodes() const;

    SettingsStore& settings() { return settings_; }

Q_SIGNALS:
    // Signed in, signed out, or another account's token: every per-account value is stale.
    void accountChanged();
    void userInfoChanged();
    // Traffic or subscription id.
    void subscriptionChanged();
    // The node catalogue or the subscribed list.
    void nodesChanged();

private:
    void keyChanged(const std::string& key);

    SettingsStore& settings_;
};

} // namespace nimo
