#pragma once

#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace nimo::test {

// Points the XDG variables at a fresh temporary folder for the life of the object and restores the
// previous values afterwards.
class TempXdg {
public:
    TempXdg();
    ~TempXdg();
    TempXdg(const TempXdg&) = delete;
    TempXdg& operator=(const TempXdg&) = delete;

    std::string root() const;
    std::string path(const std::string& relative) const;

private:
    QTemporaryDir dir_;
    std::map<std::string, std::optional<std::string>> saved_;
};

// Processes events until pred() holds or the deadline passes; returns pred()'s last value.
bool waitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(5));

// Folder of the project's executables (helpers such as store_writer, nimo-tunneld).
std::string binDir();

} // namespace nimo::test
