#include "ConfigurationStore.h"

#include "tunnel/TunnelConfiguration.h"
#include "tunnel/TunnelProtocol.h"

#include <QUuid>

namespace nimo::tunneld {

using namespace tunnelproto;

namespace {
constexpr const char* kKey = "configurations";
// Keeps the file (and every loadAll answer) small whatever a client sends.
constexpr std::size_t kMaxPerApplication = 32;

std::vector<ConfigurationStore::Entry> entriesOf(const nlohmann::json& array) {
    std::vector<ConfigurationStore::Entry> out;
    if (!array.is_array())
        return out;
    for (const auto& item : array) {
        auto application = stringField(item, "application");
        auto configuration = item.is_object() ? item.find("configuration") : item.end();
        if (!application || configuration == item.end() || !configuration->is_object())
            continue;
        if (!stringField(*configuration, "identifier"))
            continue;
        out.push_back({*application, *configuration});
    }
    return out;
}
} // namespace

ConfigurationStore::ConfigurationStore(std::string file) : store_(std::move(file)) {}

std::vector<ConfigurationStore::Entry> ConfigurationStore::all() const {
    return entriesOf(store_.array(kKey).value_or(nlohmann::json::array()));
}

std::vector<nlohmann::json> ConfigurationStore::of(const std::string& application) const {
    std::vector<nlohmann::json> out;
    for (auto& e : all())
        if (e.application == application)
            out.push_back(std::move(e.configuration));
    return out;
}

std::optional<ConfigurationStore::Entry> ConfigurationStore::find(const std::string& identifier) const {
    for (auto& e : all())
        if (stringField(e.configuration, "identifier") == identifier)
            return std::move(e);
    return std::nullopt;
}

std::variant<std::pair<nlohmann::json, bool>, TunnelError>
ConfigurationStore::save(const std::string& application, const nlohmann::json& configuration) {
    auto decoded = configurationFromJson(configuration);
    if (!decoded)
        return makeError(BadRequest, "配置必须是一个对象");
    const bool isNew = decoded->identifier.empty();
    if (isNew)
        decoded->identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    nlohmann::json stored = toJson(*decoded);

    std::optional<TunnelError> failure;
    const bool written = store_.update([&](nlohmann::json& object) {
        auto entries = entriesOf(object.value(kKey, nlohmann::json::array()));
        std::size_t count = 0;
        bool replaced = false;
        for (auto& e : entries) {
            if (e.application != application)
                continue;
            ++count;
            if (!isNew && stringField(e.configuration, "identifier") == decoded->identifier) {
                e.configuration = stored;
                replaced = true;
            }
        }
        if (!isNew && !replaced) {
            failure = makeError(NotFound, "没有这个配置：" + decoded->identifier);
            return;
        }
        if (isNew) {
            if (count >= kMaxPerApplication) {
                failure = makeError(StorageFailed, "配置数量已达上限");
                return;
            }
            entries.push_back({application, stored});
        }
        nlohmann::json array = nlohmann::json::array();
        for (const auto& e : entries)
            array.push_back({{"application", e.application}, {"configuration", e.configuration}});
        object[kKey] = std::move(array);
    });
    if (failure)
        return *failure;
    if (!written)
        return makeError(StorageFailed, "无法写入配置文件：" + store_.path());
    return std::make_pair(stored, isNew);
}

} // namespace nimo::tunneld
