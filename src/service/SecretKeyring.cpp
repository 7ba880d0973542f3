#include "service/SecretKeyring.h"

#include "platform/Log.h"

#include <cstdlib>
#include <libsecret/secret.h>
#include <sys/stat.h>

namespace nimo {

namespace {
const platform::SystemLog kLog("SecretKeyring");

const SecretSchema* schema() {
    static const SecretSchema s = {"com.nimomac.qn.secret",
                                   SECRET_SCHEMA_NONE,
                                   {
                                       {"store", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {"key", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                   },
                                   0,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};
    return &s;
}

// Without an address GLib would try to autolaunch a bus of its own.
bool sessionBusNamed() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address)
        return true;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    return runtime && *runtime && ::stat((std::string(runtime) + "/bus").c_str(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

// Asking the service itself would start an activatable keyring that nobody unlocked.
bool serviceRunning(GDBusConnection* bus) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000,
        nullptr, &error);
    if (!reply) {
        g_clear_error(&error);
        return false;
    }
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    return owned;
}

std::string messageOf(GError* error) {
    std::string text = error && error->message ? error->message : "unknown";
    g_clear_error(&error);
    return text;
}
} // namespace

bool SecretKeyring::probe() const {
    if (!sessionBusNamed())
        return false;
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    // A bus that goes away must not end the process with it (GLib's default for this connection).
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    const bool running = serviceRunning(bus);
    g_object_unref(bus);
    if (!running)
        return false;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        kLog.notice("SecretKeyring.unavailable:" + messageOf(error));
        return false;
    }
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(service);
    if (!collection) {
        // No default collection: storing would ask the user to create one.
        kLog.notice("SecretKeyring.unavailable:" +
                    (error ? messageOf(error) : std::string("no default collection")));
        return false;
    }
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked) {
        kLog.notice("SecretKeyring.unavailable:locked");
        return false;
    }
    return true;
}

SecretKeyring::SecretKeyring(std::string scope) : scope_(std::move(scope)) {}

bool SecretKeyring::available() const {
    std::call_once(probed_, [this] { available_ = probe(); });
    return available_;
}

SecretKeyring::Lookup SecretKeyring::lookup(const std::string& key) const {
    if (!available())
        return {};
    std::lock_guard guard(mutex_);
    if (auto it = cache_.find(key); it != cache_.end())
        return it->second ? Lookup{Lookup::State::Found, *it->second} : Lookup{Lookup::State::Absent, {}};
    GError* error = nullptr;
    gchar* found = secret_password_lookup_sync(schema(), nullptr, &error, "store", scope_.c_str(), "key",
                                               key.c_str(), nullptr);
    if (error) {
        kLog.error("SecretKeyring.lookup.err:" + key + " " + messageOf(error));
        return {};
    }
    if (!found) {
        cache_[key] = std::nullopt;
        return {Lookup::State::Absent, {}};
    }
    std::string value(found);
    secret_password_free(found);
    cache_[key] = value;
    return {Lookup::State::Found, std::move(value)};
}

bool SecretKeyring::store(const std::string& key, const std::string& secret) {
    if (!available())
        return false;
    std::lock_guard guard(mutex_);
    cache_.erase(key);
    GError* error = nullptr;
    const std::string label = "NimoMac " + key;
    if (!secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(),
                                    nullptr, &error, "store", scope_.c_str(), "key", key.c_str(), nullptr)) {
        kLog.error("SecretKeyring.store.err:" + key + " " + messageOf(error));
        return false;
    }
    cache_[key] = secret;
    return true;
}

bool SecretKeyring::clear(const std::string& key) {
    if (!available())
        return false;
    std::lock_guard guard(mutex_);
    cache_.erase(key);
    GError* error = nullptr;
    // False without an error only means there was nothing to remove.
    secret_password_clear_sync(schema(), nullptr, &error, "store", scope_.c_str(), "key", key.c_str(),
                               nullptr);
    if (error) {
        kLog.error("SecretKeyring.clear.err:" + key + " " + messageOf(error));
        return false;
    }
    cache_[key] = std::nullopt;
    return true;
}

} // namespace nimo
