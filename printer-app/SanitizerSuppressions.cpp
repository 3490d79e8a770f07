// Linked into sanitizer builds of the application only. What PAPPL 1.3.1
// itself keeps to the end of the process: the options its main loop parses
// (cupsAddOption), the footer it copies (papplSystemSetFooterHTML), the UUID
// it replaces when the state is loaded (papplSystemSetUUID), the timers
// still registered when the server stops (papplSystemDelete removes them
// from their array while it walks it, and skips some), and a printer's
// device, with what the socket device keeps in it, when the server stops
// between a job leaving the active jobs and its thread closing the device
// (PAPPL waits for the active jobs only, and never closes a printer's device
// itself). With those suppressed, any leak the server reports at exit is the
// application's own, and the tests fail on it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:cupsAddOption\nleak:papplSystemSetFooterHTML\nleak:papplSystemSetUUID\n"
         "leak:papplSystemAddTimerCallback\nleak:papplDeviceOpen\nleak:SocketStartJob\n";
}
