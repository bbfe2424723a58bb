#pragma once
// Why the last link open failed. A link open answers with one aErr code,
// which says little to a person (a busy device, one without access and one
// that went all read as a failed connection above the stream); the step
// that failed and the system's own code are kept here instead, per thread:
// the thread that opens a link is the one that can ask afterwards. Each
// failure replaces the one before; success leaves it alone, so a caller
// clears it before the attempt it wants to explain.
//
// Every failure noted is also written as debug text (aDebug.h, topic
// aDebugLink, and aDebugUSB for USB steps).

#include <cstddef>
#include <cstdint>

// The step of a link open that failed.
enum aOpenStep : uint32_t {
  aOpenStepNone = 0,
  aOpenStepListDevices,     // listing the USB devices
  aOpenStepReadSerial,      // opening a device of the family to read its serial number
  aOpenStepFindInterface,   // finding the module's USB interface
  aOpenStepClaimInterface,  // claiming that interface
  aOpenStepOpenNode,        // opening the kernel driver's node
  aOpenStepConnectSocket,   // connecting the TCP socket
  aOpenStepOpenSerial,      // opening the serial port
  aOpenStepSetUpSerial,     // setting the serial port's line
  aOpenStepSyncLink,        // the link's handshake with the module
  aOpenStepStartLink,       // waiting for the link to run
};

// What the code of a failure is.
enum aOpenCause : uint32_t {
  aOpenCauseNone = 0,  // no code: the step's own text says it
  aOpenCauseErrno,     // an errno value; ETIMEDOUT with ms is a bounded wait that ran out
  aOpenCauseLibusb,    // a LIBUSB_ERROR_* code
  aOpenCauseNoAnswer,  // the module said nothing within ms
};

struct aOpenFailure {
  aOpenStep step = aOpenStepNone;
  aOpenCause cause = aOpenCauseNone;
  int code = 0;
  uint32_t ms = 0;  // how long was waited, where a wait ran out
};

// Notes a failure of this thread's link open (and traces it).
void aOpenFailure_Note(aOpenStep step, aOpenCause cause, int code = 0, uint32_t ms = 0);

// This thread's last failure; false (and *failure cleared) when none was
// noted since the last clear.
bool aOpenFailure_Last(aOpenFailure* failure);

void aOpenFailure_Clear();

// Puts back a record taken with aOpenFailure_Last (a cleared one clears),
// without tracing it again: for an open that noted failures on its way to
// success, which explain nothing.
void aOpenFailure_Put(const aOpenFailure& failure);

// The step as a short phrase ("claiming the USB interface").
const char* aOpenFailure_StepText(aOpenStep step);

// The failure as a person reads it ("the device is busy (another process
// has claimed it)"), into text (always terminated when size > 0). Returns
// the length of the whole text, as snprintf does.
size_t aOpenFailure_Describe(const aOpenFailure& failure, char* text, size_t size);

// The raw code as a name and number ("LIBUSB_ERROR_BUSY (-6)", "ECONNREFUSED
// (111)"), into text; an empty text for a failure without a code.
size_t aOpenFailure_CodeText(const aOpenFailure& failure, char* text, size_t size);
