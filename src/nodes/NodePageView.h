#pragma once

#include "widgets/UxPageView.h"

#include <functional>
#include <optional>
#include <string>

namespace nimo {

struct AppContext;

// The route page: the automatic route and the grid of nodes, locked outside the subscription.
class NodePageView : public UxPageView {
    Q_OBJECT
public:
    // (node name, message): told when the user picks a node; the message is always present.
    using NodeStateChange = std::function<void(const std::optional<std::string>& name,
                                               const std::optional<std::string>& message)>;

    explicit NodePageView(const AppContext& context, QWidget* parent = nullptr);

    NodeStateChange nodeStateChangeBlock;

    void buildPage() override;

private:
    const AppContext& context_;
};

} // namespace nimo
