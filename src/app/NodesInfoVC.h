#pragma once

#include "app/ToastWindowController.h"
#include "widgets/PageHost.h"

#include <QPointer>
#include <QWidget>
#include <memory>

namespace nimo {

class MainWindowController;
struct AppContext;

// The main screen: the content of the main window. This is its first form, the shell's part: the
// plain 920 x 580 view, the title strip's window buttons, toasts, and the status and connect entry
// points the status menu calls.
class NodesInfoVC : public QWidget, public PageHost {
    Q_OBJECT
public:
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 580;

    explicit NodesInfoVC(const AppContext& context, QWidget* parent = nullptr);
    ~NodesInfoVC() override;

    QPointer<MainWindowController> windowController;
    int lastVpnStatus = 0;

    void applyVpnStatus(int status);
    void startConnect();

    void showToast(const QString& text) override;
    void refreshTitleStrip(bool stopTunnel) override;

    ToastWindowController* toastWC() const;

private:
    void onTapButton(QObject* sender);

    const AppContext& context_;
};

} // namespace nimo
