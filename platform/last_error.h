// Error codes used inside the layer beyond those win32.h names, and the mapping from errno.
#ifndef KPLATFORM_LAST_ERROR_H
#define KPLATFORM_LAST_ERROR_H

#include "platform/win32.h"

namespace kplatform {

constexpr DWORD kErrorTooManyOpenFiles = 4;
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorFileExists = 80;
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorNegativeSeek = 131;
constexpr DWORD kErrorNotEnoughQuota = 1816;

// The Win32 error closest to a POSIX errno value.
DWORD error_from_errno(int error);

} // namespace kplatform

#endif
