// Linked into sanitizer builds of the filter. When a job carries
// print-color-mode (cupsd adds it), cupsMarkOptions builds a PPD cache in
// libcups that keeps a 16-byte option alive after ppdClose. libcups has no
// frame pointers, so the report's stack ends at cupsAddOption. Without this,
// LeakSanitizer would report the leak as the filter's own and the job would
// fail.
extern "C" const char* __lsan_default_suppressions() { return "leak:cupsAddOption\n"; }
