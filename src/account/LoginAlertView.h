#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QLineEdit;
class QTimer;

namespace nimo {

class ImageButton;
class NMApi;
class PageHost;
struct AppContext;

// The sign-in dialog: signs in, resets a forgotten password with an e-mail code, or registers a new
// account with one. Messages go through the presenting screen's toasts.
class LoginAlertView : public QWidget {
    Q_OBJECT
public:
    enum UIType {
        Login = 0,    // account and password, remember and auto-login switches
        Register = 1, // account, code, password: a new account, then signed in
        Reset = 2,    // account, code, new password
    };
    static constexpr const char* kLoadingAnimationKey = "logining.roate";
    static constexpr int kCountdownSeconds = 60;

    explicit LoginAlertView(const AppContext& context, QWidget* parent = nullptr);
    ~LoginAlertView() override;

    // Told "Account", "Register" or "Cancel" once the dialog is done.
    std::function<void(const QString&)> valuebackBlock;
    // The presenter; it owns the dialog. Without one, messages are dropped.
    PageHost* superVC = nullptr;
    // Milliseconds between countdown steps on the send-code button.
    int countdownIntervalMs = 1000;

    // Builds every control in login mode and restores the remembered values.
    void buildDialog();
    void onTapButton(QObject* sender);
    // Applied on the next turn of the main loop.
    void setLoading(bool on);

    int iUIType() const { return iUIType_; }
    int iRetry() const;
    bool isCountingDown() const;

    QLineEdit* accountField();
    QLineEdit* passwordField();
    QLineEdit* yzmField();
    QCheckBox* recordCheckButton();
    QCheckBox* loginCheckButton();
    ImageButton* startLoginButton();
    QLabel* titleField() const { return titleField_; }
    QWidget* passwordView() const { return passwordView_; }
    QWidget* yzmView() const { return yzmView_; }
    ImageButton* yzmButton() const { return yzmButton_; }
    ImageButton* registerBtn() const { return registerBtn_; }
    ImageButton* forgetPwBtn() const { return forgetPwBtn_; }
    QWidget* panel() const { return panel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    void toast(const QString& text);
    std::optional<QString> checkedAccount();
    void submit();
    void sendCode();
    void switchMode(int type);
    void applyLoading(bool on);
    void startCountdown();
    void stopCountdown();
    void servicesUnreachable(bool stopCodeCountdown);
    void done(const QString& result);
    QString submitCaption() const;
    void connectTap(QAbstractButton* button);

    const AppContext& context_;
    NMApi* api_ = nullptr;
    int iUIType_ = Login;
    bool built_ = false;

    QWidget* panel_ = nullptr;
    QLineEdit* accountField_ = nullptr;
    QLineEdit* passwordField_ = nullptr;
    QLineEdit* yzmField_ = nullptr;
    QCheckBox* recordCheckButton_ = nullptr;
    QCheckBox* loginCheckButton_ = nullptr;
    ImageButton* startLoginButton_ = nullptr;
    QLabel* titleField_ = nullptr;
    QWidget* passwordView_ = nullptr;
    QWidget* yzmView_ = nullptr;
    ImageButton* yzmButton_ = nullptr;
    ImageButton* registerBtn_ = nullptr;
    ImageButton* forgetPwBtn_ = nullptr;
    ImageButton* closeBtn_ = nullptr;
    QPointer<QTimer> countdown_;
    int remaining_ = 0;
};

} // namespace nimo
