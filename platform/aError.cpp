#include "aError.h"

namespace {

struct ErrorEntry {
  const char* text;
  const char* description;
};

// One entry per code, in code order.
constexpr ErrorEntry ERROR_TABLE[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Jorvanite command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

static_assert(sizeof(ERROR_TABLE) / sizeof(ERROR_TABLE[0]) == aErrUnknown + 1, "one table entry per code");

const ErrorEntry& sEntry(uint32_t code) {
  return ERROR_TABLE[code > aErrUnknown ? aErrUnknown : code];
}

}  // namespace

const char* aError_GetErrorText(uint32_t code) {
  return sEntry(code).text;
}

const char* aError_GetErrorDescription(uint32_t code) {
  return sEntry(code).description;
}
