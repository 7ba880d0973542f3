#include "service/SettingsStore.h"

#include "platform/Paths.h"
#include "service/UserDefaultsCacheKeys.h"

#include <QUuid>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;

namespace {
constexpr const char* kSecretKeys[] = {keys::apiToken, keys::lastAccountIdPw};
}

SettingsStore::SettingsStore()
    : SettingsStore(platform::paths::settingsFile(), platform::paths::keychainDir()) {}

SettingsStore::SettingsStore(std::string settingsFile, std::string keychainDir,
                             std::shared_ptr<SecretKeyring> keyring)
    : values_(std::move(settingsFile)), keychain_(std::move(keychainDir)), keyring_(std::move(keyring)) {}

bool SettingsStore::isSecret(const std::string& key) {
    for (const char* secret : kSecretKeys)
        if (key == secret)
            return true;
    return false;
}

bool SettingsStore::keyringInUse() const {
    if (!keyring_ || !keyring_->available())
        return false;
    // Once per store: secrets an earlier version left in the file move over even if never read.
    std::call_once(swept_, [this] {
        for (const char* key : kSecretKeys)
            if (auto old = values_.value(key))
                moveToKeyring(key, *old);
    });
    return true;
}

bool SettingsStore::moveToKeyring(const std::string& key, const nlohmann::json& value) const {
    if (!keyring_->store(key, value.dump()))
        return false;
    // The file is written under its own lock: a const view may still tidy it.
    return const_cast<platform::JsonFileStore&>(values_).remove(key);
}

std::optional<nlohmann::json> SettingsStore::value(const std::string& key) const {
    if (!isSecret(key) || !keyringInUse())
        return values_.value(key);
    // A copy in the file was written while the keyring was away, so it is the newer one.
    if (auto inFile = values_.value(key)) {
        moveToKeyring(key, *inFile);
        return inFile;
    }
    const auto found = keyring_->lookup(key);
    if (found.state != SecretKeyring::Lookup::State::Found)
        return std::nullopt;
    auto parsed = nlohmann::json::parse(found.value, nullptr, false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

std::optional<std::string> SettingsStore::string(const std::string& key) const {
    if (!isSecret(key))
        return values_.string(key);
    auto v = value(key);
    if (v && v->is_string())
        return v->get<std::string>();
    return std::nullopt;
}

std::optional<nlohmann::json> SettingsStore::object(const std::string& key) const {
    if (!isSecret(key))
        return values_.object(key);
    auto v = value(key);
    if (v && v->is_object())
        return v;
    return std::nullopt;
}

bool SettingsStore::set(const std::string& key, nlohmann::json value) {
    bool ok = false;
    if (isSecret(key) && keyringInUse() && keyring_->store(key, value.dump()))
        ok = values_.remove(key);
    else
        ok = values_.set(key, std::move(value));
    if (ok)
        changed(key);
    return ok;
}

bool SettingsStore::remove(const std::string& key) {
    const bool had = contains(key);
    bool removed = values_.remove(key);
    if (isSecret(key) && keyringInUse())
        removed = keyring_->clear(key) && removed;
    if (removed && had)
        changed(key);
    return removed;
}

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
    bool cleared = values_.removeKeys({keys::userInfo, keys::userAccount, keys::apiToken, keys::subscribeUuid,
                                       keys::subscribeEnd, keys::subNodes, keys::serverId, keys::lastAmount});
    if (keyringInUse())
        cleared = keyring_->clear(keys::apiToken) && cleared;
    if (cleared)
        changed({});
    return cleared;
}

void SettingsStore::changed(const std::string& key) const {
    if (listener_) {
        auto listener = listener_; // a listener may replace itself
        listener(key);
    }
}

bool SettingsStore::isSignedIn() const {
    return contains(keys::apiToken);
}
bool SettingsStore::hasUserInfo() const {
    return values_.contains(keys::userInfo);
}

} // namespace nimo
