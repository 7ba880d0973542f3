#pragma once

#include <QByteArray>
#include <QObject>
#include <cstddef>
#include <cstdint>
#include <string>

class QSocketNotifier;

namespace nimo::platform {

// A local stream connection (AF_UNIX) driven by the event loop: what the client's own sockets need
// without a network module. Nothing blocks: bytes the peer cannot take yet wait here and go out as it
// drains. Signals come from the event loop, never from inside connectTo or write, so a handler may
// replace or delete the socket (deleteLater) and a caller's loop over writes is never re-entered.
class UnixSocket : public QObject {
    Q_OBJECT
public:
    explicit UnixSocket(QObject* parent = nullptr);
    ~UnixSocket() override; // closes without a signal

    // Starts a connection to path; connected() or connectFailed(errno) follows.
    void connectTo(const std::string& path);
    bool isConnected() const { return state_ == State::Connected; }
    // The descriptor of the connection, -1 when there is none.
    int descriptor() const { return fd_; }

    // Queues bytes for the peer; false (nothing queued) without a connection.
    bool write(const char* data, std::size_t size);
    bool write(const QByteArray& bytes) {
        return write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    std::size_t bytesToWrite() const { return out_.size() - outSent_; }
    // What has arrived since the last call.
    QByteArray readAll();
    // Whether a whole line has arrived; readLine takes the first one, newline included.
    bool canReadLine() const { return in_.contains('\n'); }
    QByteArray readLine();
    std::size_t bytesAvailable() const { return static_cast<std::size_t>(in_.size()); }

    // Closes at once, without a signal; queued bytes are dropped.
    void abort();
    // Closes once the queued bytes are out (or the peer is gone); disconnected() follows.
    void closeWhenWritten();

Q_SIGNALS:
    void connected();
    void connectFailed(int error);
    void readyRead();
    // The connection ended: the peer closed or reset it, a write failed, or closeWhenWritten is done.
    void disconnected();

private:
    friend class UnixServer;
    enum class State {
        Unconnected, // no descriptor
        Connecting,  // connect() answered; connected() not yet sent
        Connected,   // reading and writing
    };
    void adopt(int fd); // an accepted connection
    void startNotifiers();
    void onReadable();
    void onWritable();
    // Sends what is queued; false when the connection failed.
    bool flushOut();
    // Ends the connection from the event loop and says so, unless something closed it first.
    void endLater();
    void end();
    void closeDescriptor();

    int fd_ = -1;
    State state_ = State::Unconnected;
    std::uint64_t generation_ = 0; // a queued signal for an earlier connection is dropped
    QSocketNotifier* readNotifier_ = nullptr;
    QSocketNotifier* writeNotifier_ = nullptr;
    QByteArray in_;
    std::string out_;
    std::size_t outSent_ = 0;
    bool closeWhenWritten_ = false;
    bool ending_ = false;
};

// A listening local socket open to its owner only; accepted connections arrive as newConnection.
class UnixServer : public QObject {
    Q_OBJECT
public:
    explicit UnixServer(QObject* parent = nullptr);
    ~UnixServer() override; // stops listening and removes the socket file

    // Listens at path with the file mode given (never wider through the umask); false with the
    // reason in *why (a file already there is left alone: EADDRINUSE).
    bool listen(const std::string& path, unsigned mode, std::string* why);
    // Takes a socket that already listens (handed over by the service manager); it is not unlinked.
    void listenOn(int fd);
    // Whether the file at the path is still the socket listen made (not removed or replaced).
    bool ownsFile() const;

Q_SIGNALS:
    // socket is connected and a child of the server until the receiver takes it.
    void newConnection(UnixSocket* socket);

private:
    void onAcceptable();

    int fd_ = -1;
    std::string path_;
    std::uint64_t fileDevice_ = 0, fileInode_ = 0; // of the socket file made by listen
    QSocketNotifier* notifier_ = nullptr;
};

// For a process with no running loop (a second launch asking the first): connects to path, sends
// request and reads the answer up to its first newline, maxReply bytes or the peer's close, all
// within timeoutMs. connected is false when no connection could be made (nobody listens yet).
struct UnixExchange {
    bool connected = false;
    QByteArray reply;
};
UnixExchange unixExchange(const std::string& path, const QByteArray& request, std::size_t maxReply,
                          int timeoutMs);

} // namespace nimo::platform
