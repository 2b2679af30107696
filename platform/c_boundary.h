// Keeps C++ exceptions inside the layer: every exported function runs its body through one
// of these, which turn an escaping exception into the function's Win32 failure result.
#ifndef KPLATFORM_C_BOUNDARY_H
#define KPLATFORM_C_BOUNDARY_H

#include <new>
#include <system_error>

#include "platform/last_error.h"
#include "platform/win32.h"

namespace kplatform {

// The Win32 error for an exception in flight; call only from a catch block.
inline DWORD error_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::system_error& e) {
        if (e.code().category() == std::generic_category() ||
            e.code().category() == std::system_category())
            return error_from_errno(e.code().value());
        return kErrorGenFailure;
    } catch (...) {
        return kErrorGenFailure;
    }
}

// Runs body(); if it throws, sets the last error and returns `failure`.
template <class R, class F> R guarded(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        SetLastError(error_from_exception());
        return failure;
    }
}

// For the registry calls, whose result is the error code itself.
template <class F> LONG guarded_status(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return static_cast<LONG>(error_from_exception());
    }
}

} // namespace kplatform

#endif
