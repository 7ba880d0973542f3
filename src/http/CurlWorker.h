#pragma once

#include "http/CurlLibrary.h"
#include "http/DataRequest.h"
#include "http/SessionManager.h"

#include <array>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace nimo::http {

namespace detail {
// What a request sends besides its body: the session's headers with the request's own over them,
// as libcurl's list. Shared by the requests that send the same fields; freed with the last one.
struct HeaderLines {
    const CurlLibrary* curl = nullptr;
    curl_slist* list = nullptr;
    std::string acceptEncoding; // handed to libcurl so it also decodes what it announces
    bool credentials = false;   // a secret field (token, authorization) is among them
    HeaderLines() = default;
    HeaderLines(const HeaderLines&) = delete;
    HeaderLines& operator=(const HeaderLines&) = delete;
    ~HeaderLines() {
        if (list)
            curl->slistFreeAll(list);
    }
};

// A reusable easy handle and what its last request left set on it, so the next one changes only
// what differs (no reset, no re-applying the session's options).
struct EasyHandle {
    CURL* easy = nullptr;
    std::string acceptEncoding; // what CURLOPT_ACCEPT_ENCODING holds; empty: nothing announced
    bool plainGet = true;       // no method, body or progress option left from an earlier request
};

// One request's state. The built request and build error are fixed at creation; everything else
// is touched only on the worker thread.
struct RequestState {
    using Op = std::function<void(TaskOutcome&)>;

    std::optional<URLRequest> request;
    std::optional<Error> buildError;
    std::shared_ptr<CurlWorker> worker;

    bool started = false;
    bool finished = false;
    std::vector<Op> pending; // validations and handlers waiting for the task to end
    TaskOutcome outcome;

    // Transfer
    CURL* easy = nullptr;
    EasyHandle handle;                          // easy and its remembered options
    std::shared_ptr<const HeaderLines> headers; // what CURLOPT_HTTPHEADER points into
    std::string body;
    HTTPHeaders responseHeaders;
    std::size_t headerBytes = 0;
    std::size_t maxBody = 0;
    bool tooLarge = false;
    std::chrono::steady_clock::time_point lastActivity;
    std::chrono::milliseconds noData{0};
    double startTime = 0, firstByteTime = 0;
    curl_off_t lastUpload = 0;
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};
    // Credentials in the headers: a redirect may not take them to another host.
    std::string credentialOrigin; // scheme://host:port of the request; empty: no credentials
    int replyStatus = 0;          // of the reply whose headers are arriving
    std::string location;         // its Location header
    bool redirectRefused = false;
};
} // namespace detail

// The session's serial queue: one thread driving a libcurl multi handle. Tasks posted to it run
// in order; transfers progress between them. The thread starts with the first task and loads libcurl
// before it runs anything; without the library every request fails with an Unavailable error.
class CurlWorker {
public:
    explicit CurlWorker(SessionConfiguration configuration);
    ~CurlWorker();
    CurlWorker(const CurlWorker&) = delete;
    CurlWorker& operator=(const CurlWorker&) = delete;

    // Runs task on the worker thread; inline once the worker has stopped.
    void post(std::function<void()> task);
    // Ends the live transfers as cancelled (their handlers still run) and joins the thread.
    void shutdown();

    // Worker thread only.
    void start(const std::shared_ptr<detail::RequestState>& state);
    void cancel(const std::shared_ptr<detail::RequestState>& state);
    static void finish(detail::RequestState& state);

    std::size_t liveCount() const { return live_count_.load(); }
    const SessionConfiguration& configuration() const { return configuration_; }
    // Worker thread only: the loaded library (null when it could not be loaded).
    const CurlLibrary* library() const { return curl_; }

private:
    void run();
    void wake();
    void completeTransfer(CURL* easy, CURLcode code, bool deadline = false, bool cancelled = false);
    void checkDeadlines();
    long pollTimeoutMs();
    detail::EasyHandle takeHandle();

    SessionConfiguration configuration_;
    const CurlLibrary* curl_ = nullptr;
    std::string unavailable_; // why the library could not be loaded
    CURLM* multi_ = nullptr;
    int wakeFd_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::function<void()>> tasks_;
    std::vector<std::function<void()>> batch_; // worker thread: the tasks taken, kept for its capacity
    bool running_ = false;                     // the thread was started
    bool stopping_ = false;
    bool stopped_ = false;
    std::unordered_map<CURL*, std::shared_ptr<detail::RequestState>> live_;
    std::vector<detail::EasyHandle> idle_; // easy handles kept for reuse
    std::shared_ptr<const detail::HeaderLines> headerLinesFor(const HTTPHeaders& own);
    // The session's headers as sent when a request adds none, built once; and the list of the
    // last request that added some (a client sends the same few fields with every request).
    std::shared_ptr<const detail::HeaderLines> sessionLines_;
    HTTPHeaders lastOwn_;
    std::shared_ptr<const detail::HeaderLines> lastOwnLines_;
    std::atomic<std::size_t> live_count_{0};
};

} // namespace nimo::http
