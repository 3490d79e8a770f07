// The server's state file and the printers' vendor defaults in it. PAPPL 1.3
// rewrites the file in place (a full disk or a crash leaves half a file),
// drops every printer after a line it cannot read without saying which, and
// stores any value Set-Printer-Attributes or its "Printing Defaults" form
// send for a vendor default, also one the driver does not offer.
#pragma once

#include <pappl/pappl.h>

#include <string>

// Loads the state, then logs every printer the file names that did not come
// back, and every vendor default it names that was not restored as written.
void LoadStateChecked(pappl_system_t* system, const std::string& path);

// Writes the state to a new file beside `path`, makes sure it reached the
// disk whole, and only then renames it over `path`: whatever fails, the last
// good file stays.
bool SaveStateAtomically(pappl_system_t* system, const std::string& path);

// Sets every vendor default that is not one of its -supported values back to
// the driver's default, with a log line. PAPPL 1.3 has no hook to refuse
// such a value before it is stored, so this runs every second and before
// every save.
void ResetUnsupportedDefaults(pappl_system_t* system);
