// The one place where the host layer turns a driver's or the I/O manager's
// NTSTATUS into the Win32 error an application sees, and an error into text.
//
// Status to error: RtlNtStatusToDosError as Windows implements it, per
// Microsoft's "INFO: Mapping NT Status Error Codes to Win32 Error Codes"
// (KB 113996); the entries were checked against Wine's conversion table
// (dlls/ntdll/error.c), which Wine's test suite verifies on Windows.
// Texts: the English system messages of winerror.h's codes.
#include "status_map.h"

#include <algorithm>
#include <iterator>

namespace velnor::win32 {
namespace {

struct StatusEntry {
    uint32_t status;
    uint32_t error;
};

// Sorted by status.
constexpr StatusEntry kStatusToError[] = {
    {0x00000102, 1460},  // STATUS_TIMEOUT                     ERROR_TIMEOUT
    {0x00000103, 997},   // STATUS_PENDING                     ERROR_IO_PENDING
    {0x80000005, 234},   // STATUS_BUFFER_OVERFLOW             ERROR_MORE_DATA
    {0x8000000F, 21},    // STATUS_DEVICE_POWERED_OFF          ERROR_NOT_READY
    {0x80000010, 21},    // STATUS_DEVICE_OFF_LINE             ERROR_NOT_READY
    {0x80000011, 170},   // STATUS_DEVICE_BUSY                 ERROR_BUSY
    {0x8000001A, 259},   // STATUS_NO_MORE_ENTRIES             ERROR_NO_MORE_ITEMS
    {0xC0000001, 31},    // STATUS_UNSUCCESSFUL                ERROR_GEN_FAILURE
    {0xC0000002, 1},     // STATUS_NOT_IMPLEMENTED             ERROR_INVALID_FUNCTION
    {0xC0000004, 24},    // STATUS_INFO_LENGTH_MISMATCH        ERROR_BAD_LENGTH
    {0xC0000005, 998},   // STATUS_ACCESS_VIOLATION            ERROR_NOACCESS
    {0xC0000008, 6},     // STATUS_INVALID_HANDLE              ERROR_INVALID_HANDLE
    {0xC000000D, 87},    // STATUS_INVALID_PARAMETER           ERROR_INVALID_PARAMETER
    {0xC000000E, 2},     // STATUS_NO_SUCH_DEVICE              ERROR_FILE_NOT_FOUND
    {0xC000000F, 2},     // STATUS_NO_SUCH_FILE                ERROR_FILE_NOT_FOUND
    {0xC0000010, 1},     // STATUS_INVALID_DEVICE_REQUEST      ERROR_INVALID_FUNCTION
    {0xC0000011, 38},    // STATUS_END_OF_FILE                 ERROR_HANDLE_EOF
    {0xC0000016, 234},   // STATUS_MORE_PROCESSING_REQUIRED    ERROR_MORE_DATA
    {0xC0000017, 8},     // STATUS_NO_MEMORY                   ERROR_NOT_ENOUGH_MEMORY
    {0xC0000022, 5},     // STATUS_ACCESS_DENIED               ERROR_ACCESS_DENIED
    {0xC0000023, 122},   // STATUS_BUFFER_TOO_SMALL            ERROR_INSUFFICIENT_BUFFER
    {0xC0000024, 6},     // STATUS_OBJECT_TYPE_MISMATCH        ERROR_INVALID_HANDLE
    {0xC0000030, 87},    // STATUS_INVALID_PARAMETER_MIX       ERROR_INVALID_PARAMETER
    {0xC0000033, 123},   // STATUS_OBJECT_NAME_INVALID         ERROR_INVALID_NAME
    {0xC0000034, 2},     // STATUS_OBJECT_NAME_NOT_FOUND       ERROR_FILE_NOT_FOUND
    {0xC0000035, 183},   // STATUS_OBJECT_NAME_COLLISION       ERROR_ALREADY_EXISTS
    {0xC0000039, 161},   // STATUS_OBJECT_PATH_INVALID         ERROR_BAD_PATHNAME
    {0xC000003A, 3},     // STATUS_OBJECT_PATH_NOT_FOUND       ERROR_PATH_NOT_FOUND
    {0xC000003B, 161},   // STATUS_OBJECT_PATH_SYNTAX_BAD      ERROR_BAD_PATHNAME
    {0xC0000043, 32},    // STATUS_SHARING_VIOLATION           ERROR_SHARING_VIOLATION
    {0xC0000047, 298},   // STATUS_SEMAPHORE_LIMIT_EXCEEDED    ERROR_TOO_MANY_POSTS
    {0xC0000056, 5},     // STATUS_DELETE_PENDING              ERROR_ACCESS_DENIED
    {0xC000009A, 1450},  // STATUS_INSUFFICIENT_RESOURCES      ERROR_NO_SYSTEM_RESOURCES
    {0xC000009C, 23},    // STATUS_DEVICE_DATA_ERROR           ERROR_CRC
    {0xC000009D, 1167},  // STATUS_DEVICE_NOT_CONNECTED        ERROR_DEVICE_NOT_CONNECTED
    {0xC000009E, 21},    // STATUS_DEVICE_POWER_FAILURE        ERROR_NOT_READY
    {0xC00000A3, 21},    // STATUS_DEVICE_NOT_READY            ERROR_NOT_READY
    {0xC00000B5, 121},   // STATUS_IO_TIMEOUT                  ERROR_SEM_TIMEOUT
    {0xC00000BB, 50},    // STATUS_NOT_SUPPORTED               ERROR_NOT_SUPPORTED
    {0xC00000C0, 55},    // STATUS_DEVICE_DOES_NOT_EXIST       ERROR_DEV_NOT_EXIST
    {0xC00000E8, 1784},  // STATUS_INVALID_USER_BUFFER         ERROR_INVALID_USER_BUFFER
    {0xC0000120, 995},   // STATUS_CANCELLED                   ERROR_OPERATION_ABORTED
    {0xC0000182, 87},    // STATUS_DEVICE_CONFIGURATION_ERROR  ERROR_INVALID_PARAMETER
    {0xC0000183, 1117},  // STATUS_DRIVER_INTERNAL_ERROR       ERROR_IO_DEVICE
    {0xC0000184, 22},    // STATUS_INVALID_DEVICE_STATE        ERROR_BAD_COMMAND
    {0xC0000185, 1117},  // STATUS_IO_DEVICE_ERROR             ERROR_IO_DEVICE
    {0xC0000186, 1117},  // STATUS_DEVICE_PROTOCOL_ERROR       ERROR_IO_DEVICE
    {0xC0000206, 1784},  // STATUS_INVALID_BUFFER_SIZE         ERROR_INVALID_USER_BUFFER
    {0xC0000225, 1168},  // STATUS_NOT_FOUND                   ERROR_NOT_FOUND
};

struct MessageEntry {
    uint32_t error;
    const char* text;
};

// Sorted by error.
constexpr MessageEntry kMessages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {24, "The program issued a command but the command length is incorrect."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {38, "Reached the end of the file."},
    {50, "The request is not supported."},
    {55, "The specified network resource or device is no longer available."},
    {87, "The parameter is incorrect."},
    {120, "This function is not supported on this system."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {298, "Too many posts were made to a semaphore."},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2."},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1450, "Insufficient system resources exist to complete the requested service."},
    {1460, "This operation returned because the timeout period expired."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
    {1815, "The specified resource language ID cannot be found in the image file."},
};

constexpr bool SortedByStatus() {
    for (size_t i = 1; i < std::size(kStatusToError); ++i)
        if (kStatusToError[i - 1].status >= kStatusToError[i].status) return false;
    return true;
}
constexpr bool SortedByError() {
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].error >= kMessages[i].error) return false;
    return true;
}
static_assert(SortedByStatus() && SortedByError(), "the tables are searched by bisection");

constexpr uint32_t kMrMidNotFound = 317;

}  // namespace

uint32_t DosErrorFromStatus(uint32_t status) {
    if (status == 0) return 0;
    // Customer-defined statuses pass through unchanged, and the 0xD severity
    // form of an error status maps as its 0xC form.
    if (status & 0x20000000u) return status;
    if ((status & 0xF0000000u) == 0xD0000000u) status &= ~0x10000000u;
    auto it = std::lower_bound(std::begin(kStatusToError), std::end(kStatusToError), status,
                               [](const StatusEntry& e, uint32_t s) { return e.status < s; });
    if (it != std::end(kStatusToError) && it->status == status) return it->error;
    // Two ranges that carry a Win32 error in their low word give it back.
    if ((status >> 16) == 0xC001u || (status >> 16) == 0x8007u) return status & 0xFFFFu;
    return kMrMidNotFound;
}

const char* SystemMessage(uint32_t error) {
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), error,
                               [](const MessageEntry& e, uint32_t v) { return e.error < v; });
    return it != std::end(kMessages) && it->error == error ? it->text : nullptr;
}

}  // namespace velnor::win32
