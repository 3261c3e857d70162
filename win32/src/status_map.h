// NTSTATUS to Win32 error, and Win32 error to its system message text: the
// two tables behind GetLastError and FormatMessage in the host layer.
#pragma once

#include <cstdint>

namespace velnor::win32 {

// What RtlNtStatusToDosError gives for `status`; ERROR_MR_MID_NOT_FOUND
// (317) for a status it has no mapping for, as Windows does.
uint32_t DosErrorFromStatus(uint32_t status);

// The system's English message for `error`, without its line break; null
// for an error the layer never reports.
const char* SystemMessage(uint32_t error);

}  // namespace velnor::win32
