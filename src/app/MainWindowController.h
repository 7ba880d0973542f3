#pragma once

#include "widgets/DraggableWindow.h"

#include <QString>
#include <memory>

namespace nimo {

class NodesInfoVC;
struct AppContext;

// The main window: frameless, 920 x 580, not resizable, no close, zoom or minimise buttons of its
// own (the main screen draws them), moved by dragging its background. Hosts the main screen.
class MainWindowController : public DraggableWindow {
    Q_OBJECT
public:
    static constexpr const char* kResourceName = "MainWindowController";

    explicit MainWindowController(const AppContext& context);
    ~MainWindowController() override;

    static std::unique_ptr<MainWindowController> makeMainWindowController(const QString& title,
                                                                          const AppContext& context);

    NodesInfoVC* mainVC() const { return mainVC_; }

    void center();
    void showWindow();

protected:
    void hideEvent(QHideEvent* event) override;

private:
    NodesInfoVC* mainVC_ = nullptr;
};

} // namespace nimo
