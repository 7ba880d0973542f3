#include "platform/UnixSocket.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace nimo::platform {

namespace {
constexpr std::size_t kReadChunk = 64 * 1024;
// One turn of the loop reads at most this much, so a peer that never stops sending cannot hold it.
constexpr std::size_t kReadPerTurn = 1024 * 1024;
// Sent bytes are dropped from the front of the queue once they are this many and half of it.
constexpr std::size_t kCompactFrom = 64 * 1024;
constexpr int kAcceptPauseMs = 100;

bool socketAddress(const std::string& path, sockaddr_un* addr) {
    if (path.empty() || path.size() >= sizeof addr->sun_path)
        return false;
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.data(), path.size());
    return true;
}

// A connected non-blocking descriptor, or -1 with errno set. EAGAIN means the listener's queue is
// full; the caller tries again later, as for a refusal.
int connectNonBlocking(const std::string& path) {
    sockaddr_un addr;
    if (!socketAddress(path, &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
            return fd;
        const int error = errno;
        ::close(fd);
        errno = error;
        // An interrupted connect may still complete on its own: start again on a fresh socket.
        if (error != EINTR)
            return -1;
    }
    return -1;
}

// The count sent (0 when the peer takes nothing now), or -1 with errno when the connection broke.
// MSG_NOSIGNAL: a peer gone mid-write is an error here, not a SIGPIPE for the process.
ssize_t sendSome(int fd, const char* data, std::size_t size) {
    while (true) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

std::string errorText(int error) {
    return std::error_code(error, std::generic_category()).message();
}
} // namespace

// ---- UnixSocket

UnixSocket::UnixSocket(QObject* parent) : QObject(parent) {}

UnixSocket::~UnixSocket() {
    closeDescriptor();
}

void UnixSocket::connectTo(const std::string& path) {
    abort();
    const int fd = connectNonBlocking(path);
    const int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        fd_ = fd;
        state_ = State::Connecting;
    }
    const std::uint64_t generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation, error] {
            if (generation != generation_)
                return;
            if (error != 0) {
                Q_EMIT connectFailed(error);
                return;
            }
            // Notifiers only now: nothing is read before the receiver heard of the connection.
            state_ = State::Connected;
            startNotifiers();
            QPointer<UnixSocket> self(this);
            Q_EMIT connected();
            if (self && generation == generation_ && (!flushOut() || (closeWhenWritten_ && out_.empty())))
                endLater();
        },
        Qt::QueuedConnection);
}

void UnixSocket::adopt(int fd) {
    abort();
    fd_ = fd;
    state_ = State::Connected;
    startNotifiers();
}

void UnixSocket::startNotifiers() {
    readNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &UnixSocket::onReadable);
    writeNotifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &UnixSocket::onWritable);
}

bool UnixSocket::write(const char* data, std::size_t size) {
    if (state_ == State::Unconnected || ending_ || closeWhenWritten_)
        return false;
    out_.append(data, size);
    if (state_ == State::Connected && !flushOut())
        endLater();
    return true;
}

bool UnixSocket::flushOut() {
    while (outSent_ < out_.size()) {
        const ssize_t n = sendSome(fd_, out_.data() + outSent_, out_.size() - outSent_);
        if (n < 0)
            return false;
        if (n == 0)
            break; // the peer's buffer is full: the write notifier says when it drained
        outSent_ += static_cast<std::size_t>(n);
    }
    if (outSent_ == out_.size()) {
        out_.clear();
        outSent_ = 0;
    } else if (outSent_ >= kCompactFrom && outSent_ * 2 >= out_.size()) {
        out_.erase(0, outSent_);
        outSent_ = 0;
    }
    if (writeNotifier_)
        writeNotifier_->setEnabled(!out_.empty());
    return true;
}

void UnixSocket::onWritable() {
    if (state_ != State::Connected)
        return;
    if (!flushOut() || (closeWhenWritten_ && out_.empty()))
        end();
}

void UnixSocket::onReadable() {
    if (state_ != State::Connected)
        return;
    std::size_t total = 0;
    bool closed = false;
    while (total < kReadPerTurn) {
        const auto old = in_.size();
        in_.resize(old + static_cast<qsizetype>(kReadChunk));
        const ssize_t n = ::read(fd_, in_.data() + old, kReadChunk);
        in_.resize(old + std::max<qsizetype>(n, 0));
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        closed = true; // end of file, or the peer reset the connection
        break;
    }
    if (total > 0) {
        QPointer<UnixSocket> self(this);
        const std::uint64_t generation = generation_;
        Q_EMIT readyRead();
        if (!self || generation != generation_)
            return;
    }
    if (closed)
        end();
}

QByteArray UnixSocket::readAll() {
    QByteArray bytes;
    bytes.swap(in_);
    return bytes;
}

QByteArray UnixSocket::readLine() {
    const qsizetype newline = in_.indexOf('\n');
    const qsizetype size = newline < 0 ? in_.size() : newline + 1;
    QByteArray line = in_.left(size);
    in_.remove(0, size);
    return line;
}

void UnixSocket::abort() {
    closeDescriptor();
    in_.clear();
}

void UnixSocket::closeWhenWritten() {
    if (state_ == State::Unconnected)
        return;
    closeWhenWritten_ = true;
    if (state_ == State::Connected && out_.empty())
        endLater();
}

void UnixSocket::endLater() {
    if (ending_)
        return;
    ending_ = true;
    const std::uint64_t generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == generation_)
                end();
        },
        Qt::QueuedConnection);
}

void UnixSocket::end() {
    if (state_ == State::Unconnected)
        return;
    closeDescriptor();
    Q_EMIT disconnected();
}

void UnixSocket::closeDescriptor() {
    // Disabled at once and deleted later: this may run inside the notifier's own signal.
    for (QSocketNotifier** notifier : {&readNotifier_, &writeNotifier_}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    state_ = State::Unconnected;
    ++generation_;
    out_.clear();
    outSent_ = 0;
    closeWhenWritten_ = false;
    ending_ = false;
}

// ---- UnixServer

UnixServer::UnixServer(QObject* parent) : QObject(parent) {}

UnixServer::~UnixServer() {
    if (fd_ < 0)
        return;
    delete notifier_;
    ::close(fd_);
    // The file goes only while it is still the one this server made.
    if (ownsFile())
        ::unlink(path_.c_str());
}

bool UnixServer::ownsFile() const {
    struct stat now {};
    return fd_ >= 0 && ::lstat(path_.c_str(), &now) == 0 && now.st_dev == fileDevice_ &&
           now.st_ino == fileInode_;
}

bool UnixServer::listen(const std::string& path, unsigned mode, std::string* why) {
    sockaddr_un addr;
    if (!socketAddress(path, &addr)) {
        *why = "socket path too long: " + path;
        return false;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = errorText(errno);
        return false;
    }
    // Linux gives the file the socket's own mode (less the umask): set before bind, so the socket
    // is never open to others, then exactly, whatever the umask took away.
    ::fchmod(fd, mode);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *why = errorText(errno);
        ::close(fd);
        return false;
    }
    struct stat file {};
    if (::chmod(path.c_str(), mode) != 0 || ::lstat(path.c_str(), &file) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        *why = errorText(errno);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    fileDevice_ = file.st_dev;
    fileInode_ = file.st_ino;
    fd_ = fd;
    path_ = path;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &UnixServer::onAcceptable);
    return true;
}

void UnixServer::listenOn(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    fd_ = fd;
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &UnixServer::onAcceptable);
}

void UnixServer::onAcceptable() {
    QPointer<UnixServer> self(this);
    while (self && fd_ >= 0) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            auto* socket = new UnixSocket(this);
            socket->adopt(fd);
            Q_EMIT newConnection(socket);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection waits in the queue; looking again at once would spin while none can be taken.
            notifier_->setEnabled(false);
            QTimer::singleShot(kAcceptPauseMs, this, [this] { notifier_->setEnabled(true); });
        }
        return; // EAGAIN: nothing more waiting
    }
}

// ---- blocking exchange

UnixExchange unixExchange(const std::string& path, const QByteArray& request, std::size_t maxReply,
                          int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    UnixExchange result;
    const int fd = connectNonBlocking(path);
    if (fd < 0)
        return result;
    result.connected = true;
    // True once fd is ready for events (or has an error the next call reports), false at the deadline.
    auto waitFor = [&](short events) {
        while (true) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, static_cast<int>(left));
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return false;
        }
    };
    bool ok = true;
    for (std::size_t sent = 0; ok && sent < static_cast<std::size_t>(request.size());) {
        const ssize_t n = sendSome(fd, request.constData() + sent, request.size() - sent);
        if (n > 0)
            sent += static_cast<std::size_t>(n);
        else
            ok = n == 0 && waitFor(POLLOUT);
    }
    while (ok && result.reply.size() < static_cast<qsizetype>(maxReply) && !result.reply.contains('\n')) {
        char buffer[256];
        const std::size_t room =
            std::min(sizeof buffer, maxReply - static_cast<std::size_t>(result.reply.size()));
        const ssize_t n = ::recv(fd, buffer, room, MSG_DONTWAIT);
        if (n > 0)
            result.reply.append(buffer, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLIN);
    }
    ::close(fd);
    if (const auto newline = result.reply.indexOf('\n'); newline >= 0)
        result.reply.truncate(newline);
    return result;
}

} // namespace nimo::platform
