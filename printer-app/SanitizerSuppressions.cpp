// Linked into sanitizer builds of the application only. What PAPPL 1.3.1
// itself keeps to the end of the process: the options its main loop parses
// (cupsAddOption), the footer it copies (papplSystemSetFooterHTML), the
// UUID it replaces when the state is loaded (papplSystemSetUUID) and the
// record of a timer (papplSystemAddTimerCallback: PAPPL never frees it,
// neither when the callback ends it nor at exit). With those suppressed,
// any leak the server reports at exit is the application's own, and the
// tests fail on it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:cupsAddOption\nleak:papplSystemSetFooterHTML\nleak:papplSystemSetUUID\nleak:papplSystemAddTimerCallback\n";
}
