#pragma once

#include "widgets/UxPageView.h"

#include <QPointer>
#include <cstdint>
#include <optional>
#include <string>

class QAbstractButton;
class QCheckBox;
class QLabel;

namespace nimo {

struct AppContext;
class CanTapImageView;
class TitleButton;

// The account page: membership, expiry, traffic, renewal and links, the two switches, sign-out.
// Everything it shows comes from the settings store; refresh() re-reads it.
class UserAccountPage : public UxPageView {
    Q_OBJECT
public:
    // Tags of the controls; every one sends onTapButton.
    enum Tag {
        kAutoLoginTag = 5002,
        kRenewTag = 6000,
        kSaveSettingsTag = 6001,
        kSignOutTag = 6002,
        kQuestionsLinkTag = 6003,
        kAboutLinkTag = 6004,
        kWebsiteLinkTag = 6005,
        kKillSwitchTag = 6006,
    };

    explicit UserAccountPage(const AppContext& context, QWidget* parent = nullptr);

    void buildPage() override;
    // Re-reads the settings store and updates what the page shows.
    void refresh();

    // The page's fields, each made on first use.
    CanTapImageView* superUserHeader();
    QLabel* accountLabel();
    QLabel* userLabel();
    TitleButton* exprietimeBtn();
    QLabel* expiretimeLabel();
    TitleButton* mergeBtn();
    QCheckBox* autolaunchButton();
    QCheckBox* autologinButton();
    // Global mode's kill switch, kept in the shared container for the provider (on when absent).
    QCheckBox* killSwitchButton();

    // The control carrying tag once the page is built, or null.
    QAbstractButton* buttonWithTag(int tag) const;

    // The single action of the page's controls, dispatched on the sender's "tag".
    void onTapButton(QObject* sender);

    // The purchase page: with a token, "<base>/webpay/#/?token=<token>&time=<ms>", else
    // "<base>/webpay/#/". The token is percent-encoded, so any stored text gives a valid URL.
    static std::string renewURL(const std::string& paymentBase, const std::optional<std::string>& token,
                                std::int64_t nowMs);

private:
    QAbstractButton* addTagged(QAbstractButton* button, int tag);
    void showSignedOutTexts();
    void signOut();

    const AppContext& context_;
    QPointer<CanTapImageView> superUserHeader_;
    QPointer<QLabel> accountLabel_;
    QPointer<QLabel> userLabel_;
    QPointer<TitleButton> exprietimeBtn_;
    QPointer<QLabel> expiretimeLabel_;
    QPointer<TitleButton> mergeBtn_;
    QPointer<QCheckBox> autolaunchButton_;
    QPointer<QCheckBox> autologinButton_;
    QPointer<QCheckBox> killSwitchButton_;
};

} // namespace nimo
