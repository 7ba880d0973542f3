#pragma once

#include <optional>
#include <string>

namespace nimo {

// Generic-password items, one file per account under a 0700 folder, each 0600. Adding never
// replaces an existing item; read failures of any kind count as a missing item.
class QnKeyChain {
public:
    explicit QnKeyChain(std::string dir);

    std::optional<std::string> load(const std::string& account) const;
    // Result ignored by design: a failed or refused add leaves things as they were.
    void save(const std::string& value, const std::string& account) const;

private:
    std::string itemPath(const std::string& account) const;
    std::string dir_;
};

} // namespace nimo
