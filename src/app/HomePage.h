#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <string>

class QAbstractButton;
class QRadioButton;
class QWidget;

namespace nimo {

class ConnectButton;
class ImageButton;
class VPNTunnelManager;

// The home page: the start button and the tunnel display in its place, the chosen node, the two
// running-mode radio buttons and the tab bar. Its buttons go to the main screen's dispatch.
class HomePage : public QObject {
    Q_OBJECT
public:
    using TapHandler = std::function<void(QAbstractButton* button)>;

    HomePage(QWidget* root, VPNTunnelManager& tunnel, TapHandler tap);

    // Lays the page out over the root, with the stored node and running mode.
    void build(int width, int height, const std::optional<std::string>& node, const std::string& mode);
    // The node line: the name, or the automatic route's title.
    void showNode(const std::optional<std::string>& name);
    void showMode(const std::string& mode);

    QWidget* mainWorkView();
    ImageButton* nodeRemarkLabel();
    ImageButton* startProxyButton();
    ConnectButton* connectButton();
    // Tags 1002 (rule) and 1003 (global).
    QRadioButton* modeButton(int tag) const;

private:
    ImageButton* makeTabButton(const char* title, const char* image, int tag, QWidget* parent);

    QWidget* root_;
    VPNTunnelManager& tunnel_;
    TapHandler tap_;
    QWidget* mainWorkView_ = nullptr;
    ImageButton* nodeRemarkLabel_ = nullptr;
    ImageButton* startProxyButton_ = nullptr;
    ConnectButton* connectButton_ = nullptr;
};

// What the home page shows of the tunnel: the start face, or the busy face with the connect
// button's state, derived from the statuses as they arrive (lastVpnStatus is the last one applied).
class ConnectionPresenter {
public:
    explicit ConnectionPresenter(HomePage& page) : page_(page) {}

    void showStartFace();
    void showBusyFace(int state);
    // The face a status report leads to, after the one before it.
    void applyVpnStatus(int status);
    // After a start road ended: the face of the tunnel as it is now.
    void showStatusNow(int status);
    bool startFaceShown() const;

    int lastVpnStatus = 0;

private:
    HomePage& page_;
};

} // namespace nimo
