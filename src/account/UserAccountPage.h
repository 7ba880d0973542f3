#pragma once

#include "widgets/UxPageView.h"

namespace nimo {

struct AppContext;

// The account page: membership, expiry, traffic, renewal and links, the two switches, sign-out.
class UserAccountPage : public UxPageView {
    Q_OBJECT
public:
    explicit UserAccountPage(const AppContext& context, QWidget* parent = nullptr);

    void buildPage() override;
    // Re-reads the settings store and updates what the page shows.
    void refresh();

private:
    const AppContext& context_;
};

} // namespace nimo
