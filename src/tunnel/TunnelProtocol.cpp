#include "tunnel/TunnelProtocol.h"

#include <cstring>

namespace nimo::tunnelproto {

TunnelError makeError(int code, std::string description) {
    return TunnelError{std::move(description), kErrorDomain, code};
}

nlohmann::json toJson(const TunnelError& error) {
    return {{"description", error.description}, {"domain", error.domain}, {"code", error.code}};
}

TunnelError errorFromJson(const nlohmann::json& value) {
    TunnelError error{"隧道服务返回了无法识别的错误", kErrorDomain, 0};
    if (!value.is_object())
        return error;
    if (auto d = stringField(value, "description"))
        error.description = *d;
    if (auto d = stringField(value, "domain"))
        error.domain = *d;
    if (auto c = integerField(value, "code"))
        error.code = static_cast<int>(*c);
    return error;
}

QByteArray encodeLine(const nlohmann::json& value) {
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.push_back('\n');
    return QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

std::vector<LineBuffer::Line> LineBuffer::feed(const char* data, std::size_t size) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < size) {
        const void* found = std::memchr(data + pos, '\n', size - pos);
        const std::size_t end = found ? static_cast<const char*>(found) - data : size;
        if (!discarding_) {
            const std::size_t chunk = end - pos;
            if (partial_.size() + chunk > maxLine_) {
                // Keep nothing of an overlong line: report it once, at its end.
                partial_.clear();
                partial_.shrink_to_fit();
                discarding_ = true;
            } else {
                partial_.append(data + pos, chunk);
            }
        }
        if (!found)
            break;
        if (discarding_)
            lines.push_back({{}, true});
        else if (!partial_.empty())
            lines.push_back({std::move(partial_), false});
        partial_.clear();
        discarding_ = false;
        pos = end + 1;
    }
    return lines;
}

std::string toBase64(const QByteArray& data) {
    return data.toBase64().toStdString();
}

std::optional<QByteArray> fromBase64(const nlohmann::json& value) {
    if (!value.is_string())
        return std::nullopt;
    const std::string& text = value.get_ref<const std::string&>();
    auto result = QByteArray::fromBase64Encoding(QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                                                 QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return *result;
}

std::optional<std::string> stringField(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

std::optional<std::int64_t> integerField(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer())
        return std::nullopt;
    return it->get<std::int64_t>();
}

std::optional<bool> boolField(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return std::nullopt;
    auto it = object.find(key);
    if (it == object.end() || !it->is_boolean())
        return std::nullopt;
    return it->get<bool>();
}

} // namespace nimo::tunnelproto
