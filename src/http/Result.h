#pragma once

#include "http/HTTPClientError.h"

#include <variant>

namespace nimo::http {

// Success with a value, or failure with an Error.
template <class T> class Result {
public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(Error error) { return Result(std::in_place_index<1>, std::move(error)); }

    bool isSuccess() const { return value_.index() == 0; }
    bool isFailure() const { return value_.index() == 1; }
    const T* value() const { return std::get_if<0>(&value_); }
    T* value() { return std::get_if<0>(&value_); }
    const Error* error() const { return std::get_if<1>(&value_); }

private:
    template <size_t I, class V> Result(std::in_place_index_t<I> i, V&& v) : value_(i, std::forward<V>(v)) {}
    std::variant<T, Error> value_;
};

} // namespace nimo::http
