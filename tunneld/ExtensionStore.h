#pragma once

#include "platform/JsonFileStore.h"
#include "tunnel/TunnelTypes.h"

#include <optional>
#include <string>
#include <variant>

namespace nimo::tunneld {

// What a provider package says about itself (Contents/Info.json).
struct PackageInfo {
    std::string identifier;
    std::string shortVersion;
    std::string executable; // file name under Contents/bin
};

// Installed provider extensions: a private copy of each package in the state directory, and the
// identifiers the user has approved.
class ExtensionStore {
public:
    explicit ExtensionStore(std::string stateDir);

    // Reads and checks a package folder: its Info.json, identifier and executable.
    static std::variant<PackageInfo, TunnelError> readPackage(const std::string& packagePath);

    std::optional<PackageInfo> installed(const std::string& identifier) const;
    std::string installedExecutable(const std::string& identifier) const; // empty when not installed
    // Replaces any installed copy with the package, atomically for readers of the installed path.
    std::optional<TunnelError> install(const std::string& packagePath, const PackageInfo& info);

    bool isApproved(const std::string& identifier) const;
    bool approve(const std::string& identifier);

private:
    std::string installedPath(const std::string& identifier) const;

    std::string dir_;
    platform::JsonFileStore approvals_;
};

} // namespace nimo::tunneld
