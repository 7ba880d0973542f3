#pragma once

#include <string>

namespace nimo {

// The one error every failure callback of the service client receives.
class NMNetWorkError {
public:
    enum class Kind {
        msg,          // a refusal or a failed transport, with a text to show
        invalidHost,  // the base URL did not answer: the requester moves on to the next one
        dataAnalysis, // the answer was JSON but not an object
    };

    static NMNetWorkError msg(std::string text) { return NMNetWorkError(Kind::msg, std::move(text)); }
    static NMNetWorkError invalidHost() { return NMNetWorkError(Kind::invalidHost, {}); }
    static NMNetWorkError dataAnalysis() { return NMNetWorkError(Kind::dataAnalysis, {}); }

    Kind kind() const { return kind_; }
    bool is(Kind kind) const { return kind_ == kind; }
    // The payload of msg; empty for the other cases.
    const std::string& message() const { return message_; }
    // msg: its text; invalidHost: "无效的根域名"; dataAnalysis: "数据解析失败".
    std::string errorDescription() const;

    bool operator==(const NMNetWorkError&) const = default;

private:
    NMNetWorkError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

} // namespace nimo
