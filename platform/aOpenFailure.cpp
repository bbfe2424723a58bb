#include "aOpenFailure.h"

#include <libusb.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "aDebug.h"

namespace {

// Per thread: two threads opening links at once each keep their own.
thread_local aOpenFailure tLast;

bool sIsUsbStep(aOpenStep step) {
  return step == aOpenStepListDevices || step == aOpenStepReadSerial || step == aOpenStepFindInterface ||
         step == aOpenStepClaimInterface || step == aOpenStepOpenNode;
}

const char* sLibusbCause(int code) {
  switch (code) {
    case LIBUSB_ERROR_BUSY:
      return "the device is busy (another process has claimed it)";
    case LIBUSB_ERROR_ACCESS:
      return "permission denied (no access to the device node)";
    case LIBUSB_ERROR_NO_DEVICE:
      return "the device is gone";
    case LIBUSB_ERROR_TIMEOUT:
      return "the device did not answer in time";
    default:
      return nullptr;
  }
}

const char* sErrnoCause(aOpenStep step, int code) {
  switch (code) {
    case EBUSY:
      return "the device is busy (another process has it open)";
    case EACCES:
    case EPERM:
      return step == aOpenStepConnectSocket ? "permission denied (the connection is not allowed)"
                                            : "permission denied (no access to the device node)";
    case ENODEV:
    case ENXIO:
      return "the device is gone";
    case ENOENT:
      return "no such device node";
    case ECONNREFUSED:
      return "connection refused";
    case EHOSTUNREACH:
      return "no route to the module (host unreachable)";
    case ENETUNREACH:
      return "no route to the module (network unreachable)";
    case ECANCELED:
      return "the open was interrupted (the link is closing)";
    default:
      return nullptr;
  }
}

size_t sFormat(char* text, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

size_t sFormat(char* text, size_t size, const char* format, ...) {
  char none[1];
  if (!text || size == 0) {
    text = none;
    size = sizeof none;
  }
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, size, format, args);
  va_end(args);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

}  // namespace

void aOpenFailure_Note(aOpenStep step, aOpenCause cause, int code, uint32_t ms) {
  tLast = aOpenFailure{step, cause, code, ms};
  const uint32_t topics = aDebugLink | (sIsUsbStep(step) ? uint32_t{aDebugUSB} : 0u);
  if (!aDebug_On(topics))
    return;
  char why[256];
  char raw[64];
  aOpenFailure_Describe(tLast, why, sizeof why);
  aOpenFailure_CodeText(tLast, raw, sizeof raw);
  aDebug_Trace(topics, "link open failed %s: %s%s%s", aOpenFailure_StepText(step), why, raw[0] ? " - " : "", raw);
}

bool aOpenFailure_Last(aOpenFailure* failure) {
  if (failure)
    *failure = tLast;
  return tLast.step != aOpenStepNone;
}

void aOpenFailure_Clear() {
  tLast = aOpenFailure{};
}

void aOpenFailure_Put(const aOpenFailure& failure) {
  tLast = failure;
}

const char* aOpenFailure_StepText(aOpenStep step) {
  switch (step) {
    case aOpenStepNone:
      return "";
    case aOpenStepListDevices:
      return "listing the USB devices";
    case aOpenStepReadSerial:
      return "opening a USB device to read its serial number";
    case aOpenStepFindInterface:
      return "finding the module's USB interface";
    case aOpenStepClaimInterface:
      return "claiming the USB interface";
    case aOpenStepOpenNode:
      return "opening the kernel driver's node";
    case aOpenStepConnectSocket:
      return "connecting the TCP socket";
    case aOpenStepOpenSerial:
      return "opening the serial port";
    case aOpenStepSetUpSerial:
      return "setting up the serial port";
    case aOpenStepSyncLink:
      return "synchronising the link";
    case aOpenStepStartLink:
      return "waiting for the link to run";
  }
  return "";
}

size_t aOpenFailure_Describe(const aOpenFailure& failure, char* text, size_t size) {
  // Opening a device only to read its serial number happens before it is
  // known which module it is: say so rather than blame the module asked for.
  const char* prefix = failure.step == aOpenStepReadSerial
                           ? "a device of the family could not be opened to read its serial number: "
                           : "";
  switch (failure.cause) {
    case aOpenCauseLibusb: {
      if (const char* known = sLibusbCause(failure.code))
        return sFormat(text, size, "%s%s", prefix, known);
      return sFormat(text, size, "%sUSB error (%s)", prefix, libusb_strerror(failure.code));
    }
    case aOpenCauseErrno: {
      if (failure.code == ETIMEDOUT && failure.ms)
        return sFormat(text, size, "%sno answer within %u ms", prefix, failure.ms);
      if (const char* known = sErrnoCause(failure.step, failure.code))
        return sFormat(text, size, "%s%s", prefix, known);
      const char* description = strerrordesc_np(failure.code);
      return description ? sFormat(text, size, "%s%s", prefix, description)
                         : sFormat(text, size, "%serror %d", prefix, failure.code);
    }
    case aOpenCauseNoAnswer:
      if (failure.step == aOpenStepSyncLink)
        return sFormat(text, size, "the module did not answer the link's handshake within %u ms", failure.ms);
      if (failure.step == aOpenStepStartLink)
        return sFormat(text, size, "the link did not come up within %u ms", failure.ms);
      return sFormat(text, size, "no answer within %u ms", failure.ms);
    case aOpenCauseNone:
      break;
  }
  switch (failure.step) {
    case aOpenStepNone:
      return sFormat(text, size, "%s", "");
    case aOpenStepFindInterface:
      return sFormat(text, size, "the device has no interface of the family with both bulk endpoints");
    case aOpenStepSyncLink:
      return sFormat(text, size, "the module did not answer the link's handshake");
    case aOpenStepStartLink:
      return sFormat(text, size, "the link did not come up");
    default:
      return sFormat(text, size, "failed %s", aOpenFailure_StepText(failure.step));
  }
}

size_t aOpenFailure_CodeText(const aOpenFailure& failure, char* text, size_t size) {
  switch (failure.cause) {
    case aOpenCauseLibusb:
      return sFormat(text, size, "%s (%d)", libusb_error_name(failure.code), failure.code);
    case aOpenCauseErrno: {
      const char* name = strerrorname_np(failure.code);
      return sFormat(text, size, "%s (%d)", name ? name : "errno", failure.code);
    }
    case aOpenCauseNoAnswer:
    case aOpenCauseNone:
      break;
  }
  return sFormat(text, size, "%s", "");
}
