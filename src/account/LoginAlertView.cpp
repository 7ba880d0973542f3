#include "account/LoginAlertView.h"

#include "NimoBuildConfig.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "service/NMApi.h"
#include "service/SettingsStore.h"
#include "service/UserDefaultsCacheKeys.h"
#include "tunnel/AppContext.h"
#include "widgets/ColorHex.h"
#include "widgets/Fonts.h"
#include "widgets/Frames.h"
#include "widgets/ImageButton.h"
#include "widgets/KeyboardFocus.h"
#include "widgets/PageHost.h"
#include "widgets/SmallWidgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>
#include <numbers>

namespace nimo {

namespace keys = UserDefaultsCacheKeys;
using Position = ImageButton::ImagePosition;

namespace {

constexpr int kSubmitDelayMs = 500;
constexpr const char* kUnreachable = "服务无法连接，请稍候重试...";
constexpr const char* kParseFailed = "数据解析失败";
constexpr const char* kSendCode = "获取验证码";
const QRectF kSubmitFrame(107, 104, 156, 44);

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

std::string trimmed(const QLineEdit* field) {
    return field->text().trimmed().toStdString();
}

QLineEdit* makeField(const QString& placeholder, QWidget* parent) {
    auto* field = new UxTextField(parent);
    field->setFrame(false);
    field->setFont(systemFont(14));
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(placeholder);
    field->setStyleSheet(QStringLiteral("QLineEdit { border: none; background: #E8E8E8; color: #3F3934; }"));
    QPalette palette = field->palette();
    palette.setColor(QPalette::PlaceholderText, colorFromHex("#666666", 0.75));
    field->setPalette(palette);
    return field;
}

QWidget* makeRow(QWidget* parent) {
    return new ColorView(colorFromHex("#E8E8E8"), parent);
}

ImageButton* makeLink(const QString& title, int tag, const char* color, bool underlined, QWidget* parent) {
    auto* link = new ImageButton(QString(), Position::TitleOnly, parent);
    link->setText(title);
    link->setTag(tag);
    QFont font = systemFont(11);
    font.setUnderline(underlined);
    link->setFont(font);
    link->setTitleColor(colorFromHex(color));
    return link;
}

QCheckBox* makeCheck(const QString& title, QWidget* parent) {
    auto* check = new QCheckBox(title, parent);
    check->setFont(systemFont(12));
    // Return belongs to the dialog's confirm button; Space ticks the box.
    makeKeyboardControl(check, false);
    check->setStyleSheet(QStringLiteral("QCheckBox { color: #666666; }"));
    return check;
}

// The whole text is one e-mail address.
bool isEmailAccount(const QString& account) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,}")));
    return pattern.match(account).hasMatch();
}

} // namespace

LoginAlertView::LoginAlertView(const AppContext& context, QWidget* parent)
    : QWidget(parent), context_(context) {
    setObjectName(QStringLiteral("LoginAlertView"));
    markFocusScope(this);
    api_ = context_.makeApi(HostList::builtIn, this);
}

LoginAlertView::~LoginAlertView() = default;

int LoginAlertView::iRetry() const {
    return api_->retryIndex();
}

bool LoginAlertView::isCountingDown() const {
    return countdown_ && countdown_->isActive();
}

void LoginAlertView::connectTap(QAbstractButton* button) {
    connect(button, &QAbstractButton::clicked, this, [this, button] { onTapButton(button); });
}

QLineEdit* LoginAlertView::accountField() {
    if (!accountField_) {
        accountField_ = makeField(QStringLiteral("请输入NIMO账号"), this);
        accountField_->setObjectName(QStringLiteral("accountField"));
    }
    return accountField_;
}

QLineEdit* LoginAlertView::passwordField() {
    if (!passwordField_) {
        passwordField_ = makeField(QStringLiteral("请输入密码"), this);
        passwordField_->setObjectName(QStringLiteral("passwordField"));
        passwordField_->setEchoMode(QLineEdit::Password);
        // A small bullet: the CJK face draws the default one at nearly full height.
        passwordField_->setStyleSheet(passwordField_->styleSheet() +
                                      QStringLiteral(" QLineEdit { lineedit-password-character: 8226; }"));
    }
    return passwordField_;
}

QLineEdit* LoginAlertView::yzmField() {
    if (!yzmField_) {
        yzmField_ = makeField(QStringLiteral("请输入验证码"), this);
        yzmField_->setObjectName(QStringLiteral("yzmField"));
    }
    return yzmField_;
}

QCheckBox* LoginAlertView::recordCheckButton() {
    if (!recordCheckButton_) {
        recordCheckButton_ = makeCheck(QStringLiteral("记住密码"), this);
        recordCheckButton_->setObjectName(QStringLiteral("recordCheckButton"));
    }
    return recordCheckButton_;
}

QCheckBox* LoginAlertView::loginCheckButton() {
    if (!loginCheckButton_) {
        loginCheckButton_ = makeCheck(QStringLiteral("自动登录"), this);
        loginCheckButton_->setObjectName(QStringLiteral("loginCheckButton"));
        loginCheckButton_->setProperty("tag", 20);
        connectTap(loginCheckButton_);
    }
    return loginCheckButton_;
}

ImageButton* LoginAlertView::startLoginButton() {
    if (!startLoginButton_) {
        startLoginButton_ = new ImageButton(QStringLiteral("buttonBgImg"), Position::ImageBehind, this);
        startLoginButton_->setObjectName(QStringLiteral("startLoginButton"));
        startLoginButton_->setTag(10);
        startLoginButton_->setFont(systemFont(16));
        startLoginButton_->setTitleColor(Qt::white);
        startLoginButton_->setText(QStringLiteral("登 录"));
        connectTap(startLoginButton_);
    }
    return startLoginButton_;
}

void LoginAlertView::buildDialog() {
    if (built_)
        return;
    built_ = true;
    auto* background = new ImageView(QStringLiteral("LoginAlert_bg@2x.png"), this);
    background->setGeometry(rect());
    panel_ = new ColorView(Qt::white, this);
    panel_->setObjectName(QStringLiteral("loginPanel"));
    setFrame(panel_, 10, 10, width() - 20, height() - 16);
    QWidget* p = panel_;

    auto* accent = new ColorView(colorFromHex("#558EE8"), p);
    setFrame(accent, 17, 361, 2, 15);
    titleField_ = new QLabel(QStringLiteral("账号登录"), p);
    titleField_->setObjectName(QStringLiteral("titleField"));
    titleField_->setFont(systemFont(14));
    titleField_->setStyleSheet(QStringLiteral("color: #3F3934;"));
    setFrame(titleField_, 33, 362, 100, 16);
    auto* separator = new ColorView(colorFromHex("#E8E8E8"), p);
    setFrame(separator, 15, 348, 339, 1);

    QWidget* accountRow = makeRow(p);
    setFrame(accountRow, 17, 285, 336, 39);
    accountField()->setParent(accountRow);
    setTextFieldFrame(accountField(), 10, 12, 316, 16);

    passwordView_ = makeRow(p);
    passwordView_->setObjectName(QStringLiteral("passwordView"));
    setFrame(passwordView_, 17, 229, 336, 39);
    passwordField()->setParent(passwordView_);
    setTextFieldFrame(passwordField(), 10, 12, 316, 16);

    yzmView_ = makeRow(p);
    yzmView_->setObjectName(QStringLiteral("yzmView"));
    setFrame(yzmView_, 17, 229, 336, 39);
    yzmField()->setParent(yzmView_);
    setTextFieldFrame(yzmField(), 10, 12, 180, 16);
    yzmButton_ = new ImageButton(QStringLiteral("page_4_btn_border@2x.png"), Position::ImageBehind, yzmView_);
    yzmButton_->setObjectName(QStringLiteral("yzmButton"));
    yzmButton_->setTag(17);
    yzmButton_->setText(QString::fromUtf8(kSendCode));
    yzmButton_->setFont(systemFont(13));
    yzmButton_->setTitleColor(colorFromHex("#666666"));
    setFrame(yzmButton_, 206, 3, 120, 33);
    connectTap(yzmButton_);
    yzmView_->hide();
    QWidget::setTabOrder(accountField(), passwordField());

    recordCheckButton()->setParent(p);
    setFrame(recordCheckButton(), 16, 188, 80, 18);
    loginCheckButton()->setParent(p);
    setFrame(loginCheckButton(), 284, 188, 80, 18);

    startLoginButton()->setParent(p);
    setFrame(startLoginButton(), kSubmitFrame);

    registerBtn_ = makeLink(QStringLiteral("免费注册>"), 13, "#3B79E0", true, p);
    registerBtn_->setObjectName(QStringLiteral("registerBtn"));
    setFrame(registerBtn_, 18, 72, 60, 15);
    forgetPwBtn_ = makeLink(QStringLiteral("忘记密码？"), 14, "#3B79E0", true, p);
    forgetPwBtn_->setObjectName(QStringLiteral("forgetPwBtn"));
    setFrame(forgetPwBtn_, 284, 72, 60, 15);
    auto* agreement = makeLink(QStringLiteral("服务协议"), 15, "#A3B2BA", false, p);
    agreement->setObjectName(QStringLiteral("agreementLink"));
    setFrame(agreement, 17, 10, 60, 15);
    auto* privacy = makeLink(QStringLiteral("隐私协议"), 16, "#A3B2BA", false, p);
    privacy->setObjectName(QStringLiteral("privacyLink"));
    setFrame(privacy, 95, 10, 60, 15);
    auto* close = new ImageButton(QStringLiteral("titlebar_close"), Position::ImageOnly, p);
    close->setObjectName(QStringLiteral("closeButton"));
    close->setAccessibleName(QStringLiteral("关闭"));
    closeBtn_ = close;
    setFrame(close, p->width() - 28, p->height() - 28, 13, 13);
    for (QAbstractButton* button :
         {static_cast<QAbstractButton*>(registerBtn_), static_cast<QAbstractButton*>(forgetPwBtn_),
          static_cast<QAbstractButton*>(agreement), static_cast<QAbstractButton*>(privacy),
          static_cast<QAbstractButton*>(close)})
        connectTap(button);

    // Remembered values: any stored entry ticks the box; only a dictionary fills the fields.
    const SettingsStore& settings = context_.settings;
    if (auto remembered = settings.value(keys::lastAccountIdPw)) {
        if (remembered->is_object()) {
            auto id = remembered->find(keys::accountIdField);
            if (id != remembered->end() && id->is_string())
                accountField()->setText(qs(id->get<std::string>()));
            auto pw = remembered->find(keys::accountPwField);
            if (pw != remembered->end() && pw->is_string())
                passwordField()->setText(qs(pw->get<std::string>()));
        }
        recordCheckButton()->setChecked(true);
    } else {
        recordCheckButton()->setChecked(false);
    }
    loginCheckButton()->setChecked(settings.contains(keys::lastAutoLogin));
    switchMode(Login);
}

void LoginAlertView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    accountField()->setFocus(Qt::OtherFocusReason);
}

void LoginAlertView::keyPressEvent(QKeyEvent* event) {
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if ((!isReturn && event->key() != Qt::Key_Escape) || event->isAutoRepeat()) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    // Return in a field leaves the caret where the user typed.
    QPointer<QWidget> focus = QApplication::focusWidget();
    QPointer<LoginAlertView> self(this);
    if (!isReturn)
        onTapButton(closeBtn_);
    else if (startLoginButton()->isEnabled())
        onTapButton(startLoginButton());
    if (self && focus && focus->isVisible() && !QApplication::focusWidget())
        focus->setFocus(Qt::OtherFocusReason);
}

bool LoginAlertView::focusNextPrevChild(bool next) {
    return focusNextInReadingOrder(this, next);
}

void LoginAlertView::toast(const QString& text) {
    if (superVC)
        superVC->showToast(text);
}

// ---- actions

void LoginAlertView::onTapButton(QObject* sender) {
    // A tap ends editing; a control pressed from the keyboard keeps the focus.
    if (QWidget* focus = QApplication::focusWidget(); focus && !showsFocusRing(focus))
        focus->clearFocus();
    const int tag = sender ? sender->property("tag").toInt() : 0;
    switch (tag) {
    case 10:
        submit();
        break;
    case 13:
        // The register link opens register mode from login mode; from the other modes it goes back.
        switchMode(iUIType_ == Login ? Register : Login);
        break;
    case 14:
        switchMode(iUIType_ == Login ? Reset : Login);
        break;
    case 15:
        (void)openInBrowser(std::string(build::kWebsiteUrl) +
                                "/license/%E7%94%A8%E6%88%B7%E5%8D%8F%E8%AE%AE.txt",
                            context_.opener);
        break;
    case 16:
        (void)openInBrowser(std::string(build::kWebsiteUrl) +
                                "/license/%E9%9A%90%E7%A7%81%E5%8D%8F%E8%AE%AE.txt",
                            context_.opener);
        break;
    case 17:
        sendCode();
        break;
    case 20:
        if (loginCheckButton()->isChecked())
            (void)context_.settings.set(keys::lastAutoLogin, "true");
        else
            (void)context_.settings.remove(keys::lastAutoLogin);
        break;
    default:
        applyLoading(false);
        stopCountdown();
        done(QStringLiteral("Cancel"));
        break;
    }
}

std::optional<QString> LoginAlertView::checkedAccount() {
    const QString account = accountField()->text().trimmed();
    if (account.isEmpty()) {
        toast(QStringLiteral("请输入邮箱账号"));
        return std::nullopt;
    }
    if (!isEmailAccount(account)) {
        toast(QStringLiteral("请输入有效邮箱账号"));
        return std::nullopt;
    }
    return account;
}

void LoginAlertView::submit() {
    const auto checked = checkedAccount();
    if (!checked)
        return;
    const std::string account = checked->toStdString();
    const QString password = passwordField()->text().trimmed();
    if (password.isEmpty() || password.size() < 6) {
        toast(QStringLiteral("请输入有效的密码"));
        return;
    }
    QPointer<LoginAlertView> weak(this);
    auto signedIn = [weak](const char* result) {
        return [weak, result](bool stored) {
            platform::postToMain(weak, [weak, result, stored] {
                if (!weak)
                    return;
                weak->applyLoading(false);
                if (!stored) {
                    weak->toast(QStringLiteral("加载用户信息失败，请稍候重试"));
                    return;
                }
                weak->stopCountdown();
                weak->done(QString::fromLatin1(result));
            });
        };
    };
    auto parseFailed = [weak] {
        weak->toast(QString::fromUtf8(kParseFailed));
        weak->applyLoading(false);
    };
    auto unreachable = [weak] {
        platform::postToMain(weak, [weak] {
            if (weak)
                weak->servicesUnreachable(false);
        });
    };

    if (iUIType_ == Login) {
        ServiceHandlers<bool> handlers;
        handlers.success = signedIn("Account");
        handlers.failure = [weak, parseFailed](const NMNetWorkError& error) {
            platform::postToMain(weak, [weak, parseFailed, error] {
                if (!weak)
                    return;
                if (error.is(NMNetWorkError::Kind::dataAnalysis))
                    return parseFailed();
                weak->applyLoading(false);
                weak->toast(QStringLiteral("登录失败:") + qs(error.message()));
            });
        };
        handlers.exhausted = unreachable;
        platform::postToMainAfter(this, kSubmitDelayMs,
                                  [this, account, password = password.toStdString(), handlers] {
                                      api_->setRetryIndex(0);
                                      api_->login(account, password, handlers);
                                  });
        if (recordCheckButton()->isChecked())
            (void)context_.settings.set(
                keys::lastAccountIdPw,
                {{keys::accountIdField, account}, {keys::accountPwField, password.toStdString()}});
        else
            (void)context_.settings.remove(keys::lastAccountIdPw);
        setLoading(true);
        return;
    }

    const std::string code = trimmed(yzmField());
    if (code.empty() || QString::fromStdString(code).size() < 4) {
        toast(QStringLiteral("请输入有效的验证码"));
        return;
    }
    const std::string deviceId = context_.settings.deviceId();
    auto refused = [weak, parseFailed](const char* label) {
        return [weak, parseFailed, label](const NMNetWorkError& error) {
            platform::postToMain(weak, [weak, parseFailed, label, error] {
                if (!weak)
                    return;
                if (error.is(NMNetWorkError::Kind::dataAnalysis))
                    return parseFailed();
                platform::consoleLog(label + error.message());
                weak->toast(qs(error.message()));
                weak->applyLoading(false);
            });
        };
    };
    if (iUIType_ == Register) {
        ServiceHandlers<bool> handlers;
        handlers.success = signedIn("Register");
        handlers.failure = refused("register.err:");
        handlers.exhausted = unreachable;
        const auto parameters = NMApi::registerParameters(account, code, password.toStdString(), deviceId);
        platform::postToMainAfter(this, kSubmitDelayMs, [this, parameters, handlers] {
            api_->setRetryIndex(0);
            api_->registerAccount(parameters, handlers);
        });
    } else {
        ServiceHandlers<> handlers;
        handlers.success = [weak] {
            platform::postToMain(weak, [weak] {
                if (!weak)
                    return;
                weak->applyLoading(false);
                weak->toast(QStringLiteral("重置成功，请重新登录！"));
                weak->switchMode(Login);
            });
        };
        handlers.failure = refused("resetPW.err:");
        handlers.exhausted = unreachable;
        const auto parameters =
            NMApi::resetPasswordParameters(account, code, password.toStdString(), deviceId);
        platform::postToMainAfter(this, kSubmitDelayMs, [this, parameters, handlers] {
            api_->setRetryIndex(0);
            api_->resetPassword(parameters, handlers);
        });
    }
    setLoading(true);
}

void LoginAlertView::sendCode() {
    const auto checked = checkedAccount();
    if (!checked)
        return;
    startCountdown();
    QPointer<LoginAlertView> weak(this);
    ServiceHandlers<> handlers;
    handlers.success = [weak] {
        platform::postToMain(weak, [weak] { weak->toast(QStringLiteral("已发送，请注意查收")); });
    };
    handlers.failure = [weak](const NMNetWorkError& error) {
        platform::postToMain(weak, [weak, error] {
            weak->stopCountdown();
            if (error.is(NMNetWorkError::Kind::dataAnalysis))
                weak->toast(QString::fromUtf8(kParseFailed));
            else
                weak->toast(QStringLiteral("发送验证码失败:") + qs(error.message()));
        });
    };
    handlers.exhausted = [weak] { platform::postToMain(weak, [weak] { weak->servicesUnreachable(true); }); };
    api_->setRetryIndex(0);
    api_->sendEmailCode(NMApi::emailCodeParameters(checked->toStdString(), iUIType_ == Register), handlers);
}

void LoginAlertView::servicesUnreachable(bool stopCodeCountdown) {
    // The request road has already forgotten the remembered host and reset the retry index.
    toast(QString::fromUtf8(kUnreachable));
    applyLoading(false);
    if (stopCodeCountdown)
        stopCountdown();
}

void LoginAlertView::done(const QString& result) {
    if (valuebackBlock)
        valuebackBlock(result);
}

// ---- modes and states

QString LoginAlertView::submitCaption() const {
    switch (iUIType_) {
    case Register:
        return QStringLiteral("注 册");
    case Reset:
        return QStringLiteral("确 定");
    default:
        return QStringLiteral("登 录");
    }
}

void LoginAlertView::switchMode(int type) {
    iUIType_ = type == Register || type == Reset ? type : Login;
    const bool login = iUIType_ == Login;
    titleField_->setText(login                  ? QStringLiteral("账号登录")
                         : iUIType_ == Register ? QStringLiteral("注册账号")
                                                : QStringLiteral("重置密码"));
    startLoginButton()->setText(submitCaption());
    yzmView_->setVisible(!login);
    setFrame(passwordView_, 17, login ? 229 : 173, 336, 39);
    recordCheckButton()->setVisible(login);
    loginCheckButton()->setVisible(login);
    registerBtn_->setText(login ? QStringLiteral("免费注册>") : QStringLiteral("<返回登录"));
    forgetPwBtn_->setVisible(login);
    if (!login) {
        // A new password is typed anew: a remembered one left here would be sent as the new one.
        passwordField()->clear();
        QWidget::setTabOrder(accountField(), yzmField());
    }
}

void LoginAlertView::setLoading(bool on) {
    QPointer<LoginAlertView> weak(this);
    platform::postToMain(this, [weak, on] {
        if (weak)
            weak->applyLoading(on);
    });
}

void LoginAlertView::applyLoading(bool on) {
    ImageButton* button = startLoginButton();
    button->removeAllAnimations();
    button->setRotation(0);
    if (on) {
        button->setEnabled(false);
        button->setImageName(QStringLiteral("mainwork_startingback@2x.png"));
        button->setImagePosition(Position::ImageOnly);
        setFrame(button, 163, 126, 44, 44);
        button->setCornerRadius(22);
        button->setBorder(0.5, colorFromHex("#8cd0ff"));
        button->setAnchorPoint(QPointF(0.5, 0.5));
        button->addAnimation(QString::fromLatin1(kLoadingAnimationKey),
                             {0, -2 * std::numbers::pi, 1.25, false});
        return;
    }
    button->setText(submitCaption());
    button->setCornerRadius(0);
    button->setBorder(0, Qt::transparent);
    button->setImageName(QStringLiteral("buttonBgImg"));
    button->setImagePosition(Position::ImageBehind);
    button->setTitleColor(Qt::white);
    setFrame(button, kSubmitFrame);
    button->setEnabled(true);
}

void LoginAlertView::startCountdown() {
    stopCountdown();
    yzmButton_->setEnabled(false);
    remaining_ = kCountdownSeconds;
    auto* timer = new QTimer(yzmButton_);
    countdown_ = timer;
    auto fire = [this, timer] {
        if (countdown_ != timer)
            return;
        --remaining_;
        yzmButton_->setText(remaining_ < 1 ? QString::fromUtf8(kSendCode)
                                           : QString::number(remaining_) + QStringLiteral("秒后重发"));
        if (remaining_ <= 0) {
            yzmButton_->setEnabled(true);
            timer->stop();
            timer->deleteLater();
            countdown_ = nullptr;
        }
    };
    connect(timer, &QTimer::timeout, this, fire);
    timer->start(countdownIntervalMs);
    fire(); // the first step at once: "59秒后重发"
}

void LoginAlertView::stopCountdown() {
    if (countdown_) {
        countdown_->stop();
        countdown_->deleteLater();
        countdown_ = nullptr;
    }
    if (yzmButton_) {
        yzmButton_->setEnabled(true);
        yzmButton_->setText(QString::fromUtf8(kSendCode));
    }
}

} // namespace nimo
