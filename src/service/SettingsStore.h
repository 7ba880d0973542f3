#pragma once

#include "platform/JsonFileStore.h"
#include "service/QnKeyChain.h"
#include "service/SecretKeyring.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nimo {

// The per-user settings (keys in UserDefaultsCacheKeys) and the keychain beside them. Instances are
// cheap views over the same files, so one made by the tunnel manager and one made by a screen
// always agree.
//
// With a keyring, the session token and the remembered credentials live there while it answers;
// callers read and write them under their usual keys. A value of those keys found in the file
// (an earlier version's, or written while the keyring was away) is newer than the keyring's and
// moves into it.
class SettingsStore {
public:
    // The user's own settings file and keychain folder, from the XDG directories; no keyring.
    SettingsStore();
    SettingsStore(std::string settingsFile, std::string keychainDir,
                  std::shared_ptr<SecretKeyring> keyring = nullptr);

    platform::JsonFileStore& values() { return values_; }
    const platform::JsonFileStore& values() const { return values_; }
    QnKeyChain& keychain() { return keychain_; }

    // The keys a keyring keeps while it answers; the file keeps them otherwise.
    static bool isSecret(const std::string& key);
    bool keyringInUse() const;

    // Typed reads: a value of another type counts as absent.
    std::optional<nlohmann::json> value(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    std::optional<nlohmann::json> object(const std::string& key) const;
    std::optional<nlohmann::json> array(const std::string& key) const { return values_.array(key); }
    std::int64_t integer(const std::string& key) const { return values_.integer(key).value_or(0); }
    bool contains(const std::string& key) const { return value(key).has_value(); }
    bool set(const std::string& key, nlohmann::json value);
    bool remove(const std::string& key);

    // Called after every write through this store that changed a value: the key, or "" when the
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
    bool moveToKeyring(const std::string& key, const nlohmann::json& value) const;
    void changed(const std::string& key) const;

    platform::JsonFileStore values_;
    QnKeyChain keychain_;
    std::shared_ptr<SecretKeyring> keyring_;
    mutable std::once_flag swept_;
    ChangeListener listener_;
};

} // namespace nimo
