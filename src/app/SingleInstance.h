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
// forward, and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kShowCommand = "show";

    // dir: the runtime directory (made 0700 when missing).
    explicit SingleInstance(QString dir, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the running instance and listens for later launches.
    bool becomePrimary();
    // From a later launch: asks the running instance to show its window; true once it answered.
    bool notifyPrimary(int timeoutMs = 3000);

    QString socketPath() const { return dir_ + QStringLiteral("/nimo.sock"); }
    QString lockPath() const { return dir_ + QStringLiteral("/nimo.lock"); }

Q_SIGNALS:
    // A later launch asked for the main window.
    void activationRequested();

private:
    void onNewConnection(platform::UnixSocket* socket);
    void onReadyRead(platform::UnixSocket* socket);

    QString dir_;
    QLockFile lock_;
    std::unique_ptr<platform::UnixServer> server_;
};

} // namespace nimo
