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

bool SettingsStore::clearSession() {
    return values_.removeKeys({keys::userInfo, keys::userAccount, keys::apiToken, keys::subscribeUuid,
                               keys::subscribeEnd, keys::subNodes, keys::serverId, keys::lastAmount});
}

bool SettingsStore::isSignedIn() const {
    return values_.contains(keys::apiToken);
}
bool SettingsStore::hasUserInfo() const {
    return values_.contains(keys::userInfo);
}

} // namespace nimo
