#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace nimo {

// Secrets kept by the desktop's keyring (the Secret Service of GNOME Keyring or KWallet), each
// stored under a key and the file of the settings store it belongs to, so two settings files never
// see each other's items.
class SecretKeyring {
public:
    // What a lookup found: an item, no item, or no answer (the keyring went away or locked).
    struct Lookup {
        enum class State {
            Found,  // value holds the item
            Absent, // the keyring answered: no such item
            Failed, // no answer; the caller keeps to its file
        };
        State state = State::Failed;
        std::string value;
    };

    // Asks the session nothing yet: start-up pays for the keyring only when a secret is first used.
    explicit SecretKeyring(std::string scope);
    SecretKeyring(const SecretKeyring&) = delete;
    SecretKeyring& operator=(const SecretKeyring&) = delete;

    // True when a Secret Service already runs on the session bus and its default collection is
    // unlocked (asked once); false with no bus, no service, no default collection, or locked.
    bool available() const;
    Lookup lookup(const std::string& key) const;
    bool store(const std::string& key, const std::string& secret);
    bool clear(const std::string& key);

private:
    bool probe() const;

    std::string scope_;
    mutable std::once_flag probed_;
    mutable bool available_ = false;
    // Every request reads the token: answers are kept until this process changes the item.
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::optional<std::string>> cache_;
};

} // namespace nimo
