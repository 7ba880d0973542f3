#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace nimo {

namespace platform {
class UnixServer;
class UnixSocket;
} // namespace platform

// One client per user: the first launch holds a lock file and listens on a local socket in the
// runtime directory; a later launch finds the lock taken, asks the running one to bring its window
// forward, handing on the activation token its launcher gave it (a compositor raises a window only
// with one), and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kShowCommand = "show";

    // dir: the runtime directory (made 0700 when missing).
    explicit SingleInstance(QString dir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the running instance and listens for later launches.
    bool becomePrimary();
    // From a later launch: asks the running instance to show its window, with token when there is
    // one; true once it answered.
    bool notifyPrimary(int timeoutMs = 3000, const QString& token = launchToken());

    // The activation token this process was launched with ($XDG_ACTIVATION_TOKEN, else
    // $DESKTOP_STARTUP_ID), or empty; one that could not be a token counts as none.
    static QString launchToken();
    // Whether text can be handed on as a token: short printable ASCII without spaces.
    static bool isToken(const QString& text);
    // Makes token the one the next activation of a window of ours presents to the compositor.
    static void adoptToken(const QString& token);

    QString socketPath() const { return dir_ + QStringLiteral("/nimo.sock"); }
    QString lockPath() const { return dir_ + QStringLiteral("/nimo.lock"); }

Q_SIGNALS:
    // A later launch asked for the main window, with its activation token (empty for none).
    void activationRequested(const QString& token);

private:
    void onNewConnection(platform::UnixSocket* socket);
    void onReadyRead(platform::UnixSocket* socket);

    QString dir_;
    QLockFile lock_;
    std::unique_ptr<platform::UnixServer> server_;
};

} // namespace nimo
