#include "http/DataRequest.h"

#include "http/CurlWorker.h"

#include <algorithm>

namespace nimo::http {

namespace {
struct MimeType {
    std::string type, subtype;
    bool isWildcard() const { return type == "*" && subtype == "*"; }
    bool matches(const MimeType& other) const {
        return (type == other.type || type == "*") && (subtype == other.subtype || subtype == "*");
    }
};

std::optional<MimeType> parseMime(std::string_view text) {
    text = text.substr(0, text.find(';'));
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    const auto slash = text.find('/');
    if (text.empty() || slash == std::string_view::npos)
        return std::nullopt;
    MimeType m{std::string(text.substr(0, slash)), std::string(text.substr(text.rfind('/') + 1))};
    for (auto* part : {&m.type, &m.subtype})
        std::transform(part->begin(), part->end(), part->begin(),
                       [](unsigned char c) { return std::tolower(c); });
    return m;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        const auto next = text.find(sep, pos);
        out.push_back(text.substr(pos, next == std::string::npos ? std::string::npos : next - pos));
        if (next == std::string::npos)
            return out;
        pos = next + 1;
    }
}

std::optional<Error> checkContentType(const std::vector<std::string>& acceptable,
                                      const HTTPURLResponse& response, const std::string* data) {
    if (!data || data->empty())
        return std::nullopt;
    const auto responseType = response.mimeType();
    const auto responseMime = responseType ? parseMime(*responseType) : std::nullopt;
    if (!responseMime) {
        for (const auto& type : acceptable)
            if (auto m = parseMime(type); m && m->isWildcard())
                return std::nullopt;
        return Error(HTTPClientError::missingContentType(acceptable));
    }
    for (const auto& type : acceptable)
        if (auto m = parseMime(type); m && m->matches(*responseMime))
            return std::nullopt;
    return Error(HTTPClientError::unacceptableContentType(acceptable, *responseType));
}
} // namespace

const std::optional<URLRequest>& DataRequest::request() const {
    return state_->request;
}
const std::optional<Error>& DataRequest::buildError() const {
    return state_->buildError;
}

void DataRequest::enqueueHandler(Operation op) {
    auto state = state_;
    state->worker->post([state, op = std::move(op)]() mutable {
        if (state->finished)
            op(state->outcome);
        else
            state->pending.push_back([op = std::move(op)](detail::TaskOutcome& o) { op(o); });
    });
}

DataRequest& DataRequest::validate(Validation validation) {
    auto state = state_;
    auto run = [state, validation = std::move(validation)](detail::TaskOutcome& o) {
        if (!o.response || o.error)
            return;
        if (auto error = validation(o.request, *o.response, o.data.get()))
            o.error = std::move(error);
    };
    state->worker->post([state, run = std::move(run)]() mutable {
        if (state->finished)
            run(state->outcome);
        else
            state->pending.push_back(std::move(run));
    });
    return *this;
}

DataRequest& DataRequest::validateStatusCode(std::vector<int> acceptable) {
    return validate([acceptable = std::move(acceptable)](const URLRequest*, const HTTPURLResponse& response,
                                                         const std::string*) -> std::optional<Error> {
        if (std::find(acceptable.begin(), acceptable.end(), response.statusCode) != acceptable.end())
            return std::nullopt;
        return Error(HTTPClientError::unacceptableStatusCode(response.statusCode));
    });
}

DataRequest& DataRequest::validateStatusCode(int first, int last) {
    return validate([first, last](const URLRequest*, const HTTPURLResponse& response,
                                  const std::string*) -> std::optional<Error> {
        if (response.statusCode >= first && response.statusCode <= last)
            return std::nullopt;
        return Error(HTTPClientError::unacceptableStatusCode(response.statusCode));
    });
}

DataRequest& DataRequest::validateContentType(std::vector<std::string> acceptable) {
    return validate([acceptable = std::move(acceptable)](const URLRequest*, const HTTPURLResponse& response,
                                                         const std::string* data) {
        return checkContentType(acceptable, response, data);
    });
}

DataRequest& DataRequest::validate() {
    validateStatusCode(200, 299);
    return validate([](const URLRequest* request, const HTTPURLResponse& response, const std::string* data) {
        const auto accept = request ? request->value("Accept") : std::nullopt;
        return checkContentType(accept ? split(*accept, ',') : std::vector<std::string>{"*/*"}, response,
                                data);
    });
}

void DataRequest::cancel() {
    auto state = state_;
    state->worker->post([state] {
        if (!state->finished && state->started)
            state->worker->cancel(state);
    });
}

} // namespace nimo::http
