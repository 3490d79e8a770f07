// Linked into sanitizer builds of the filter: libcups keeps a small option
// list alive in its PPD cache when a job carries print-color-mode, which
// LeakSanitizer would otherwise report as the filter's own leak and turn
// into a failed job.
extern "C" const char* __lsan_default_suppressions() { return "leak:_ppdCacheCreateWithPPD\n"; }
