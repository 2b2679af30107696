// The codes this library records in the client library's last-error cell.
#ifndef KSYM_FRAME_ERROR_CODES_H
#define KSYM_FRAME_ERROR_CODES_H

#include <cstdint>

#include "include/ksymbol.h"

namespace ksym {

enum ErrorCode : int32_t {
    kErrNone = KSYM_ERR_NONE,
    kErrNoContextSpace = KSYM_ERR_NO_CONTEXT_SPACE,
    kErrNoSymbols = KSYM_ERR_NO_SYMBOLS,
    kErrNullVarList = KSYM_ERR_NULL_VARLIST,
    kErrReadPending = KSYM_ERR_READ_PENDING,
    kErrMultiTelegram = KSYM_ERR_MULTI_TELEGRAM,
    kErrTooBigRead = KSYM_ERR_TOO_BIG_READ,
    kErrTooBigWrite = KSYM_ERR_TOO_BIG_WRITE,
    kErrNoThread = KSYM_ERR_NO_THREAD,
};

} // namespace ksym

#endif
