#pragma once

#include <QObject>
#include <functional>

class QAbstractButton;
class QWidget;

namespace nimo {

class AccountSession;
class ImageButton;
class ImageView;

// The main screen's title strip: logo, close, minimise and customer-chat buttons, the account
// badge with its traffic and days left, and the sign-in button with its swinging hint. It shows the
// account session as it is now; its buttons go to the main screen's dispatch.
class TitleStrip : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kTipsAnimationKey = "tips.roate";
    using TapHandler = std::function<void(QAbstractButton* button)>;

    TitleStrip(QWidget* root, const AccountSession& account, TapHandler tap);

    void build(int width, int height);
    // Signed in: name, days left, traffic; signed out: the sign-in button and its hint.
    void refresh();

    ImageView* ttbarAccoutback();
    ImageButton* ttbarAccoutButton();
    ImageButton* ttbarMergeButton();
    ImageButton* ttbarExpireButton();
    ImageButton* ttbarLoginButton();
    ImageButton* ttbarTips();

private:
    ImageButton* titleButton(const char* image, const char* objectName, const char* name, int tag);

    QWidget* root_;
    const AccountSession& account_;
    TapHandler tap_;
    ImageView* ttbarAccoutback_ = nullptr;
    ImageButton* ttbarAccoutButton_ = nullptr;
    ImageButton* ttbarMergeButton_ = nullptr;
    ImageButton* ttbarExpireButton_ = nullptr;
    ImageButton* ttbarLoginButton_ = nullptr;
    ImageButton* ttbarTips_ = nullptr;
};

} // namespace nimo
