// The boundary between the library's C++ inside and its C interface: no exception ever
// leaves an exported function.
#ifndef KSYM_FRAME_EXCEPTION_GUARD_H
#define KSYM_FRAME_EXCEPTION_GUARD_H

#include "extern/kclient.h"
#include "include/ksymbol.h"

namespace ksym {

// Runs `body` and returns its result. Should it throw (memory or another resource ran out:
// std::bad_alloc, std::length_error for an impossible size, std::system_error), the
// failure is recorded as KSYM_ERR_NO_MEMORY and `failure` is returned; `onFailure`, when
// given, first puts the function's out-parameters into their failure state.
template <typename Result, typename Body, typename OnFailure>
Result Guarded(Result failure, Body&& body, OnFailure&& onFailure) noexcept {
    try {
        return body();
    } catch (...) {
        onFailure();
        KClientSetLastError(KSYM_ERR_NO_MEMORY);
        return failure;
    }
}

template <typename Result, typename Body> Result Guarded(Result failure, Body&& body) noexcept {
    return Guarded(failure, body, [] {});
}

} // namespace ksym

#endif
