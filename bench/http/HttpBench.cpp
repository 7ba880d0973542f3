// 1000 sequential GETs of a 300-byte JSON envelope on loopback: the layer (request -> parsed JSON
// delivered on the main loop) against raw libcurl on one reused easy handle (perform + parse),
// interleaved in one run so both see the same machine load. Usage: http_bench [count]
#include "http/SessionManager.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <curl/curl.h>
#include <httplib.h>
#include <mutex>
#include <numeric>
#include <thread>

using namespace nimo::http;
using Clock = std::chrono::steady_clock;

namespace {
std::string envelope() {
    nlohmann::json j = {{"ret", 1},
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

size_t collect(char* p, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(p, size * n);
    return size * n;
}

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
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
    const std::string body = envelope();

    httplib::Server server;
    server.Get("/user", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/json");
    });
    server.set_tcp_nodelay(true);             // no Nagle stall between head and body
    server.set_keep_alive_max_count(1000000); // one connection for the whole run, for both clients
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/user";

    auto configuration = SessionConfiguration::defaultConfiguration();
    configuration.httpAdditionalHeaders = SessionManager::defaultHTTPHeaders();
    SessionManager session(configuration);

    CURL* easy = curl_easy_init();
    std::string rawBody;
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : configuration.httpAdditionalHeaders)
        if (name != "Accept-Encoding")
            headers = curl_slist_append(headers, (name + ": " + value).c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "gzip;q=1.0, compress;q=0.5");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &rawBody);

    QObject owner;
    auto layerOnce = [&] {
        QEventLoop loop;
        bool ok = false;
        session.request(url).responseJSON(&owner, [&](const DataResponse<nlohmann::json>& r) {
            ok = r.result.isSuccess() && (*r.result.value())["ret"] == 1;
            loop.quit();
        });
        loop.exec();
        return ok;
    };
    // The same through the worker, without the hop to the main loop (to see what that hop costs).
    auto inlineOnce = [&] {
        std::mutex m;
        std::condition_variable cv;
        bool done = false, ok = false;
        session.request(url).responseJSON(CompletionQueue(), [&](const DataResponse<nlohmann::json>& r) {
            std::lock_guard lock(m);
            ok = r.result.isSuccess();
            done = true;
            cv.notify_one();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
        return ok;
    };
    auto rawOnce = [&] {
        rawBody.clear();
        if (curl_easy_perform(easy) != CURLE_OK)
            return false;
        auto j = nlohmann::json::parse(rawBody, nullptr, false);
        return !j.is_discarded() && j["ret"] == 1;
    };
    auto timed = [](auto& fn, std::vector<double>& into) {
        const auto t0 = Clock::now();
        const bool ok = fn();
        into.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        return ok;
    };

    for (int i = 0; i < 50; ++i) // warm both connections up
        layerOnce(), rawOnce();
    std::vector<double> layer, raw, inl;
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (i % 2 == 0)
            failures += !timed(layerOnce, layer) + !timed(rawOnce, raw);
        else
            failures += !timed(rawOnce, raw) + !timed(layerOnce, layer);
        failures += !timed(inlineOnce, inl);
    }
    const Stats l = stats(layer), r = stats(raw);
    std::printf("requests: %d each, interleaved, failures: %d\n", count, failures);
    std::printf("raw libcurl (reused easy handle + parse): median %.1f us, mean %.1f us, p95 %.1f us\n",
                r.median, r.mean, r.p95);
    std::printf("layer (request -> JSON on main loop):     median %.1f us, mean %.1f us, p95 %.1f us\n",
                l.median, l.mean, l.p95);
    const Stats w = stats(inl);
    std::printf("layer, completion inline on the worker:   median %.1f us, mean %.1f us, p95 %.1f us\n",
                w.median, w.mean, w.p95);
    std::printf("ratio layer/raw: median %.2fx, mean %.2fx\n", l.median / r.median, l.mean / r.mean);

    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    server.stop();
    serverThread.join();
    return failures == 0 ? 0 : 1;
}
