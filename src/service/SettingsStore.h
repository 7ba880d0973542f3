#pragma once

#include "platform/JsonFileStore.h"
#include "service/QnKeyChain.h"

#include <functional>
#include <string>
#include <vector>

namespace nimo {

// The per-user settings (keys in UserDefaultsCacheKeys) and the keychain beside them. Instances are
// cheap views over the same files, so one made by the tunnel manager and one made by a screen
// always agree.
class SettingsStore {
public:
    // The user's own settings file and keychain folder, from the XDG directories.
    SettingsStore();
    SettingsStore(std::string settingsFile, std::string keychainDir);

    platform::JsonFileStore& values() { return values_; }
    const platform::JsonFileStore& values() const { return values_; }
    QnKeyChain& keychain() { return keychain_; }

    // Shorthands for the common typed reads and writes.
    std::optional<std::string> string(const std::string& key) const { return values_.string(key); }
    std::optional<nlohmann::json> object(const std::string& key) const { return values_.object(key); }
    std::optional<nlohmann::json> array(const std::string& key) const { return values_.array(key); }
    std::int64_t integer(const std::string& key) const { return values_.integer(key).value_or(0); }
    bool contains(const std::string& key) const { return values_.contains(key); }
    bool set(const std::string& key, nlohmann::json value);
    bool remove(const std::string& key);

    // Called after every write through this store that changed the file: the key, or "" when the
    // session keys were cleared together.
    using ChangeListener = std::function<void(const std::string& key)>;
    void setChangeListener(ChangeListener listener) { listener_ = std::move(listener); }

    // Device identifier: settings, then keychain, else a new "macOS-" + UUID stored in both.
    std::string deviceId();
    // Removes the session keys; keeps host, backup list, device id, node catalogue and the
    // remembered credentials and auto-login switch. False when the file could not be written.
    bool clearSession();
    bool isSignedIn() const;
    bool hasUserInfo() const;

private:
    void changed(const std::string& key) const;

    platform::JsonFileStore values_;
    QnKeyChain keychain_;
    ChangeListener listener_;
};

} // namespace nimo
