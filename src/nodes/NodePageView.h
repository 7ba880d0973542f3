#pragma once

#include "widgets/UxPageView.h"

#include <QPointer>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nimo {

struct AppContext;
class ImageRadioButton;
class NMApi;

// The route page: the automatic route and the grid of nodes, locked outside the subscription.
class NodePageView : public UxPageView {
    Q_OBJECT
public:
    // (node name, message): told when the user picks a node; the message is always present.
    using NodeStateChange = std::function<void(const std::optional<std::string>& name,
                                               const std::optional<std::string>& message)>;

    static constexpr int kColumns = 5;
    static constexpr int kRows = 8;
    static constexpr int kItemCount = kColumns * kRows;
    static constexpr int kAutoRouteTag = 10;
    static constexpr int kFirstNodeTag = 100;

    explicit NodePageView(const AppContext& context, QWidget* parent = nullptr);

    NodeStateChange nodeStateChangeBlock;
    // The subscribed names of the build, which the grid locks against.
    const std::vector<std::string>& myNodes() const { return myNodes_; }
    // The grid items in index order (0 to 39).
    const std::vector<ImageRadioButton*>& myNodeItmes() const { return myNodeItmes_; }
    ImageRadioButton* autoRouteBtn() const { return autoRouteBtn_; }
    ImageRadioButton* lastSelectedItem() const;

    // Builds the page from the caches, then fetches the catalogue and refreshes.
    void buildPage() override;
    // Re-applies names, flags, visibility and locks to the existing items; both lists are needed
    // for the grid, the automatic item follows the selection in any case.
    void reloadNodeItems(const std::optional<std::vector<std::string>>& catalogue,
                         const std::optional<std::vector<std::string>>& subscription);
    void onTapButtonWithSender(QObject* sender);
    // The title, the selection and the locks as the settings hold them now: follows every change
    // of the account and its node lists, and every selection.
    void refresh();

private:
    void showTitle(const std::string& selection);
    void buildGrid(const std::vector<std::string>& catalogue, const std::string& selection, int itemWidth,
                   int contentHeight);
    // The lock state of one item against a subscription list, as build and refresh share it.
    void applyLock(ImageRadioButton* item, const std::vector<std::string>& subscribed,
                   const std::string& selection);
    void fetchCatalogue();
    void onNodeTapped(ImageRadioButton* item, bool locked);
    void onAutoRouteTapped();
    void report(const std::optional<std::string>& name, const std::string& message);
    void logNotShown(size_t count);

    const AppContext& context_;
    std::vector<std::string> myNodes_;
    std::vector<ImageRadioButton*> myNodeItmes_;
    ImageRadioButton* autoRouteBtn_ = nullptr;
    QPointer<ImageRadioButton> lastSelectedItem_;
    QWidget* content_ = nullptr;
    NMApi* api_ = nullptr;
};

} // namespace nimo
