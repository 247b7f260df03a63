// Structured exceptions in C++: ExRaiseStatus throws a status, and a dispatcher
// expresses "try / exception filter / handler" with NtTryExcept.
#pragma once

#include "ntbase.h"

#include <exception>

constexpr LONG EXCEPTION_EXECUTE_HANDLER = 1;
constexpr LONG EXCEPTION_CONTINUE_SEARCH = 0;

// The one exception type that carries a raised status.
class NtStatusException : public std::exception {
public:
    explicit NtStatusException(NTSTATUS status) : status_(status) {}
    NTSTATUS status() const { return status_; }
    const char* what() const noexcept override { return NtStatusName(status_); }

private:
    NTSTATUS status_;
};

[[noreturn]] void ExRaiseStatus(NTSTATUS status);

// Runs body; when it raises a status the filter decides: EXCEPTION_EXECUTE_HANDLER
// runs handler(code) and returns its result, EXCEPTION_CONTINUE_SEARCH rethrows.
// A std::bad_alloc counts as STATUS_INSUFFICIENT_RESOURCES.
template <typename Body, typename Filter, typename Handler>
auto NtTryExcept(Body body, Filter filter, Handler handler) -> decltype(body()) {
    NTSTATUS code;
    try {
        return body();
    } catch (const NtStatusException& e) {
        code = e.status();
        if (filter(code) != EXCEPTION_EXECUTE_HANDLER) throw;
    } catch (const std::bad_alloc&) {
        code = STATUS_INSUFFICIENT_RESOURCES;
        if (filter(code) != EXCEPTION_EXECUTE_HANDLER) throw;
    }
    return handler(code);
}
