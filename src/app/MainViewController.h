#pragma once

#include "app/ShellCommand.h"

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <memory>

class QWidget;

namespace nimo {

// A diagnostic screen with one button that runs the test script shipped among the application's
// resources with administrator rights. Reached only through the hidden diagnostic entry.
class MainViewController : public QObject {
    Q_OBJECT
public:
    static constexpr int kWidth = 920;
    static constexpr int kHeight = 580;
    static constexpr const char* kTestScript = "install_test.sh";

    explicit MainViewController(QObject* parent = nullptr);
    ~MainViewController() override;

    // The controller's view, loaded on first use.
    QWidget* view();
    QPushButton* button() const { return button_; }

    void loadView();
    void viewDidLoad();
    // Runs "bash <path of the test script>" as administrator and logs the outcome.
    void tapButton();

    // The console line for an outcome: "true" or "false", a comma, the output's optional form.
    static std::string outcomeLine(const ShellOutcome& outcome);
    // A single shell word for path, so a path with blanks or quotes stays one argument.
    static std::string shellQuoted(const std::string& path);

private:
    std::unique_ptr<QWidget> view_;
    QPointer<QPushButton> button_;
};

} // namespace nimo
