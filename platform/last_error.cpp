// The error of the last failed call, kept per thread as on Windows.
#include "platform/last_error.h"

#include <cerrno>

namespace kplatform {

namespace {
thread_local DWORD t_last_error = ERROR_SUCCESS;
} // namespace

DWORD error_from_errno(int error) {
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
    case EFAULT:
        return ERROR_INVALID_PARAMETER;
    case EEXIST:
    case ENOTEMPTY:
        return ERROR_ALREADY_EXISTS;
    case EMFILE:
    case ENFILE:
        return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kErrorDiskFull;
    default:
        return kErrorGenFailure;
    }
}

} // namespace kplatform

extern "C" {

KPLATFORM_API DWORD GetLastError(void) {
    return kplatform::t_last_error;
}

KPLATFORM_API void SetLastError(DWORD code) {
    kplatform::t_last_error = code;
}

} // extern "C"
