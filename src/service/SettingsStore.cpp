#include "service/SettingsStore.h"

#include "platform/Paths.h"
#include "service/UserDefaultsCacheKeys.h"

#include <QUuid>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;

SettingsStore::SettingsStore()
    : SettingsStore(platform::paths::settingsFile(), platform::paths::keychainDir()) {}

SettingsStore::SettingsStore(std::string settingsFile, std::string keychainDir)
    : values_(std::move(settingsFile)), keychain_(std::move(keychainDir)) {}

std::string SettingsStore::deviceId() {
    if (auto stored = values_.string(keys::deviceId); stored && !stored->empty())
        return *stored;
    if (auto kept = keychain_.load(keys::deviceId))
        return *kept;
    const std::string uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    const std::string id = "macOS-" + uuid;
    (void)values_.set(keys::deviceId, id);
    keychain_.save(id, keys::deviceId);
    return id;
}

bool SettingsStore::set(const std::string& key, nlohmann::json value) {
    const bool ok = values_.set(key, std::move(value));
    if (ok)
        changed(key);
    return ok;
}

bool SettingsStore::remove(const std::string& key) {
    const bool had = values_.contains(key);
    const bool ok = values_.remove(key);
    if (ok && had)
        changed(key);
    return ok;
}

bool SettingsStore::clearSession() {
    const bool ok =
        values_.removeKeys({keys::userInfo, keys::userAccount, keys::apiToken, keys::subscribeUuid,
                            keys::subscribeEnd, keys::subNodes, keys::serverId, keys::lastAmount});
    if (ok)
        changed({});
    return ok;
}

void SettingsStore::changed(const std::string& key) const {
    if (listener_) {
        auto listener = listener_; // a listener may replace itself
        listener(key);
    }
}

bool SettingsStore::isSignedIn() const {
    return values_.contains(keys::apiToken);
}
bool SettingsStore::hasUserInfo() const {
    return values_.contains(keys::userInfo);
}

} // namespace nimo
