#pragma once

#include "http/DataResponse.h"
#include "platform/MainQueue.h"

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nimo::http {

namespace detail {
struct RequestState;

// The finished task as the handlers see it.
struct TaskOutcome {
    const URLRequest* request = nullptr; // the request's own (it outlives every handler); none when not sent
    std::optional<HTTPURLResponse> response;
    std::shared_ptr<const std::string> data;
    std::optional<Error> error;
    Timeline timeline; // serialization time not yet set
};
} // namespace detail

// Runs a completion somewhere of the caller's choosing (a thread pool, a worker's queue, inline).
using CompletionQueue = std::function<void(std::function<void()>)>;

// One request of a SessionManager. A cheap handle: copies share the request, and the request runs
// to its end even when every handle is gone. Validations and handlers run once, after the task
// finished, in the order they were added, on the session's worker thread (so parsing never blocks
// the main loop); only the completion is posted to the caller's queue.
class DataRequest {
public:
    // Returns an error to fail the request; runs only when there is a response and no error yet.
    using Validation = std::function<std::optional<Error>(
        const URLRequest* request, const HTTPURLResponse& response, const std::string* data)>;

    // The request as built, or none when it could not be built (then buildError() tells why).
    const std::optional<URLRequest>& request() const;
    const std::optional<Error>& buildError() const;

    // Status 200-299 and a Content-Type matching the request's "Accept" header ("*/*" without one).
    DataRequest& validate();
    DataRequest& validate(Validation validation);
    DataRequest& validateStatusCode(std::vector<int> acceptable);
    DataRequest& validateStatusCode(int first, int last); // inclusive range
    DataRequest& validateContentType(std::vector<std::string> acceptable);

    // Completion on owner's (main) thread, dropped when owner is gone first; a null owner means the
    // main loop with no owner.
    template <class T>
    DataRequest& response(QObject* owner, ResponseSerializer<T> serializer,
                          std::function<void(const DataResponse<T>&)> completion);
    template <class T>
    DataRequest& response(CompletionQueue queue, ResponseSerializer<T> serializer,
                          std::function<void(const DataResponse<T>&)> completion);

    // The completion runs on the session's worker and owns the response (it may move the value out):
    // for callers that finish their own work there and post only what the main loop needs.
    template <class T>
    DataRequest& takeResponse(ResponseSerializer<T> serializer,
                              std::function<void(DataResponse<T>&&)> completion);

    DataRequest& responseJSON(QObject* owner,
                              std::function<void(const DataResponse<nlohmann::json>&)> completion,
                              JSONReadingOptions options = JSONReadingOptions::allowFragments) {
        return response<nlohmann::json>(owner, jsonResponseSerializer(options), std::move(completion));
    }
    DataRequest& responseJSON(CompletionQueue queue,
                              std::function<void(const DataResponse<nlohmann::json>&)> completion,
                              JSONReadingOptions options = JSONReadingOptions::allowFragments) {
        return response<nlohmann::json>(std::move(queue), jsonResponseSerializer(options),
                                        std::move(completion));
    }
    DataRequest& responseData(QObject* owner,
                              std::function<void(const DataResponse<std::string>&)> completion) {
        return response<std::string>(owner, dataResponseSerializer(), std::move(completion));
    }
    DataRequest& responseString(QObject* owner,
                                std::function<void(const DataResponse<std::string>&)> completion) {
        return response<std::string>(owner, stringResponseSerializer(), std::move(completion));
    }

    // Stops the transfer; handlers then run with a Cancelled transport error. No effect once done.
    void cancel();

    explicit DataRequest(std::shared_ptr<detail::RequestState> state) : state_(std::move(state)) {}

private:
    using Operation = std::function<void(const detail::TaskOutcome&)>;
    void enqueueHandler(Operation op);

    template <class T>
    static DataResponse<T> makeResponse(const detail::TaskOutcome& outcome,
                                        const ResponseSerializer<T>& serializer);

    std::shared_ptr<detail::RequestState> state_;
};

template <class T>
DataResponse<T> DataRequest::makeResponse(const detail::TaskOutcome& o,
                                          const ResponseSerializer<T>& serializer) {
    Result<T> result = serializer(o.request, o.response ? &*o.response : nullptr, o.data.get(),
                                  o.error ? &*o.error : nullptr);
    DataResponse<T> r{o.request ? std::optional<URLRequest>(*o.request) : std::nullopt, o.response, o.data,
                      std::move(result), o.timeline};
    r.timeline.serializationCompletedTime = Timeline::now();
    return r;
}

template <class T>
DataRequest& DataRequest::response(QObject* owner, ResponseSerializer<T> serializer,
                                   std::function<void(const DataResponse<T>&)> completion) {
    const bool owned = owner != nullptr;
    QPointer<QObject> guard(owner);
    // A handler runs once: what it holds moves on to the main loop instead of being copied.
    enqueueHandler([owned, guard, serializer = std::move(serializer),
                    completion = std::move(completion)](const detail::TaskOutcome& outcome) mutable {
        if (owned && guard.isNull())
            return; // nobody to tell: skip the parse as well
        auto shared = std::make_shared<DataResponse<T>>(makeResponse<T>(outcome, serializer));
        auto deliver = [completion = std::move(completion), shared] { completion(*shared); };
        if (owned)
            platform::postToMainWeak(guard, std::move(deliver));
        else
            platform::postToMain(std::move(deliver));
    });
    return *this;
}

template <class T>
DataRequest& DataRequest::response(CompletionQueue queue, ResponseSerializer<T> serializer,
                                   std::function<void(const DataResponse<T>&)> completion) {
    enqueueHandler([queue = std::move(queue), serializer = std::move(serializer),
                    completion = std::move(completion)](const detail::TaskOutcome& outcome) mutable {
        if (!queue) {
            completion(makeResponse<T>(outcome, serializer));
            return;
        }
        auto shared = std::make_shared<DataResponse<T>>(makeResponse<T>(outcome, serializer));
        queue([completion = std::move(completion), shared] { completion(*shared); });
    });
    return *this;
}

template <class T>
DataRequest& DataRequest::takeResponse(ResponseSerializer<T> serializer,
                                       std::function<void(DataResponse<T>&&)> completion) {
    enqueueHandler([serializer = std::move(serializer),
                    completion = std::move(completion)](const detail::TaskOutcome& outcome) {
        completion(makeResponse<T>(outcome, serializer));
    });
    return *this;
}

} // namespace nimo::http
