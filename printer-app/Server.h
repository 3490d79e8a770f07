// The system object of `labelfilter-printer-app server`.
#pragma once

#include <pappl/pappl.h>

inline constexpr const char* kAppName = "labelfilter-printer-app";

// papplMainloop's system callback: PAPPL's own server options, plus
// "state-file", and the application's image filter, which can only be
// registered on a system that is not running yet.
pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void* data);

// Whether the server is on its way down: a Shutdown-System request, or a
// SIGTERM or SIGINT. Jobs that wait for the printer stop waiting then.
bool ServerStopping(pappl_system_t* system);

// PAPPL before 1.4 aborts when it browses DNS-SD without avahi-daemon.
bool DnssdBrowsingAborts();

// "devices" without DNS-SD browsing, where browsing would abort.
int ListDevicesWithoutDnssd(int argc, char* argv[]);
