#pragma once

#include "widgets/ImageButton.h"

#include <QLabel>
#include <QWidget>
#include <functional>

namespace nimo {

class VPNTunnelManager;

// The home page's tunnel display after a connect press: a spinning ring around a centre image, a
// title and a subtitle. Hides itself when the tunnel is idle (the host shows its start button then);
// a tap while connecting or connected stops the tunnel.
class ConnectButton : public QWidget {
    Q_OBJECT
public:
    // Connect state codes the host passes in; anything else acts as idle.
    enum State {
        Idle = 0,          // hidden
        Connecting = 1,    // texts only
        Connected = 2,     // slow ring, stop image, ring tappable
        Disconnecting = 3, // fast ring
        Loading = 9,       // fast ring: subscription check and activation under way
    };
    static constexpr const char* kConnectedKey = "start.conntected";
    static constexpr const char* kConnectingKey = "start.conntecting";
    static constexpr double kConnectedPeriod = 3.6;
    static constexpr double kConnectingPeriod = 0.75;

    ConnectButton(VPNTunnelManager& tunnel, QWidget* parent = nullptr);

    void setupViews();
    void changeConnectState(int state);

    // The four subviews, made on first use.
    ImageButton* startButton();
    ImageButton* earthImge();
    QLabel* titleLabel();
    QLabel* subLabel();

    void onTapButtonWithSender(ImageButton* sender);

private:
    void spin(const char* key, double period);

    VPNTunnelManager& tunnel_;
    ImageButton* startButton_ = nullptr;
    ImageButton* earthImge_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    QLabel* subLabel_ = nullptr;
};

} // namespace nimo
