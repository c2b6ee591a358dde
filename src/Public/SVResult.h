#pragma once
// Results of asynchronous operations. A completion receives an `SVResult<T>`:
// a value, or an `SVFailure` that holds exactly one of the SDK's error types,
// so a host can tell the exact `SVError` case or `SVNetworkError` code.
#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "SVError.h"
#include "SVNetworkError.h"

namespace svsdk {

class SVFailure {
public:
    using Storage = std::variant<SVError, SVNetworkError, SVPlatformError, SVDecodingError>;

    SVFailure(SVError e) : storage_(std::move(e)) {}                 // NOLINT
    SVFailure(SVNetworkError e) : storage_(std::move(e)) {}          // NOLINT
    SVFailure(SVPlatformError e) : storage_(std::move(e)) {}         // NOLINT
    SVFailure(SVDecodingError e) : storage_(std::move(e)) {}         // NOLINT

    // The error being handled in a catch block, whatever it is; a foreign
    // exception becomes an `SVPlatformError` of domain "exception".
    static SVFailure fromCurrentException();

    template <class E>
    bool is() const noexcept { return std::holds_alternative<E>(storage_); }
    template <class E>
    const E* get() const noexcept { return std::get_if<E>(&storage_); }
    // Convenience: this failure is the given SDK error case.
    bool is(SVError::Code code) const noexcept {
        auto e = get<SVError>();
        return e && e->code() == code;
    }
    bool is(SVNetworkError::Code code) const noexcept {
        auto e = get<SVNetworkError>();
        return e && e->code() == code;
    }

    const Storage& storage() const noexcept { return storage_; }
    const std::exception& exception() const noexcept;
    std::string description() const { return exception().what(); }
    [[noreturn]] void raise() const;

    friend bool operator==(const SVFailure& a, const SVFailure& b) { return a.storage_ == b.storage_; }

private:
    Storage storage_;
};

template <class T>
class SVResult {
public:
    SVResult(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    SVResult(SVFailure failure) : storage_(std::in_place_index<1>, std::move(failure)) {}  // NOLINT
    template <class E, class = std::enable_if_t<std::is_constructible_v<SVFailure, E> && !std::is_same_v<std::decay_t<E>, SVFailure> && !std::is_constructible_v<T, E>>>
    SVResult(E error) : SVResult(SVFailure(std::move(error))) {}  // NOLINT

    bool ok() const noexcept { return storage_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    // The value; throws the error when the result is a failure.
    const T& value() const& {
        if (!ok()) std::get<1>(storage_).raise();
        return std::get<0>(storage_);
    }
    T& value() & {
        if (!ok()) std::get<1>(storage_).raise();
        return std::get<0>(storage_);
    }
    T&& value() && {
        if (!ok()) std::get<1>(storage_).raise();
        return std::get<0>(std::move(storage_));
    }
    const SVFailure& error() const { return std::get<1>(storage_); }

private:
    std::variant<T, SVFailure> storage_;
};

// The result of an operation that gives nothing back.
struct SVNothing {
    friend bool operator==(SVNothing, SVNothing) { return true; }
};
template <>
class SVResult<void> : public SVResult<SVNothing> {
public:
    using SVResult<SVNothing>::SVResult;
    SVResult() : SVResult<SVNothing>(SVNothing{}) {}
};

}  // namespace svsdk
