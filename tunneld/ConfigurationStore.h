#pragma once

#include "platform/JsonFileStore.h"
#include "tunnel/TunnelTypes.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace nimo::tunneld {

// The tunnel configurations of this user, per application, in one JSON file of the state directory
// (written atomically, a damaged file moved aside).
class ConfigurationStore {
public:
    struct Entry {
        std::string application;
        nlohmann::json configuration; // wire form, always with its identifier
    };

    explicit ConfigurationStore(std::string file);

    std::vector<Entry> all() const;
    std::vector<nlohmann::json> of(const std::string& application) const;
    std::optional<Entry> find(const std::string& identifier) const;
    // Stores a configuration; an empty identifier makes a new one. Answers the stored form, and
    // whether it is new.
    std::variant<std::pair<nlohmann::json, bool>, TunnelError> save(const std::string& application,
                                                                    const nlohmann::json& configuration);

private:
    platform::JsonFileStore store_;
};

} // namespace nimo::tunneld
