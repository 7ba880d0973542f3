#include "service/SecretKeyring.h"

#include "platform/Log.h"

#include <cstdlib>
#include <dlfcn.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

namespace nimo {

namespace {
const platform::SystemLog kLog("SecretKeyring");
constexpr const char* kLibrary = "libsecret-1.so.0";

// The functions used, taken from the library (and the GLib it brings) on first use: a client that
// never reads a secret, and every start until the first request, maps none of it. Types and
// constants come from the headers; nothing links against the library.
struct Functions {
    GDBusConnection* (*busGetSync)(GBusType, GCancellable*, GError**);
    void (*setExitOnClose)(GDBusConnection*, gboolean);
    GVariant* (*callSync)(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*,
                          const GVariantType*, GDBusCallFlags, gint, GCancellable*, GError**);
    GVariant* (*variantNew)(const gchar*, ...);
    void (*variantGet)(GVariant*, const gchar*, ...);
    void (*variantUnref)(GVariant*);
    void (*objectUnref)(gpointer);
    void (*errorFree)(GError*);
    SecretService* (*serviceGetSync)(SecretServiceFlags, GCancellable*, GError**);
    SecretCollection* (*collectionForAliasSync)(SecretService*, const gchar*, SecretCollectionFlags,
                                                GCancellable*, GError**);
    gboolean (*collectionGetLocked)(SecretCollection*);
    gboolean (*storeSync)(const SecretSchema*, const gchar*, const gchar*, const gchar*, GCancellable*,
                          GError**, ...);
    gchar* (*lookupSync)(const SecretSchema*, GCancellable*, GError**, ...);
    gboolean (*clearSync)(const SecretSchema*, GCancellable*, GError**, ...);
    void (*passwordFree)(gchar*);
};

// Null when the library is not installed or lacks a function. Loaded once, never unloaded.
const Functions* functions() {
    static const Functions* loaded = []() -> const Functions* {
        void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return nullptr;
        static Functions f;
        const std::pair<const char*, void**> table[] = {
            {"g_bus_get_sync", reinterpret_cast<void**>(&f.busGetSync)},
            {"g_dbus_connection_set_exit_on_close", reinterpret_cast<void**>(&f.setExitOnClose)},
            {"g_dbus_connection_call_sync", reinterpret_cast<void**>(&f.callSync)},
            {"g_variant_new", reinterpret_cast<void**>(&f.variantNew)},
            {"g_variant_get", reinterpret_cast<void**>(&f.variantGet)},
            {"g_variant_unref", reinterpret_cast<void**>(&f.variantUnref)},
            {"g_object_unref", reinterpret_cast<void**>(&f.objectUnref)},
            {"g_error_free", reinterpret_cast<void**>(&f.errorFree)},
            {"secret_service_get_sync", reinterpret_cast<void**>(&f.serviceGetSync)},
            {"secret_collection_for_alias_sync", reinterpret_cast<void**>(&f.collectionForAliasSync)},
            {"secret_collection_get_locked", reinterpret_cast<void**>(&f.collectionGetLocked)},
            {"secret_password_store_sync", reinterpret_cast<void**>(&f.storeSync)},
            {"secret_password_lookup_sync", reinterpret_cast<void**>(&f.lookupSync)},
            {"secret_password_clear_sync", reinterpret_cast<void**>(&f.clearSync)},
            {"secret_password_free", reinterpret_cast<void**>(&f.passwordFree)},
        };
        for (const auto& [name, slot] : table) {
            *slot = ::dlsym(handle, name);
            if (!*slot) {
                kLog.error(std::string("SecretKeyring.unavailable:") + kLibrary + " has no " + name);
                return nullptr;
            }
        }
        return &f;
    }();
    return loaded;
}

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

std::string messageOf(const Functions& f, GError* error) {
    std::string text = error && error->message ? error->message : "unknown";
    if (error)
        f.errorFree(error);
    return text;
}

// Asking the service itself would start an activatable keyring that nobody unlocked.
bool serviceRunning(const Functions& f, GDBusConnection* bus) {
    GError* error = nullptr;
    GVariant* reply = f.callSync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "NameHasOwner", f.variantNew("(s)", "org.freedesktop.secrets"),
                                 reinterpret_cast<const GVariantType*>("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000,
                                 nullptr, &error);
    if (!reply) {
        messageOf(f, error);
        return false;
    }
    gboolean owned = FALSE;
    f.variantGet(reply, "(b)", &owned);
    f.variantUnref(reply);
    return owned;
}
} // namespace

bool SecretKeyring::probe() const {
    const Functions* f = functions();
    if (!f || !sessionBusNamed())
        return false;
    GError* error = nullptr;
    GDBusConnection* bus = f->busGetSync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        messageOf(*f, error);
        return false;
    }
    // A bus that goes away must not end the process with it (GLib's default for this connection).
    f->setExitOnClose(bus, FALSE);
    const bool running = serviceRunning(*f, bus);
    f->objectUnref(bus);
    if (!running)
        return false;
    SecretService* service = f->serviceGetSync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        kLog.notice("SecretKeyring.unavailable:" + messageOf(*f, error));
        return false;
    }
    SecretCollection* collection = f->collectionForAliasSync(service, SECRET_COLLECTION_DEFAULT,
                                                             SECRET_COLLECTION_NONE, nullptr, &error);
    f->objectUnref(service);
    if (!collection) {
        // No default collection: storing would ask the user to create one.
        kLog.notice("SecretKeyring.unavailable:" +
                    (error ? messageOf(*f, error) : std::string("no default collection")));
        return false;
    }
    const bool locked = f->collectionGetLocked(collection);
    f->objectUnref(collection);
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
    const Functions& f = *functions();
    std::lock_guard guard(mutex_);
    if (auto it = cache_.find(key); it != cache_.end())
        return it->second ? Lookup{Lookup::State::Found, *it->second} : Lookup{Lookup::State::Absent, {}};
    GError* error = nullptr;
    gchar* found =
        f.lookupSync(schema(), nullptr, &error, "store", scope_.c_str(), "key", key.c_str(), nullptr);
    if (error) {
        kLog.error("SecretKeyring.lookup.err:" + key + " " + messageOf(f, error));
        return {};
    }
    if (!found) {
        cache_[key] = std::nullopt;
        return {Lookup::State::Absent, {}};
    }
    std::string value(found);
    f.passwordFree(found);
    cache_[key] = value;
    return {Lookup::State::Found, std::move(value)};
}

bool SecretKeyring::store(const std::string& key, const std::string& secret) {
    if (!available())
        return false;
    const Functions& f = *functions();
    std::lock_guard guard(mutex_);
    cache_.erase(key);
    GError* error = nullptr;
    const std::string label = "NimoMac " + key;
    if (!f.storeSync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), nullptr, &error,
                     "store", scope_.c_str(), "key", key.c_str(), nullptr)) {
        kLog.error("SecretKeyring.store.err:" + key + " " + messageOf(f, error));
        return false;
    }
    cache_[key] = secret;
    return true;
}

bool SecretKeyring::clear(const std::string& key) {
    if (!available())
        return false;
    const Functions& f = *functions();
    std::lock_guard guard(mutex_);
    cache_.erase(key);
    GError* error = nullptr;
    // False without an error only means there was nothing to remove.
    f.clearSync(schema(), nullptr, &error, "store", scope_.c_str(), "key", key.c_str(), nullptr);
    if (error) {
        kLog.error("SecretKeyring.clear.err:" + key + " " + messageOf(f, error));
        return false;
    }
    cache_[key] = std::nullopt;
    return true;
}

} // namespace nimo
