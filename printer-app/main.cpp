// labelfilter-printer-app: ESC/POS receipt printers as driverless IPP
// Everywhere printers. PAPPL's main loop gives the whole command line
// (server, add, submit, modify, ...); the drivers are in EscposDriver.cpp.

#include <csignal>
#include <cstring>
#include <string>

#include "EscposDriver.h"
#include "Guard.h"
#include "JobSettings.h"
#include "Server.h"
#include "SocketDevice.h"
#include "Strings.h"

namespace {

// PAPPL 1.3 shows no footer when given none, but crashes on every web page.
constexpr const char* kFooter =
    "labelfilter printer application: ESC/POS receipt printers as IPP Everywhere printers.";

// Localised labels for the vendor attributes, added when the server starts:
// the application's strings, and the options' labels from their table.
pappl_system_t* System(int num_options, cups_option_t* options, void* data) {
  pappl_system_t* system = CreateSystem(num_options, options, data);
  // PAPPL keeps the pointer, not a copy.
  static const std::string strings = kEnglishStrings + OptionStrings();
  if (system) papplSystemAddStringsData(system, "/en.strings", "en", strings.c_str());
  return system;
}

}  // namespace

int main(int argc, char* argv[]) {
  // PAPPL writes to printer sockets with plain write(): a printer that drops
  // the connection would otherwise kill the whole server.
  std::signal(SIGPIPE, SIG_IGN);
  AddSocketScheme();
  if (argc > 1 && std::strcmp(argv[1], "devices") == 0 && DnssdBrowsingAborts())
    return ListDevicesWithoutDnssd(argc, argv);
  return papplMainloop(argc, argv, LABELFILTER_VERSION, kFooter, kNumEscposDrivers, kEscposDrivers,
                       Guarded<EscposAutoAdd>, Guarded<EscposDriverCallback>, nullptr, nullptr, Guarded<System>, nullptr,
                       nullptr);
}
