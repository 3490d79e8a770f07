// Nothing stops the server for good.
// - systemd's watchdog (Type=notify, WatchdogSec=): the server says it is
//   ready, then keeps saying it is alive from a timer of PAPPL's main loop,
//   which runs only while the loop turns and the system's lock can be taken.
//   A hung server stops saying so, and systemd restarts it. Outside systemd
//   (no NOTIFY_SOCKET) nothing is sent.
// - State saving apart from the server's locks: PAPPL 1.3's
//   papplSystemSaveState() holds the system's lock while it waits for each
//   printer's, and a PWG or Apple raster job turned away as busy
//   (_papplJobCopyDocumentData(), job-ipp.c) holds its printer's and job's
//   locks while it waits for the system's: the two met, the server hung for
//   ever. The save runs in a child process, on a copy of the server taken
//   when it starts, so that the server itself never takes those locks; the
//   main loop waits for the child (a few milliseconds), and a child stuck on
//   a lock held when it was forked is killed and the save done again.
#pragma once

#include <pappl/pappl.h>

// Starts the watchdog and the timer that finishes saves; call before the
// server runs.
void StartLiveness(pappl_system_t* system);

// `save` run in a child process (see above); whether it saved.
bool SaveApart(pappl_system_t* system, bool (*save)(pappl_system_t*, void*), void* data);

// papplSystemSetSaveCallback's callback for `Save`.
template <bool (*Save)(pappl_system_t*, void*)>
bool SaveOutsideLocks(pappl_system_t* system, void* data) {
  return SaveApart(system, Save, data);
}
