#pragma once

#include "platform/JsonFileStore.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

namespace nimo {

// The preference domain and container directory shared with the tunnel provider, both named by the
// application group. A value written by set is on disk, atomically, when set returns.
class NimoShared {
public:
    static NimoShared& shared();

    std::optional<nlohmann::json> get(const std::string& key) const;

    // Supported: text, integers, booleans, floating point, raw bytes, dictionaries and arrays of
    // those (and nlohmann::json holding them). Anything else is refused with a line on standard
    // output naming its type, and nothing is stored. False when nothing was stored (refused, or the
    // file could not be written).
    template <class T> bool set(const T& value, const std::string& key) {
        if (auto json = toValue(value))
            return store(std::move(*json), key);
        if constexpr (std::is_same_v<T, nlohmann::json>)
            refuse(std::string("nlohmann::json<") + value.type_name() + ">", key);
        else
            refuse(demangle(typeid(T).name()), key);
        return false;
    }

    std::optional<std::string> getSharedDir(const std::string& subdir) const;
    std::optional<std::string> fileURL(const std::string& fileName, const std::string& subdir) const;
    bool fileExists(const std::string& fileName, const std::string& subdir) const;
    // Copies source into the container folder (subdir); the destination path, or none when the copy
    // failed. With overwrite an existing item is replaced only by a complete copy; without, it is
    // kept and its path returned.
    std::optional<std::string> copyItem(const std::string& source, const std::string& subdir,
                                        bool overwrite) const;

    // The container folder and domain file; the XDG variables are read at each call.
    static std::string containerPath();
    static std::string domainPath();

private:
    NimoShared() = default;

    static std::optional<nlohmann::json> toValue(const nlohmann::json& v);
    static std::optional<nlohmann::json> toValue(const std::string& v) { return nlohmann::json(v); }
    static std::optional<nlohmann::json> toValue(const char* v) { return nlohmann::json(std::string(v)); }
    static std::optional<nlohmann::json> toValue(const QString& v) { return nlohmann::json(v.toStdString()); }
    static std::optional<nlohmann::json> toValue(const QByteArray& v) {
        return nlohmann::json::binary(std::vector<std::uint8_t>(v.begin(), v.end()));
    }
    static std::optional<nlohmann::json> toValue(const std::vector<std::uint8_t>& v) {
        return nlohmann::json::binary(v);
    }
    template <class T> static std::optional<nlohmann::json> toValue(const std::vector<T>& v) {
        nlohmann::json array = nlohmann::json::array();
        for (const auto& e : v) {
            auto j = toValue(e);
            if (!j)
                return std::nullopt;
            array.push_back(std::move(*j));
        }
        return array;
    }
    template <class T> static std::optional<nlohmann::json> toValue(const std::map<std::string, T>& v) {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [k, e] : v) {
            auto j = toValue(e);
            if (!j)
                return std::nullopt;
            object[k] = std::move(*j);
        }
        return object;
    }
    template <class T> static std::optional<nlohmann::json> toValue(const T& v) {
        if constexpr (std::is_same_v<T, bool>)
            return nlohmann::json(v);
        else if constexpr (std::is_integral_v<T> || std::is_floating_point_v<T>)
            return nlohmann::json(v);
        else
            return std::nullopt;
    }

    bool store(nlohmann::json value, const std::string& key);
    static void refuse(const std::string& typeName, const std::string& key);
    static std::string demangle(const char* mangled);
    platform::JsonFileStore& domain() const;

    mutable std::unique_ptr<platform::JsonFileStore> domain_;
};

} // namespace nimo
