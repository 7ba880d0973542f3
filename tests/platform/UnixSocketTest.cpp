#include "platform/UnixSocket.h"

#include "support/TestSupport.h"

#include <QTemporaryDir>
#include <cerrno>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using namespace nimo::platform;
using nimo::test::waitUntil;

namespace {

// The far end, on plain blocking calls: a listener at path and the one connection it accepted.
struct RawPeer {
    explicit RawPeer(const std::string& path) {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listener, 4), 0);
    }
    ~RawPeer() {
        closeConnection();
        ::close(listener);
    }
    void accept() { fd = ::accept(listener, nullptr, nullptr); }
    void closeConnection() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    std::string readExactly(std::size_t size) {
        std::string out(size, '\0');
        for (std::size_t got = 0; got < size;) {
            const ssize_t n = ::read(fd, out.data() + got, size - got);
            if (n <= 0)
                return out.substr(0, got);
            got += static_cast<std::size_t>(n);
        }
        return out;
    }
    int listener = -1;
    int fd = -1;
};

// What the socket under test said, in order.
struct Heard {
    explicit Heard(UnixSocket& socket) {
        QObject::connect(&socket, &UnixSocket::connected, [this] { events += "connected "; });
        QObject::connect(&socket, &UnixSocket::connectFailed, [this](int e) {
            events += "failed ";
            error = e;
        });
        QObject::connect(&socket, &UnixSocket::readyRead, [this, &socket] {
            events += "read ";
            received += socket.readAll().toStdString();
        });
        QObject::connect(&socket, &UnixSocket::disconnected, [this] { events += "disconnected "; });
    }
    std::string events;
    std::string received;
    int error = 0;
};

} // namespace

// Every way a connection can go, each from a fresh socket against a peer on plain calls.
TEST(UnixSocket, ConnectionEdgeCases) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("s").toStdString();
    const std::string big(4 << 20, 'x'); // far more than a socket buffer holds: partial writes, EAGAIN
    struct Row {
        const char* name;
        std::string connectTo;
        std::function<void(UnixSocket&, RawPeer&)> act; // after the connection was accepted
        std::string events;                             // what the socket says, in order
        std::string received;
        int error = 0;
    };
    const Row rows[] = {
        {"nothing at the path", path + "-none", {}, "failed ", "", ENOENT},
        {"a path too long for a socket", std::string(200, 'p'), {}, "failed ", "", ENAMETOOLONG},
        {"4 MiB go out whole and in order as the peer drains them", path,
         [&](UnixSocket& s, RawPeer& peer) {
             ASSERT_TRUE(s.write(big.data(), big.size()));
             EXPECT_GT(s.bytesToWrite(), 0u) << "the kernel took it all at once: no partial write tested";
             auto got = std::async(std::launch::async, [&] { return peer.readExactly(big.size()); });
             ASSERT_TRUE(waitUntil(
                 [&] { return got.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
             EXPECT_TRUE(got.get() == big);
             EXPECT_EQ(s.bytesToWrite(), 0u);
         },
         "connected ", ""},
        {"the peer's last bytes arrive before its close", path,
         [](UnixSocket&, RawPeer& peer) {
             ASSERT_EQ(::write(peer.fd, "last\n", 5), 5);
             peer.closeConnection();
         },
         "connected read disconnected ", "last\n"},
        {"a peer that resets (closes with our bytes unread)", path,
         [](UnixSocket& s, RawPeer& peer) {
             ASSERT_TRUE(s.write(QByteArray("unread")));
             ASSERT_TRUE(waitUntil([&] { return s.bytesToWrite() == 0; }));
             peer.closeConnection();
         },
         "connected disconnected ", ""},
        {"writing to a peer gone: no SIGPIPE, one disconnected", path,
         [](UnixSocket& s, RawPeer& peer) {
             peer.closeConnection();
             s.write(QByteArray(1 << 20, 'y')); // before the loop saw the end: the send fails
             s.write(QByteArray("more"));
         },
         "connected disconnected ", ""},
        {"closeWhenWritten sends what is queued first", path,
         [](UnixSocket& s, RawPeer& peer) {
             ASSERT_TRUE(s.write(QByteArray("ok\n")));
             s.closeWhenWritten();
             EXPECT_FALSE(s.write(QByteArray("late")));
             EXPECT_EQ(peer.readExactly(3), "ok\n");
         },
         "connected disconnected ", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        RawPeer peer(path);
        UnixSocket socket;
        Heard heard(socket);
        socket.connectTo(row.connectTo);
        EXPECT_EQ(heard.events, "") << "a signal from inside connectTo";
        ASSERT_TRUE(waitUntil([&] { return !heard.events.empty(); }));
        if (row.act) {
            ASSERT_TRUE(socket.isConnected());
            peer.accept();
            row.act(socket, peer);
            waitUntil([&] { return heard.events == row.events; }, std::chrono::seconds(2));
        }
        waitUntil([] { return false; }, std::chrono::milliseconds(30)); // nothing more follows
        EXPECT_EQ(heard.events, row.events);
        EXPECT_EQ(heard.received, row.received);
        EXPECT_EQ(heard.error, row.error);
        ::unlink(path.c_str());
    }
}

// The listening side and the blocking exchange a second launch uses.
TEST(UnixSocket, ServerIsPrivateAndAnswersABlockingExchange) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("server").toStdString();
    EXPECT_FALSE(unixExchange(path, "show\n", 64, 200).connected);
    {
        const mode_t old = ::umask(0);
        UnixServer server;
        std::string why;
        ASSERT_TRUE(server.listen(path, 0600, &why)) << why;
        ::umask(old);
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        UnixServer second;
        EXPECT_FALSE(second.listen(path, 0600, &why));

        QObject::connect(&server, &UnixServer::newConnection, [](UnixSocket* s) {
            QObject::connect(s, &UnixSocket::readyRead, [s] {
                if (s->canReadLine() && s->readLine() == "show\n") {
                    s->write(QByteArray("ok\nextra"));
                    s->closeWhenWritten();
                }
            });
        });
        auto answer = std::async(std::launch::async, [&] { return unixExchange(path, "show\n", 64, 3000); });
        ASSERT_TRUE(
            waitUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        const UnixExchange got = answer.get();
        EXPECT_TRUE(got.connected);
        EXPECT_EQ(got.reply, "ok");
    }
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlived its server";
}
