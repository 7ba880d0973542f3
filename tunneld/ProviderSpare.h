#pragma once

#include "ProviderSession.h"
#include "platform/Paths.h"

#include <QObject>
#include <optional>
#include <string>

namespace nimo::tunneld {

// One provider process launched ahead of the next start, so that a connect does not wait for a
// process to load its libraries. The service keeps it only while a client follows it and no tunnel
// runs; until its first line it does nothing but wait to read.
class ProviderSpare : public QObject {
    Q_OBJECT
public:
    explicit ProviderSpare(QObject* parent = nullptr);
    ~ProviderSpare() override;

    // Launches one for executable unless one is ready; a spare of another executable goes.
    void prepare(const std::string& executable);
    // The spare, when it was launched from the file now at executable and still runs.
    std::optional<LaunchedProvider> take(const std::string& executable);
    void drop();
    bool ready() const { return launched_.has_value(); }

private:
    std::optional<LaunchedProvider> launched_;
    std::string executable_;
    platform::paths::FileStamp file_; // what executable was when launched
};

} // namespace nimo::tunneld
