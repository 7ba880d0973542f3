#include "http/SessionManager.h"

#include "NimoBuildConfig.h"
#include "http/CurlWorker.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/utsname.h>

namespace nimo::http {

namespace {
std::optional<std::string> nonEmpty(const char* text) {
    if (!text || !*text)
        return std::nullopt;
    return std::string(text);
}

std::optional<Error> checkURL(const std::string& url) {
    if (isHTTPURLText(url))
        return std::nullopt;
    return Error(HTTPClientError::invalidURL(url));
}
} // namespace

SessionConfiguration SessionConfiguration::defaultConfiguration() {
    return {};
}

SessionConfiguration SessionManager::standardConfiguration() {
    auto configuration = SessionConfiguration::defaultConfiguration();
    configuration.httpAdditionalHeaders = defaultHTTPHeaders();
    return configuration;
}

HTTPHeaders SessionManager::defaultHTTPHeaders() {
    HTTPHeaders headers;
    headers["Accept-Encoding"] = "gzip;q=1.0, compress;q=0.5";
    if (auto languages = acceptLanguageValue(preferredLanguages()); !languages.empty())
        headers["Accept-Language"] = languages;
    headers["User-Agent"] = userAgentValue(mainBundleInfo(), systemVersionText());
    return headers;
}

SessionManager::SessionManager(SessionConfiguration configuration)
    : configuration_(std::move(configuration)), worker_(std::make_shared<CurlWorker>(configuration_)) {}

SessionManager::~SessionManager() {
    worker_->shutdown();
}

DataRequest SessionManager::request(const std::string& url, HTTPMethod method, const Parameters& parameters,
                                    const ParameterEncoding& encoding, const HTTPHeaders& headers) {
    if (auto error = checkURL(url))
        return start(std::nullopt, std::move(error));
    URLRequest request;
    request.url = url;
    request.httpMethod = std::string(rawValue(method));
    request.headers = headers;
    request.timeoutInterval = configuration_.requestTimeout;
    auto encoded = encoding.encode(std::move(request), parameters);
    if (encoded.isFailure())
        return start(std::nullopt, *encoded.error());
    return start(std::move(*encoded.value()), std::nullopt);
}

DataRequest SessionManager::request(URLRequest urlRequest) {
    if (auto error = checkURL(urlRequest.url))
        return start(std::nullopt, std::move(error));
    return start(std::move(urlRequest), std::nullopt);
}

DataRequest SessionManager::start(std::optional<URLRequest> request, std::optional<Error> error) {
    auto state = std::make_shared<detail::RequestState>();
    state->request = std::move(request);
    state->buildError = std::move(error);
    state->worker = worker_;
    worker_->post([state] { state->worker->start(state); });
    return DataRequest(state);
}

std::size_t SessionManager::liveRequestCount() const {
    return worker_->liveCount();
}

std::string acceptLanguageValue(const std::vector<std::string>& preferredLanguages) {
    std::string out;
    for (size_t i = 0; i < preferredLanguages.size() && i < 6; ++i) {
        char quality[16];
        std::snprintf(quality, sizeof quality, "%.1f", 1.0 - 0.1 * static_cast<double>(i));
        if (i)
            out += ", ";
        out += preferredLanguages[i] + ";q=" + quality;
    }
    return out;
}

std::vector<std::string> preferredLanguages(const std::string& language, const std::string& locale) {
    std::vector<std::string> out;
    auto add = [&out](std::string tag) {
        tag = tag.substr(0, tag.find_first_of(".@")); // "zh_CN.UTF-8@mod" -> "zh_CN"
        std::replace(tag.begin(), tag.end(), '_', '-');
        if (tag.empty() || tag == "C" || tag == "POSIX" ||
            std::find(out.begin(), out.end(), tag) != out.end())
            return;
        out.push_back(std::move(tag));
    };
    size_t pos = 0;
    while (pos <= language.size()) {
        const auto colon = std::min(language.find(':', pos), language.size());
        add(language.substr(pos, colon - pos));
        pos = colon + 1;
    }
    if (out.empty())
        add(locale);
    if (out.empty())
        out.push_back("en"); // the C locale's language
    return out;
}

std::vector<std::string> preferredLanguages() {
    auto env = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    std::string locale = env("LC_ALL");
    if (locale.empty())
        locale = env("LC_MESSAGES");
    if (locale.empty())
        locale = env("LANG");
    return preferredLanguages(env("LANGUAGE"), locale);
}

std::string userAgentValue(const std::optional<BundleInfo>& info, const std::string& systemVersion) {
    if (!info)
        return "NimoHTTP";
    const std::string unknown = "Unknown";
    const std::string library = info->shortVersion ? "NimoHTTP/" + *info->shortVersion : unknown;
    return info->executable.value_or(unknown) + "/" + info->shortVersion.value_or(unknown) + " (" +
           info->bundleIdentifier.value_or(unknown) + "; build:" + info->buildVersion.value_or(unknown) +
           "; " + systemVersion + ") " + library;
}

std::optional<BundleInfo> mainBundleInfo() {
    BundleInfo info;
    if (QCoreApplication::instance()) {
        info.executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName().toStdString();
    } else {
        std::error_code ec;
        auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        if (!ec)
            info.executable = exe.filename().string();
    }
    if (info.executable && info.executable->empty())
        info.executable.reset();
    info.bundleIdentifier = nonEmpty(build::kBundleId);
    info.shortVersion = nonEmpty(build::kShortVersion);
    info.buildVersion = nonEmpty(build::kBuildVersion);
    return info;
}

std::string kernelVersionNumbers(const std::string& release) {
    std::string out;
    size_t pos = 0;
    for (int part = 0; part < 3; ++part) {
        std::string digits;
        while (pos < release.size() && std::isdigit(static_cast<unsigned char>(release[pos])))
            digits.push_back(release[pos++]);
        if (digits.empty())
            digits.push_back('0');
        if (part)
            out += '.';
        out += digits;
        if (pos < release.size() && release[pos] == '.' && !digits.empty())
            ++pos;
        else
            pos = release.size(); // anything else ends the numbers: pad with zeros
    }
    return out;
}

std::string systemVersionText() {
    utsname name{};
    const std::string release = uname(&name) == 0 ? name.release : "";
    return "Linux " + kernelVersionNumbers(release);
}

} // namespace nimo::http
