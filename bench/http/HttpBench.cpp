// A 300-byte JSON envelope fetched over loopback keep-alive, request -> parsed JSON on the main loop,
// three ways interleaved in one run so all see the same machine load:
//   floor:   raw libcurl on one reused easy handle on a worker thread, nlohmann parse there, the
//            value handed to the main loop through a queued call (the work every real call pays);
//   layer:   SessionManager::request(url).responseJSON(owner, ...);
//   service: NetWorkTool::sendRequest (envelope check and the logged description included).
// The server runs in a child process (exec'd, so callgrind counts only the clients).
// Usage: http_bench [count] [all|floor|layer|service]
//   all (default): wall times, interleaved; one side only: that side's requests, for instruction
//   counts (run twice with different counts and take the difference per request).
#include "http/SessionManager.h"
#include "service/NetWorkTool.h"
#include "service/SettingsStore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <deque>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <numeric>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace nimo::http;
using Clock = std::chrono::steady_clock;

namespace {
std::string envelope() {
    nlohmann::json j = {{"code", 0},
                        {"msg", "ok"},
                        {"data",
                         {{"email", "someone@example.com"},
                          {"expired_at", 1767225600},
                          {"transfer_enable", 107374182400},
                          {"u", 1234567},
                          {"d", 7654321},
                          {"plan", "standard"},
                          {"uuid", "3f2b6c1e-8d4a-4f7b-9c2e-1a5d6e7f8091"},
                          {"nodes", {"hk-1", "jp-2", "sg-3", "us-4"}}}}};
    std::string s = j.dump();
    s.resize(300, ' '); // pad to the envelope size (trailing spaces are valid JSON)
    return s;
}

// Child: serve until stdin closes; the port goes to stdout.
int serve() {
    const std::string body = envelope();
    httplib::Server server;
    server.Get("/user", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/json");
    });
    server.set_tcp_nodelay(true);             // no Nagle stall between head and body
    server.set_keep_alive_max_count(1000000); // one connection for the whole run, per client
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread t([&] { server.listen_after_bind(); });
    std::printf("%d\n", port);
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    server.stop();
    t.join();
    return 0;
}

struct Server {
    pid_t pid = -1;
    int toChild = -1;
    int port = 0;
    explicit Server(const char* self) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            execl(self, self, "--serve", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toChild = in[1];
        char buf[16] = {};
        if (read(out[0], buf, sizeof buf - 1) > 0)
            port = std::atoi(buf);
        close(out[0]);
    }
    ~Server() {
        if (toChild >= 0)
            close(toChild);
        if (pid > 0)
            waitpid(pid, nullptr, 0);
    }
};

size_t collect(char* p, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(p, size * n);
    return size * n;
}

// The floor's worker: one thread, one reused easy handle, woken per request like the layer's.
class RawWorker {
public:
    RawWorker(const std::string& url, const HTTPHeaders& extra) {
        easy_ = curl_easy_init();
        for (const auto& [name, value] : extra)
            if (name != "Accept-Encoding")
                headers_ = curl_slist_append(headers_, (name + ": " + value).c_str());
        curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, "gzip;q=1.0, compress;q=0.5");
        curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(easy_, CURLOPT_WRITEDATA, &body_);
        thread_ = std::thread([this] { run(); });
    }
    ~RawWorker() {
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
        curl_slist_free_all(headers_);
        curl_easy_cleanup(easy_);
    }
    // done runs on the worker with the parsed value (discarded on failure).
    void fetch(std::function<void(nlohmann::json)> done) {
        {
            std::lock_guard lock(m_);
            jobs_.push_back(std::move(done));
        }
        cv_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void(nlohmann::json)> job;
            {
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
                if (stop_)
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            body_.clear();
            if (curl_easy_perform(easy_) != CURLE_OK)
                job(nlohmann::json::value_t::discarded);
            else
                job(nlohmann::json::parse(body_, nullptr, false));
        }
    }
    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string body_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void(nlohmann::json)>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

struct Stats {
    double median, mean, p95;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size()),
            v[v.size() * 95 / 100]};
}
} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0)
        return serve();
    // argv[0], not /proc/self/exe: under valgrind that names the tool, not this program.
    Server server(std::strchr(argv[0], '/') ? argv[0] : "/proc/self/exe");
    if (server.port <= 0) {
        std::fprintf(stderr, "http_bench: the server did not start\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
    const std::string mode = argc > 2 ? argv[2] : "all";
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port);
    const std::string url = base + "/user";

    QTemporaryDir home;
    nimo::SettingsStore store(home.filePath("settings.json").toStdString(),
                              home.filePath("keys").toStdString());
    auto configuration = SessionConfiguration::defaultConfiguration();
    configuration.httpAdditionalHeaders = SessionManager::defaultHTTPHeaders();
    SessionManager session(configuration);
    nimo::NetWorkTool tool(store, session);
    RawWorker raw(url, configuration.httpAdditionalHeaders);

    QObject owner;
    auto floorOnce = [&] {
        QEventLoop loop;
        bool ok = false;
        raw.fetch([&](nlohmann::json j) {
            QMetaObject::invokeMethod(
                &owner,
                [&, j = std::move(j)] {
                    ok = !j.is_discarded() && j.is_object() && j["code"] == 0;
                    loop.quit();
                },
                Qt::QueuedConnection);
        });
        loop.exec();
        return ok;
    };
    auto layerOnce = [&] {
        QEventLoop loop;
        bool ok = false;
        session.request(url).responseJSON(&owner, [&](const DataResponse<nlohmann::json>& r) {
            ok = r.result.isSuccess() && (*r.result.value())["code"] == 0;
            loop.quit();
        });
        loop.exec();
        return ok;
    };
    auto serviceOnce = [&] {
        QEventLoop loop;
        bool ok = false;
        tool.sendRequest(
            base, "/user", HTTPMethod::get, nullptr,
            [&](const nlohmann::json& data) {
                ok = data.is_object();
                loop.quit();
            },
            [&](const nimo::NMNetWorkError&) { loop.quit(); });
        loop.exec();
        return ok;
    };
    auto timed = [](auto& fn, std::vector<double>& into) {
        const auto t0 = Clock::now();
        const bool ok = fn();
        into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        return ok;
    };

    int failures = 0;
    if (mode != "all") {
        std::function<bool()> one = mode == "floor"   ? std::function<bool()>(floorOnce)
                                    : mode == "layer" ? std::function<bool()>(layerOnce)
                                                      : std::function<bool()>(serviceOnce);
        for (int i = 0; i < count; ++i)
            failures += !one();
        std::printf("%s: %d requests, failures: %d\n", mode.c_str(), count, failures);
        return failures == 0 ? 0 : 1;
    }

    for (int i = 0; i < 50; ++i) // warm the connections up
        floorOnce(), layerOnce(), serviceOnce();
    std::vector<double> floor, layer, service;
    for (int i = 0; i < count; ++i) {
        switch (i % 3) { // rotate which goes first
        case 0:
            failures += !timed(floorOnce, floor) + !timed(layerOnce, layer) + !timed(serviceOnce, service);
            break;
        case 1:
            failures += !timed(layerOnce, layer) + !timed(serviceOnce, service) + !timed(floorOnce, floor);
            break;
        default:
            failures += !timed(serviceOnce, service) + !timed(floorOnce, floor) + !timed(layerOnce, layer);
        }
    }
    const Stats f = stats(floor), l = stats(layer), s = stats(service);
    std::printf("requests: %d each, interleaved, failures: %d\n", count, failures);
    std::printf(
        "floor (raw libcurl worker + parse + queued hand-off): median %.1f us, mean %.1f us, p95 %.1f us\n",
        f.median, f.mean, f.p95);
    std::printf(
        "layer (request -> JSON on main loop):              median %.1f us, mean %.1f us, p95 %.1f us\n",
        l.median, l.mean, l.p95);
    std::printf(
        "service client (sendRequest):                      median %.1f us, mean %.1f us, p95 %.1f us\n",
        s.median, s.mean, s.p95);
    std::printf("ratio layer/floor: median %.2fx\n", l.median / f.median);
    std::printf("ratio service/floor: median %.2fx\n", s.median / f.median);
    return failures == 0 ? 0 : 1;
}
