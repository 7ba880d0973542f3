#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace nimo::platform {

// A key/value store in one JSON object file. Values are strings, integers, booleans, doubles,
// arrays, dictionaries and raw bytes (nlohmann binary; on disk {"$data": base64}).
//
// Several instances and several processes may use the same file: reads see the latest committed
// write (a stat per read, a parse only when the file changed); writes lock the file, re-read it,
// change it and replace it atomically, mode 0600. A file that is not a JSON object is moved aside
// (never deleted) with an error line, and the store starts empty.
class JsonFileStore {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit JsonFileStore(std::string path);

    const std::string& path() const { return path_; }

    std::optional<nlohmann::json> value(const std::string& key) const;
    bool contains(const std::string& key) const { return value(key).has_value(); }
    // Typed reads: a value of another type counts as absent.
    std::optional<std::string> string(const std::string& key) const;
    std::optional<std::int64_t> integer(const std::string& key) const;
    std::optional<bool> boolean(const std::string& key) const;
    std::optional<double> number(const std::string& key) const; // integer or floating
    std::optional<nlohmann::json> array(const std::string& key) const;
    std::optional<nlohmann::json> object(const std::string& key) const;
    std::optional<Bytes> bytes(const std::string& key) const;
    nlohmann::json snapshot() const;

    // Writes return false when the file could not be written; the error is logged and the file on
    // disk keeps its previous content.
    [[nodiscard]] bool set(const std::string& key, nlohmann::json value);
    [[nodiscard]] bool remove(const std::string& key);
    [[nodiscard]] bool removeKeys(const std::vector<std::string>& keys);
    // Read-modify-write under the lock; fn sees the current content from disk.
    [[nodiscard]] bool update(const std::function<void(nlohmann::json& object)>& fn);

private:
    struct Stamp {
        std::int64_t mtimeNs = -1, size = -1;
        std::uint64_t inode = 0;
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const std::string& path);
    static bool settled(const Stamp& stamp);
    const nlohmann::json& current() const; // caller holds mutex_; re-read only when the file changed
    nlohmann::json load() const;
    nlohmann::json readFromDisk(Stamp* stamp) const; // moves a broken file aside
    bool writeToDisk(const nlohmann::json& object);

    std::string path_;
    mutable std::mutex mutex_;
    mutable Stamp cachedStamp_;
    mutable nlohmann::json cached_ = nlohmann::json::object();
};

// Raw bytes <-> on-disk form, shared with the provider which reads the same files.
nlohmann::json toDiskForm(const nlohmann::json& value);
nlohmann::json fromDiskForm(const nlohmann::json& value);

} // namespace nimo::platform
