#include "http/CurlWorker.h"

#include "platform/Redact.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <limits>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace nimo::http {

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxHeaderBytes = 256 * 1024;
constexpr std::size_t kIdleHandles = 8;
// Upload progress counts as activity only for bodies where sending can take a while.
constexpr std::size_t kTrackUploadFrom = 64 * 1024;
// Without an eventfd nothing can wake the worker: it looks for tasks this often.
constexpr long kPollWithoutWakeMs = 50;

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
std::string originOf(const CurlLibrary& curl, const std::string& base, const std::string& relative = {}) {
    CURLU* url = curl.url();
    std::string origin;
    if (url && curl.urlSet(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
        (relative.empty() || curl.urlSet(url, CURLUPART_URL, relative.c_str(), 0) == CURLUE_OK)) {
        char *scheme = nullptr, *host = nullptr, *port = nullptr;
        if (curl.urlGet(url, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl.urlGet(url, CURLUPART_HOST, &host, 0) == CURLUE_OK &&
            curl.urlGet(url, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
            origin = std::string(scheme) + "://" + host + ":" + port;
            std::transform(origin.begin(), origin.end(), origin.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        }
        curl.freeText(scheme);
        curl.freeText(host);
        curl.freeText(port);
    }
    curl.urlCleanup(url);
    return origin;
}

// A password or token in the body (form or JSON) or the query: like credentials in a header, it
// may not follow a redirect to another origin (a 307 or 308 sends the body again).
bool carriesSecret(const URLRequest& r) {
    const auto query = r.url.find('?');
    if (query != std::string::npos) {
        const std::string_view text = std::string_view(r.url).substr(query + 1);
        if (platform::redactedForm(text.substr(0, text.find('#'))) != text.substr(0, text.find('#')))
            return true;
    }
    if (!r.httpBody || r.httpBody->empty())
        return false;
    const auto json = nlohmann::json::parse(*r.httpBody, nullptr, false);
    if (!json.is_discarded())
        return platform::holdsSecretField(json);
    return platform::redactedForm(*r.httpBody) != *r.httpBody;
}

// At the end of a redirect's headers: may the transfer follow it with the request's credentials?
bool redirectAllowed(detail::RequestState& s) {
    if (s.credentialOrigin.empty() || s.replyStatus < 300 || s.replyStatus > 399 || s.location.empty())
        return true;
    const CurlLibrary& curl = *s.worker->library();
    char* effective = nullptr;
    curl.easyGetinfo(s.easy, CURLINFO_EFFECTIVE_URL, &effective);
    return originOf(curl, effective ? effective : s.request->url, s.location) == s.credentialOrigin;
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
        if (s.worker->library()->easyGetinfo(s.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0)
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

TransportError transportError(const CurlLibrary& curl, CURLcode code, long osErrno, const char* message,
                              bool tooLarge) {
    TransportError e;
    e.curlCode = static_cast<int>(code);
    e.detail = message && *message ? message : curl.easyStrerror(code);
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

std::shared_ptr<const detail::HeaderLines> headerLines(const CurlLibrary& curl, const HTTPHeaders& session,
                                                       const HTTPHeaders& own) {
    auto lines = std::make_shared<detail::HeaderLines>();
    detail::HeaderLines& out = *lines;
    out.curl = &curl;
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
        out.list = curl.slistAppend(out.list, line.c_str());
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
    out.list = curl.slistAppend(out.list, "Expect:"); // no 100-continue round trip for larger bodies
    return lines;
}
} // namespace

CurlWorker::CurlWorker(SessionConfiguration configuration) : configuration_(std::move(configuration)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

CurlWorker::~CurlWorker() {
    shutdown();
    sessionLines_.reset();
    lastOwnLines_.reset();
    if (curl_) {
        for (auto& handle : idle_)
            curl_->easyCleanup(handle.easy);
        if (multi_)
            curl_->multiCleanup(multi_);
    }
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void CurlWorker::wake() {
    // An eventfd costs less to signal than libcurl's own wakeup socket pair.
    if (wakeFd_ < 0)
        return;
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

void CurlWorker::post(std::function<void()> task) {
    {
        std::unique_lock lock(mutex_);
        if (!stopped_ && !stopping_ && !running_) {
            // The first task starts the thread: a session nobody uses costs no thread and no library.
            running_ = true;
            tasks_.push_back(std::move(task));
            thread_ = std::thread([this] { run(); });
            return;
        }
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
        if (!running_) {
            stopped_ = true; // never started: later tasks run inline
            return;
        }
    }
    wake();
    if (thread_.joinable())
        thread_.join();
}

void CurlWorker::run() {
    // Here rather than at start-up: the first request pays for the library, on this thread.
    curl_ = CurlLibrary::load(configuration_.transportLibrary, &unavailable_);
    if (curl_) {
        multi_ = curl_->multiInit();
        if (!multi_)
            unavailable_ = "curl_multi_init failed";
        sessionLines_ = headerLines(*curl_, configuration_.httpAdditionalHeaders, {});
    }
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
        if (multi_) {
            int running = 0;
            curl_->multiPerform(multi_, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_->multiInfoRead(multi_, &queued))
                if (msg->msg == CURLMSG_DONE)
                    completeTransfer(msg->easy_handle, msg->data.result);
            checkDeadlines();
        }
        {
            std::lock_guard lock(mutex_);
            if (!tasks_.empty() || stopping_)
                continue;
        }
        bool woken = false;
        if (multi_) {
            curl_waitfd extra{wakeFd_, CURL_WAIT_POLLIN, 0};
            curl_->multiPoll(multi_, wakeFd_ >= 0 ? &extra : nullptr, wakeFd_ >= 0 ? 1 : 0,
                             static_cast<int>(pollTimeoutMs()), nullptr);
            woken = wakeFd_ >= 0 && (extra.revents & CURL_WAIT_POLLIN);
        } else {
            // No library: requests fail as they come, and only tasks wake the thread.
            pollfd wait{wakeFd_, POLLIN, 0};
            woken = ::poll(&wait, wakeFd_ >= 0 ? 1 : 0, wakeFd_ >= 0 ? -1 : kPollWithoutWakeMs) > 0;
        }
        if (woken) {
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
    curl_->multiTimeout(multi_, &timeout);
    if (timeout < 0 && live_.empty())
        timeout = std::numeric_limits<int>::max(); // idle: only a posted task wakes the worker
    else if (timeout < 0 || timeout > 1000)
        timeout = 1000;
    if (wakeFd_ < 0)
        timeout = std::min(timeout, kPollWithoutWakeMs);
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
    if (!multi_) {
        s.outcome.request = &*s.request;
        s.outcome.error = TransportError{TransportErrorKind::Unavailable, 0, unavailable_};
        s.outcome.timeline = {s.startTime, s.startTime, s.startTime, 0};
        finish(s);
        return;
    }

    const CurlLibrary& curl = *curl_;
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
    s.credentialOrigin = headers.credentials || carriesSecret(r) ? originOf(curl, r.url) : std::string();
    s.redirectRefused = false;

    curl.easySetopt(easy, CURLOPT_URL, r.url.c_str());
    curl.easySetopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(r.timeoutInterval.count()));
    curl.easySetopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                    static_cast<long>(r.connectTimeout.value_or(configuration_.connectTimeout).count()));
    if (headers.acceptEncoding != handle.acceptEncoding) {
        handle.acceptEncoding = headers.acceptEncoding;
        curl.easySetopt(easy, CURLOPT_ACCEPT_ENCODING,
                        handle.acceptEncoding.empty() ? nullptr : handle.acceptEncoding.c_str());
    }
    curl.easySetopt(easy, CURLOPT_HTTPHEADER, headers.list);
    curl.easySetopt(easy, CURLOPT_HEADERDATA, &s);
    curl.easySetopt(easy, CURLOPT_WRITEDATA, &s);
    curl.easySetopt(easy, CURLOPT_ERRORBUFFER, s.errorBuffer.data());
    curl.easySetopt(easy, CURLOPT_PRIVATE, &s);

    if (!handle.plainGet) {
        // Undo what an earlier request set: no body (POSTFIELDS itself would select POST, so it
        // goes first), no custom method, no progress calls, then GET.
        curl.easySetopt(easy, CURLOPT_POSTFIELDS, nullptr);
        curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
        curl.easySetopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
        curl.easySetopt(easy, CURLOPT_NOPROGRESS, 1L);
        curl.easySetopt(easy, CURLOPT_NOBODY, 0L);
        curl.easySetopt(easy, CURLOPT_HTTPGET, 1L);
        handle.plainGet = true;
    }
    const std::string method = r.method();
    if (method == "HEAD") {
        curl.easySetopt(easy, CURLOPT_NOBODY, 1L);
        handle.plainGet = false;
    } else if (r.httpBody) {
        curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.httpBody->size()));
        curl.easySetopt(easy, CURLOPT_POSTFIELDS, r.httpBody->data());
        if (method != "POST")
            curl.easySetopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        if (r.httpBody->size() >= kTrackUploadFrom) {
            curl.easySetopt(easy, CURLOPT_XFERINFODATA, &s);
            curl.easySetopt(easy, CURLOPT_NOPROGRESS, 0L);
        }
        handle.plainGet = false;
    } else if (method == "POST") {
        curl.easySetopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        curl.easySetopt(easy, CURLOPT_POSTFIELDS, "");
        handle.plainGet = false;
    } else if (method != "GET") {
        curl.easySetopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
        handle.plainGet = false;
    }

    s.outcome.request = &*s.request;
    live_.emplace(easy, state);
    live_count_ = live_.size();
    if (curl.multiAddHandle(multi_, easy) != CURLM_OK)
        completeTransfer(easy, CURLE_FAILED_INIT);
}

std::shared_ptr<const detail::HeaderLines> CurlWorker::headerLinesFor(const HTTPHeaders& own) {
    if (own.empty())
        return sessionLines_;
    if (!lastOwnLines_ || own != lastOwn_) {
        lastOwnLines_ = headerLines(*curl_, configuration_.httpAdditionalHeaders, own);
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
    const CurlLibrary& curl = *curl_;
    detail::EasyHandle handle;
    CURL* easy = handle.easy = curl.easyInit();
    curl.easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl.easySetopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl.easySetopt(easy, CURLOPT_MAXREDIRS, configuration_.maximumRedirects);
    curl.easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl.easySetopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!configuration_.caBundlePath.empty())
        curl.easySetopt(easy, CURLOPT_CAINFO, configuration_.caBundlePath.c_str());
    curl.easySetopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                    static_cast<curl_off_t>(configuration_.maximumResponseSize));
    curl.easySetopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl.easySetopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl.easySetopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
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

    const CurlLibrary& curl = *curl_;
    long status = 0, osErrno = 0;
    curl.easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl.easyGetinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
    char* effective = nullptr;
    curl.easyGetinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);

    if (status > 0) {
        HTTPURLResponse response;
        response.url = effective ? effective : s.request->url;
        response.statusCode = static_cast<int>(status);
        response.headers = std::move(s.responseHeaders);
        s.outcome.response = std::move(response);
    }
    if ((code == CURLE_URL_MALFORMAT || code == CURLE_UNSUPPORTED_PROTOCOL) && status == 0 && !cancelled &&
        !deadline) {
        // A URL the layer's own check let through and libcurl refused: nothing went on the wire.
        s.outcome.error = Error(HTTPClientError::invalidURL(s.request->url));
        s.outcome.request = nullptr;
    } else if (code != CURLE_OK) {
        TransportError e = transportError(curl, code, osErrno, s.errorBuffer.data(), s.tooLarge);
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
    curl.multiRemoveHandle(multi_, easy);
    const double done = Timeline::now();
    s.outcome.timeline = {s.startTime, s.firstByteTime > 0 ? s.firstByteTime : done, done, 0};

    s.easy = nullptr;
    finish(s); // handlers first: the handle's clean-up need not delay the completion

    s.headers.reset(); // an idle handle keeps only a stale pointer; the next request sets its own
    if (idle_.size() < kIdleHandles)
        idle_.push_back(std::move(s.handle));
    else
        curl.easyCleanup(easy);
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
