#pragma once
// The one shape of a fallible call's outcome: a Status (done, or an error
// message) or a Result<T> (a value, or an error message). Neither converts to
// bool, so a caller says which side it tests: ok() or failed(). Both are
// [[nodiscard]]: a caller that lets a failure go says so with (void).
// Exceptions stay for the operations documented as throwing.

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

class [[nodiscard]] Status {
  public:
    static Status success() { return Status(); }
    static Status failure(std::string message) { return Status(std::move(message)); }

    bool ok() const { return !error_.has_value(); }
    bool failed() const { return error_.has_value(); }
    // The message of a failure; empty when ok.
    const std::string& error() const {
        static const std::string none;
        return error_ ? *error_ : none;
    }

  private:
    Status() = default;
    explicit Status(std::string message) : error_(std::move(message)) {}
    std::optional<std::string> error_;
};

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : outcome_(std::in_place_index<0>, std::move(value)) {}
    static Result failure(std::string message) { return Result(Failure{std::move(message)}); }
    // A failed Status carried on (its message).
    Result(const Status& status) : Result(Failure{status.error()}) { assert(status.failed()); }

    bool ok() const { return outcome_.index() == 0; }
    bool failed() const { return outcome_.index() == 1; }

    const T& value() const& {
        assert(ok());
        return std::get<0>(outcome_);
    }
    T& value() & {
        assert(ok());
        return std::get<0>(outcome_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(outcome_));
    }
    const T& operator*() const& { return value(); }
    T& operator*() & { return value(); }
    const T* operator->() const { return &value(); }
    T* operator->() { return &value(); }

    // The value when ok, `fallback` otherwise.
    T valueOr(T fallback) const& { return ok() ? value() : std::move(fallback); }
    T valueOr(T fallback) && { return ok() ? std::move(*this).value() : std::move(fallback); }

    // The message of a failure; empty when ok.
    const std::string& error() const {
        static const std::string none;
        return failed() ? std::get<1>(outcome_).message : none;
    }
    // The outcome without its value.
    Status status() const { return ok() ? Status::success() : Status::failure(error()); }

  private:
    struct Failure {
        std::string message;
    };
    explicit Result(Failure failure) : outcome_(std::in_place_index<1>, std::move(failure)) {}
    std::variant<T, Failure> outcome_;
};

}  // namespace platform
