#pragma once

#include <QString>

namespace nimo {

// What a page or dialog asks of the main screen that hosts it. The main screen implements it; the
// pages live below the application shell and cannot name it.
class PageHost {
public:
    virtual ~PageHost() = default;
    virtual void showToast(const QString& text) = 0;
    virtual void refreshTitleStrip(bool stopTunnel) = 0;
};

} // namespace nimo
