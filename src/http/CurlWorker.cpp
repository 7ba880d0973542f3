#include "http/CurlWorker.h"

#include "platform/Redact.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

namespace nimo::http {

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
constexpr std::size_t kIdleHandles = 8;
// Upload progress counts as activity only for bodies where sending can take a while.
constexpr std::size_t kTrackUploadFrom = 64 * 1024;

void touch(detail::RequestState& s) {
    s.lastActivity = Clock::now();
    if (s.firstByteTime == 0)
        s.firstByteTime = Timeline::now();
}

std::string_view trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t'))
        v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r' || v.back() == '\n'))
        v.remove_suffix(1);
    return v;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
}

// scheme://host:port of an absolute URL, or of relative resolved against base; empty when unusable.
std::string originOf(const std::string& base, const std::string& relative = {}) {
    CURLU* url = curl_url();
    std::string origin;
    if (curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        (relative.empty() || curl_url_set(url, CURLUPART_URL, relative.c_str(), 0) == CURLUE_OK)) {
        char *scheme = nullptr, *host = nullptr, *port = nullptr;
        if (curl_url_get(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            origin = std::string(scheme) + "://" + host + ":" + port;
            std::transform(origin.begin(), origin.end(), origin.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(url);
    return origin;
}

// At the end of a redirect's headers: may the transfer follow it with the request's credentials?
bool redirectAllowed(detail::RequestState& s) {
    if (s.credentialOrigin.empty() || s.replyStatus < 300 || s.replyStatus > 399 || s.location.empty())
        return true;
    char* effective = nullptr;
    curl_easy_getinfo(s.easy, CURLINFO_EFFECTIVE_URL, &effective);
    return originOf(effective ? effective : s.request->url, s.location) == s.credentialOrigin;
}

size_t onHeader(char* buffer, size_t size, size_t count, void* user) {
    auto& s = *static_cast<detail::RequestState*>(user);
    const size_t bytes = size * count;
    touch(s);
    s.headerBytes += bytes;
    if (s.headerBytes > kMaxHeaderBytes) {
        s.tooLarge = true;
        return 0;
    }
    std::string_view line(buffer, bytes);
    if (line.rfind("HTTP/", 0) == 0) {
        s.responseHeaders.clear(); // a new reply (redirect, 100 Continue)
        const auto space = line.find(' ');
        s.replyStatus = 0;
        if (space != std::string_view::npos) {
            const std::string_view code = line.substr(space + 1, 3);
            std::from_chars(code.data(), code.data() + code.size(), s.replyStatus);
        }
        s.location.clear();
        return bytes;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
        if (trim(line).empty() && !redirectAllowed(s)) {
            s.redirectRefused = true;
            return 0;
        }
        return bytes;
    }
    const std::string_view name = trim(line.substr(0, colon));
    const std::string_view value = trim(line.substr(colon + 1));
    if (sameName(name, "Location"))
        s.location = value;
    if (auto it = s.responseHeaders.lower_bound(name);
        it != s.responseHeaders.end() && !CaseInsensitiveLess{}(name, it->first)) {
        it->second += ", ";
        it->second += value;
    } else {
        s.responseHeaders.emplace_hint(it, name, value);
    }
    return bytes;
}

size_t onBody(char* buffer, size_t size, size_t count, void* user) {
    auto& s = *static_cast<detail::RequestState*>(user);
    const size_t bytes = size * count;
    touch(s);
    if (s.body.size() + bytes > s.maxBody) {
        s.tooLarge = true;
        return 0;
    }
    if (s.body.empty()) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(s.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
            s.body.reserve(std::min<std::size_t>(static_cast<std::size_t>(length), s.maxBody));
    }
    s.body.append(buffer, bytes);
    return bytes;
}

int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto& s = *static_cast<detail::RequestState*>(user);
    if (ulnow > s.lastUpload) {
        s.lastUpload = ulnow;
        s.lastActivity = Clock::now();
    }
    return 0;
}

TransportError transportError(CURLcode code, long osErrno, const char* message, bool tooLarge) {
    TransportError e;
    e.curlCode = static_cast<int>(code);
    e.detail = message && *message ? message : curl_easy_strerror(code);
    switch (code) {
    case CURLE_COULDNT_CONNECT:
        e.kind = (osErrno == EHOSTUNREACH || osErrno == ENETUNREACH) ? TransportErrorKind::NoRoute
                 : osErrno == ETIMEDOUT                              ? TransportErrorKind::TimedOut
                                                                     : TransportErrorKind::ConnectionRefused;
        break;
    case CURLE_OPERATION_TIMEDOUT:
        e.kind = TransportErrorKind::TimedOut;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        e.kind = TransportErrorKind::NameNotResolved;
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
        e.kind = TransportErrorKind::TLS;
        break;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        e.kind = TransportErrorKind::ConnectionLost;
        break;
    case CURLE_FILESIZE_EXCEEDED:
        e.kind = TransportErrorKind::ResponseTooLarge;
        break;
    case CURLE_WRITE_ERROR:
        e.kind = tooLarge ? TransportErrorKind::ResponseTooLarge : TransportErrorKind::Other;
        break;
    case CURLE_ABORTED_BY_CALLBACK:
        e.kind = TransportErrorKind::Cancelled;
        break;
    default:
        e.kind = TransportErrorKind::Other;
    }
    return e;
}

std::shared_ptr<const detail::HeaderLines> headerLines(const HTTPHeaders& session, const HTTPHeaders& own) {
    auto lines = std::make_shared<detail::HeaderLines>();
    detail::HeaderLines& out = *lines;
    std::string line;
    auto add = [&](const std::string& name, const std::string& value) {
        if (sameName(name, "Accept-Encoding")) {
            out.acceptEncoding = value;
            return;
        }
        out.credentials = out.credentials || platform::isSecretField(name);
        // Header injection guard: a value may not start a new line.
        if (name.find_first_of("\r\n:") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos)
            return;
        line.assign(name);
        line += value.empty() ? ";" : ": ";
        line += value;
        out.list = curl_slist_append(out.list, line.c_str());
    };
    // Both are sorted without case: one walk gives the merged fields in order, the request's value
    // winning under the session's spelling of a shared name.
    const CaseInsensitiveLess less;
    auto a = session.begin();
    auto b = own.begin();
    while (a != session.end() || b != own.end()) {
        if (b == own.end() || (a != session.end() && less(a->first, b->first))) {
            add(a->first, a->second);
            ++a;
        } else if (a != session.end() && !less(b->first, a->first)) {
            add(a->first, b->second);
            ++a;
            ++b;
        } else {
            add(b->first, b->second);
            ++b;
        }
    }
    out.list = curl_slist_append(out.list, "Expect:"); // no 100-continue round trip for larger bodies
    return lines;
}
} // namespace

CurlWorker::CurlWorker(SessionConfiguration configuration) : configuration_(std::move(configuration)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    sessionLines_ = headerLines(configuration_.httpAdditionalHeaders, {});
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
}

CurlWorker::~CurlWorker() {
    shutdown();
    for (auto& handle : idle_)
        curl_easy_cleanup(handle.easy);
    curl_multi_cleanup(multi_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void CurlWorker::wake() {
    // An eventfd costs less to signal than libcurl's own wakeup socket pair.
    if (wakeFd_ < 0) {
        curl_multi_wakeup(multi_);
        return;
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void CurlWorker::post(std::function<void()> task) {
    {
        std::unique_lock lock(mutex_);
        if (!stopped_) {
            // The worker takes the whole queue at once: only the first task of a batch wakes it.
            const bool wake = tasks_.empty();
            tasks_.push_back(std::move(task));
            lock.unlock();
            if (wake)
                this->wake();
            return;
        }
    }
    task();
}

void CurlWorker::shutdown() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
    }
    wake();
    if (thread_.joinable())
        thread_.join();
}

void CurlWorker::run() {
    while (true) {
        // Swapped with the queue and cleared after, so neither allocates once warm.
        std::vector<std::function<void()>>& batch = batch_;
        bool stop;
        {
            std::lock_guard lock(mutex_);
            batch.swap(tasks_);
            stop = stopping_;
        }
        for (auto& task : batch)
            task();
        batch.clear();
        if (stop)
            break;
        int running = 0;
        curl_multi_perform(multi_, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued))
            if (msg->msg == CURLMSG_DONE)
                completeTransfer(msg->easy_handle, msg->data.result);
        checkDeadlines();
        {
            std::lock_guard lock(mutex_);
            if (!tasks_.empty() || stopping_)
                continue;
        }
        curl_waitfd extra{wakeFd_, CURL_WAIT_POLLIN, 0};
        curl_multi_poll(multi_, wakeFd_ >= 0 ? &extra : nullptr, wakeFd_ >= 0 ? 1 : 0,
                        static_cast<int>(pollTimeoutMs()), nullptr);
        if (wakeFd_ >= 0 && (extra.revents & CURL_WAIT_POLLIN)) {
            std::uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
    }
    std::vector<CURL*> easies;
    for (auto& [easy, state] : live_)
        easies.push_back(easy);
    for (CURL* easy : easies)
        completeTransfer(easy, CURLE_ABORTED_BY_CALLBACK, false, true);
    std::vector<std::function<void()>> rest;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        rest.swap(tasks_);
    }
    for (auto& task : rest)
        task();
}

long CurlWorker::pollTimeoutMs() {
    long timeout = -1;
    curl_multi_timeout(multi_, &timeout);
    if (timeout < 0 && live_.empty())
        timeout = 60000; // idle: only a posted task wakes the worker
    else if (timeout < 0 || timeout > 1000)
        timeout = 1000;
    const auto now = Clock::now();
    for (const auto& [easy, s] : live_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(s->lastActivity + s->noData - now);
        timeout = std::min<long>(timeout, std::max<long>(0, left.count() + 1));
    }
    return timeout;
}

void CurlWorker::checkDeadlines() {
    const auto now = Clock::now();
    std::vector<CURL*> expired;
    for (const auto& [easy, s] : live_)
        if (now - s->lastActivity > s->noData)
            expired.push_back(easy);
    for (CURL* easy : expired)
        completeTransfer(easy, CURLE_OPERATION_TIMEDOUT, true);
}

void CurlWorker::start(const std::shared_ptr<detail::RequestState>& state) {
    auto& s = *state;
    s.started = true;
    s.startTime = Timeline::now();
    if (s.buildError || !s.request) {
        s.outcome.error = s.buildError;
        s.outcome.timeline = {s.startTime, s.startTime, s.startTime, 0};
        finish(s);
        return;
    }
    bool stopping;
    {
        std::lock_guard lock(mutex_);
        stopping = stopping_;
    }
    if (stopping) {
        s.outcome.request = &*s.request;
        s.outcome.error =
            TransportError{TransportErrorKind::Cancelled, CURLE_ABORTED_BY_CALLBACK, "session ended"};
        s.outcome.timeline = {s.startTime, s.startTime, s.startTime, 0};
        finish(s);
        return;
    }

    const URLRequest& r = *s.request;
    s.handle = takeHandle();
    detail::EasyHandle& handle = s.handle;
    CURL* easy = handle.easy;
    s.easy = easy;
    s.maxBody = configuration_.maximumResponseSize;
    s.noData = r.noDataTimeout.value_or(configuration_.noDataTimeout);
    s.lastActivity = Clock::now();

    s.headers = headerLinesFor(r.headers);
    const detail::HeaderLines& headers = *s.headers;
    s.credentialOrigin = headers.credentials ? originOf(r.url) : std::string();
    s.redirectRefused = false;

    curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeoutInterval.count()));
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(r.connectTimeout.value_or(configuration_.connectTimeout).count()));
    if (headers.acceptEncoding != handle.acceptEncoding) {
        handle.acceptEncoding = headers.acceptEncoding;
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING,
                         handle.acceptEncoding.empty() ? nullptr : handle.acceptEncoding.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &s);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, s.errorBuffer.data());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, &s);

    if (!handle.plainGet) {
        // Undo what an earlier request set: no body (POSTFIELDS itself would select POST, so it
        // goes first), no custom method, no progress calls, then GET.
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
        curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 1L);
        curl_easy_setopt(easy, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        handle.plainGet = true;
    }
    const std::string method = r.method();
    if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        handle.plainGet = false;
    } else if (r.httpBody) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.httpBody->size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.httpBody->data());
        if (method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (r.httpBody->size() >= kTrackUploadFrom) {
            curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &s);
            curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
        }
        handle.plainGet = false;
    } else if (method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
        handle.plainGet = false;
    } else if (method != "GET") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        handle.plainGet = false;
    }

    s.outcome.request = &*s.request;
    live_.emplace(easy, state);
    live_count_ = live_.size();
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK)
        completeTransfer(easy, CURLE_FAILED_INIT);
}

std::shared_ptr<const detail::HeaderLines> CurlWorker::headerLinesFor(const HTTPHeaders& own) {
    if (own.empty())
        return sessionLines_;
    if (!lastOwnLines_ || own != lastOwn_) {
        lastOwnLines_ = headerLines(configuration_.httpAdditionalHeaders, own);
        lastOwn_ = own;
    }
    return lastOwnLines_;
}

detail::EasyHandle CurlWorker::takeHandle() {
    if (!idle_.empty()) {
        detail::EasyHandle handle = std::move(idle_.back());
        idle_.pop_back();
        return handle;
    }
    // What every request of the session shares is set once per handle.
    detail::EasyHandle handle;
    CURL* easy = handle.easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, configuration_.maximumRedirects);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!configuration_.caBundlePath.empty())
        curl_easy_setopt(easy, CURLOPT_CAINFO, configuration_.caBundlePath.c_str());
    curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(configuration_.maximumResponseSize));
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    return handle;
}

void CurlWorker::cancel(const std::shared_ptr<detail::RequestState>& state) {
    if (state->finished || !state->easy)
        return;
    completeTransfer(state->easy, CURLE_ABORTED_BY_CALLBACK, false, true);
}

void CurlWorker::completeTransfer(CURL* easy, CURLcode code, bool deadline, bool cancelled) {
    auto it = live_.find(easy);
    if (it == live_.end())
        return;
    auto state = it->second;
    live_.erase(it);
    live_count_ = live_.size();
    auto& s = *state;

    long status = 0, osErrno = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    char* effective = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);

    if (status > 0) {
        HTTPURLResponse response;
        response.url = effective ? effective : s.request->url;
        response.statusCode = static_cast<int>(status);
        response.headers = std::move(s.responseHeaders);
        s.outcome.response = std::move(response);
    }
    if (code != CURLE_OK) {
        TransportError e = transportError(code, osErrno, s.errorBuffer.data(), s.tooLarge);
        if (s.redirectRefused) {
            e.kind = TransportErrorKind::Other;
            e.detail = "redirect to another host refused: the request carries credentials";
        } else if (deadline) {
            e.kind = TransportErrorKind::TimedOut;
            e.detail = "No data received for " + std::to_string(s.noData.count()) + " ms";
        } else if (cancelled) {
            e.kind = TransportErrorKind::Cancelled;
            e.detail = "cancelled";
        }
        s.outcome.error = std::move(e);
    }
    s.outcome.data = std::make_shared<const std::string>(std::move(s.body));
    curl_multi_remove_handle(multi_, easy);
    const double done = Timeline::now();
    s.outcome.timeline = {s.startTime, s.firstByteTime > 0 ? s.firstByteTime : done, done, 0};

    s.easy = nullptr;
    finish(s); // handlers first: the handle's clean-up need not delay the completion

    s.headers.reset(); // an idle handle keeps only a stale pointer; the next request sets its own
    if (idle_.size() < kIdleHandles)
        idle_.push_back(std::move(s.handle));
    else
        curl_easy_cleanup(easy);
    s.handle = {};
}

void CurlWorker::finish(detail::RequestState& s) {
    s.finished = true;
    auto ops = std::move(s.pending);
    s.pending.clear();
    for (auto& op : ops)
        op(s.outcome);
}

} // namespace nimo::http
