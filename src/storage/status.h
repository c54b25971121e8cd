// What an operation on the game folder gives back: nothing but success, or
// the name it failed on and the system's own error (errno on POSIX systems,
// GetLastError() on Windows). Each backend turns its system's error into an
// IoStatus in one place; the callers decide what the failure means for the
// run. (Not "Status": Xlib, under the Linux window, defines that as a macro.)
#pragma once

#include <optional>
#include <string>
#include <system_error>
#include <utility>

class [[nodiscard]] IoStatus {
public:
    // Success.
    IoStatus() = default;
    // A failure on `path` (as the caller named it); `code` is never 0.
    IoStatus(std::string path, std::error_code code) : path_(std::move(path)), code_(code) {}

    bool ok() const { return !code_; }
    const std::string& path() const { return path_; }
    const std::error_code& code() const { return code_; }
    // "<path>: <the system's message>", for logs; empty on success.
    std::string Text() const { return ok() ? std::string() : path_ + ": " + code_.message(); }

    // For the operations whose failure changes nothing (removing a leftover):
    // says so where it is called.
    void IgnoreError() const {}

private:
    std::string path_;
    std::error_code code_;
};

// A value, or the IoStatus of the failure that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(IoStatus failure) : failure_(std::move(failure)) {}

    bool ok() const { return value_.has_value(); }
    // The failure; success when there is a value.
    const IoStatus& error() const { return failure_; }

    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    void IgnoreError() const {}

private:
    std::optional<T> value_;
    IoStatus failure_;
};
