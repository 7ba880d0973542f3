#include "platform/JsonFileStore.h"

#include "platform/Log.h"
#include "platform/Paths.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QScopeGuard>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace nimo::platform {

namespace {
const SystemLog kLog("JsonFileStore");
constexpr qint64 kMaxFileSize = 64 * 1024 * 1024; // a settings file is kilobytes; anything huge is damage
constexpr const char* kDataKey = "$data";
constexpr int kLockWaitMs = 10000;
} // namespace

nlohmann::json toDiskForm(const nlohmann::json& value) {
    if (value.is_binary()) {
        const auto& bytes = value.get_binary();
        QByteArray raw(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
        return nlohmann::json{{kDataKey, raw.toBase64().toStdString()}};
    }
    if (value.is_object()) {
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it)
            out[it.key()] = toDiskForm(it.value());
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : value)
            out.push_back(toDiskForm(e));
        return out;
    }
    return value;
}

nlohmann::json fromDiskForm(const nlohmann::json& value) {
    if (value.is_object()) {
        if (value.size() == 1 && value.contains(kDataKey) && value[kDataKey].is_string()) {
            QByteArray raw =
                QByteArray::fromBase64(QByteArray::fromStdString(value[kDataKey].get<std::string>()));
            return nlohmann::json::binary(std::vector<std::uint8_t>(raw.begin(), raw.end()));
        }
        nlohmann::json out = nlohmann::json::object();
        for (auto it = value.begin(); it != value.end(); ++it)
            out[it.key()] = fromDiskForm(it.value());
        return out;
    }
    if (value.is_array()) {
        nlohmann::json out = nlohmann::json::array();
        for (const auto& e : value)
            out.push_back(fromDiskForm(e));
        return out;
    }
    return value;
}

JsonFileStore::JsonFileStore(std::string path) : path_(std::move(path)) {}

JsonFileStore::Stamp JsonFileStore::stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Stamp{};
    return Stamp{static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 static_cast<std::int64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ino)};
}

bool JsonFileStore::settled(const Stamp& stamp) {
    // File times advance in coarse ticks and inode numbers are reused, so two replaces in quick
    // succession can leave the same stamp: trust the cache only for a file that has been quiet.
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const std::int64_t nowNs = static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
    return nowNs - stamp.mtimeNs > 100'000'000;
}

nlohmann::json JsonFileStore::readFromDisk(Stamp* stamp) const {
    *stamp = stampOf(path_);
    if (stamp->inode == 0)
        return nlohmann::json::object();
    QFile file(QString::fromStdString(path_));
    QString problem;
    nlohmann::json parsed;
    if (stamp->size > kMaxFileSize) {
        problem = "file too large";
    } else if (!file.open(QIODevice::ReadOnly)) {
        // Unreadable is not damage: keep the file where it is and work from nothing.
        kLog.error("JsonFileStore.read.err:" + path_ + " " + file.errorString().toStdString());
        return nlohmann::json::object();
    } else {
        const QByteArray data = file.readAll();
        file.close();
        if (data.isEmpty())
            return nlohmann::json::object();
        parsed = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
        if (parsed.is_discarded())
            problem = "not valid JSON";
        else if (!parsed.is_object())
            problem = "not a JSON object";
        else
            return fromDiskForm(parsed);
    }
    // Keep the damaged file for inspection under a new name and start empty.
    const QString aside = QString::fromStdString(path_) + ".corrupt-" +
                          QDateTime::currentDateTimeUtc().toString("yyyyMMdd-hhmmss-zzz");
    if (QFile::rename(QString::fromStdString(path_), aside))
        kLog.error("JsonFileStore.corrupt:" + path_ + " (" + problem.toStdString() + "), moved to " +
                   aside.toStdString());
    else
        kLog.error("JsonFileStore.corrupt:" + path_ + " (" + problem.toStdString() + "), could not move it");
    *stamp = Stamp{};
    return nlohmann::json::object();
}

const nlohmann::json& JsonFileStore::current() const {
    const Stamp now = stampOf(path_);
    if (now == cachedStamp_ && settled(now))
        return cached_;
    Stamp read;
    cached_ = readFromDisk(&read);
    cachedStamp_ = read;
    return cached_;
}

nlohmann::json JsonFileStore::load() const {
    std::lock_guard guard(mutex_);
    return current();
}

std::optional<nlohmann::json> JsonFileStore::value(const std::string& key) const {
    // Looked up under the lock so only the one value is copied, not the whole document.
    std::lock_guard guard(mutex_);
    const nlohmann::json& all = current();
    auto it = all.find(key);
    if (it == all.end())
        return std::nullopt;
    return *it;
}

std::optional<std::string> JsonFileStore::string(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_string())
        return v->get<std::string>();
    return std::nullopt;
}

std::optional<std::int64_t> JsonFileStore::integer(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_number_integer())
        return v->is_number_unsigned() ? static_cast<std::int64_t>(v->get<std::uint64_t>())
                                       : v->get<std::int64_t>();
    return std::nullopt;
}

std::optional<bool> JsonFileStore::boolean(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_boolean())
        return v->get<bool>();
    return std::nullopt;
}

std::optional<double> JsonFileStore::number(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_number())
        return v->get<double>();
    return std::nullopt;
}

std::optional<nlohmann::json> JsonFileStore::array(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_array())
        return v;
    return std::nullopt;
}

std::optional<nlohmann::json> JsonFileStore::object(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_object())
        return v;
    return std::nullopt;
}

std::optional<JsonFileStore::Bytes> JsonFileStore::bytes(const std::string& key) const {
    auto v = value(key);
    if (v && v->is_binary())
        return Bytes(v->get_binary().begin(), v->get_binary().end());
    return std::nullopt;
}

nlohmann::json JsonFileStore::snapshot() const {
    return load();
}

bool JsonFileStore::set(const std::string& key, nlohmann::json value) {
    // Rewriting an unchanged value (the remembered host after every request) costs a file replace.
    if (auto current = this->value(key); current && *current == value)
        return true;
    return update([&](nlohmann::json& object) { object[key] = std::move(value); });
}

bool JsonFileStore::remove(const std::string& key) {
    return removeKeys({key});
}

bool JsonFileStore::removeKeys(const std::vector<std::string>& keys) {
    bool any = false;
    for (const auto& k : keys)
        any = any || contains(k);
    if (!any)
        return true; // nothing to remove: leave the file untouched
    return update([&](nlohmann::json& object) {
        for (const auto& k : keys)
            object.erase(k);
    });
}

bool JsonFileStore::update(const std::function<void(nlohmann::json& object)>& fn) {
    const QFileInfo info(QString::fromStdString(path_));
    const QString dir = info.absolutePath();
    if (!paths::ensureDir(dir.toStdString(), 0700)) {
        kLog.error("JsonFileStore.write.err:" + path_ + " cannot create " + dir.toStdString());
        return false;
    }
    // A kernel lock on "<file>.lock": it goes with its holder, so a writer killed mid-save leaves
    // nothing to wait for (an empty or stale lock file means nothing). Only a live writer is waited
    // on, for at most kLockWaitMs.
    const int lockFd = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd < 0) {
        kLog.error("JsonFileStore.write.err:" + path_ + " lock file: " + std::strerror(errno));
        return false;
    }
    const auto unlock = qScopeGuard([lockFd] { ::close(lockFd); });
    bool locked = false;
    for (int waited = 0; !(locked = ::flock(lockFd, LOCK_EX | LOCK_NB) == 0) && waited < kLockWaitMs;
         waited += 2) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            break;
        ::usleep(2000);
    }
    if (!locked) {
        kLog.error("JsonFileStore.write.err:" + path_ + " lock not acquired");
        return false;
    }
    std::lock_guard guard(mutex_);
    // Another process may have written since our last read: start from what is on disk now.
    Stamp stamp;
    nlohmann::json object = readFromDisk(&stamp);
    fn(object);
    if (!writeToDisk(object)) {
        cachedStamp_ = Stamp{};
        return false;
    }
    cachedStamp_ = stampOf(path_);
    cached_ = std::move(object);
    return true;
}

bool JsonFileStore::writeToDisk(const nlohmann::json& object) {
    QSaveFile file(QString::fromStdString(path_));
    // Unbuffered: a short write (full disk, file size limit) fails write() itself; through the
    // buffer it could slip past commit() and replace the store with a truncated file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        kLog.error("JsonFileStore.write.err:" + path_ + " " + file.errorString().toStdString());
        return false;
    }
    // The store may hold a remembered password: only its owner reads it, from the first byte on.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const std::string text = toDiskForm(object).dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    if (file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
        !file.commit()) {
        kLog.error("JsonFileStore.write.err:" + path_ + " " + file.errorString().toStdString());
        return false;
    }
    return true;
}

} // namespace nimo::platform
