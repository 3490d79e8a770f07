// Real-time status of ESC/POS printers: DLE EOT n (10 04 n) for n = 1..4,
// each answered with one byte. Asked on socket:// links only, between whole
// commands of our own streams (never inside GS v 0 picture data, where 10 04
// may be pixels). A printer that does not answer has an unknown status: no
// reason is set, and a job stops asking after the first silence.
#pragma once

#include <pappl/pappl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "PagePipeline.h"

// The printer-state-reasons the driver sets and clears; no others are touched.
inline constexpr pappl_preason_t kStatusReasons = static_cast<pappl_preason_t>(
    PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_LOW | PAPPL_PREASON_COVER_OPEN | PAPPL_PREASON_OFFLINE |
    PAPPL_PREASON_OTHER);

struct PrinterStatus {
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  bool stopped = false;  // the printer does not print now: a job waits
  std::string text;      // for the job's state message while it waits
};

// The four answers to DLE EOT 1, 2, 3 and 4, in that order; nullopt when one
// of them is not a status byte (bits 1 and 4 set, bits 0 and 7 clear).
std::optional<PrinterStatus> DecodeStatus(std::span<const uint8_t, 4> answers);

// The printer's device URI, copied ("" when it has none).
std::string DeviceUri(pappl_printer_t* printer);

// A device of its own for a short exchange with the printer between jobs (a
// status query, identify), opened on `uri` under `name`; null when it cannot
// be opened. Not papplPrinterOpenDevice(): in PAPPL 1.3 that device becomes
// the printer's, which the end of a job on another thread closes when no
// job is active (freeing it under its user), and papplPrinterCloseDevice()
// can close the device of a job that has just started.
using OwnDevice = std::unique_ptr<pappl_device_t, decltype(&papplDeviceClose)>;
OwnDevice OpenOwnDevice(pappl_printer_t* printer, const std::string& uri, const char* name);

// PAPPL's status callback: asks an idle printer and sets its reasons.
bool PrinterStatusCallback(pappl_printer_t* printer);

// The device sink of a job: the stream goes out as it comes, and at the
// starts of GS v 0 bands the printer is asked now and then; while it is out
// of paper (or otherwise stopped) the job waits there, cancellable.
ByteSink StatusWatchingSink(pappl_job_t* job, pappl_device_t* device);

// For data that is sent as it is: one question before it, and the wait while
// the printer is stopped. False when the job was cancelled while waiting or
// the query could not be sent.
bool WaitUntilPrinterReady(pappl_job_t* job, pappl_device_t* device);
