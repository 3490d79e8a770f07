#include "Server.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <strings.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "EscposDriver.h"
#include "Guard.h"
#include "Liveness.h"
#include "ReceiptPage.h"
#include "StateFile.h"

namespace {

const char* Option(const char* name, int num_options, cups_option_t* options, const char* fallback = nullptr) {
  const char* value = cupsGetOption(name, num_options, options);
  return value && *value ? value : fallback;
}

pappl_loglevel_t LogLevel(const char* name) {
  constexpr std::pair<const char*, pappl_loglevel_t> kLevels[] = {{"debug", PAPPL_LOGLEVEL_DEBUG},
                                                                 {"info", PAPPL_LOGLEVEL_INFO},
                                                                 {"warn", PAPPL_LOGLEVEL_WARN},
                                                                 {"error", PAPPL_LOGLEVEL_ERROR},
                                                                 {"fatal", PAPPL_LOGLEVEL_FATAL}};
  for (auto [n, level] : kLevels)
    if (name && std::strcmp(name, n) == 0) return level;
  return PAPPL_LOGLEVEL_WARN;
}

pappl_soptions_t ServerOptions(const char* list) {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (!list) return options;
  constexpr std::pair<const char*, pappl_soptions_t> kWords[] = {
      {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST}, {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET},
      {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER}, {"web-log", PAPPL_SOPTIONS_WEB_LOG},
      {"web-network", PAPPL_SOPTIONS_WEB_NETWORK}, {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE},
      {"web-security", PAPPL_SOPTIONS_WEB_SECURITY}, {"web-tls", PAPPL_SOPTIONS_WEB_TLS},
      {"no-tls", PAPPL_SOPTIONS_NO_TLS}};
  std::string words = list;
  for (char* save = nullptr, *w = strtok_r(words.data(), ",", &save); w; w = strtok_r(nullptr, ",", &save)) {
    if (std::strcmp(w, "none") == 0) options = PAPPL_SOPTIONS_MULTI_QUEUE;
    if (std::strcmp(w, "no-multi-queue") == 0) options &= ~PAPPL_SOPTIONS_MULTI_QUEUE;
    for (auto [name, bit] : kWords)
      if (std::strcmp(w, name) == 0) options |= bit;
  }
  return options;
}

// Where PAPPL's own main loop keeps the state: /var/lib for root, the home
// directory for everyone else.
std::string DefaultStateFile() {
  if (getuid() == 0) return std::string("/var/lib/") + kAppName + ".state";
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "/tmp") + "/." + kAppName + ".conf";
}

// The state file name must outlive the system: PAPPL keeps the pointer.
std::string StateFile;

bool SaveState(pappl_system_t* system, void*) { return SaveStateAtomically(system, StateFile); }

bool CheckDefaults(pappl_system_t* system, void*) {
  ResetUnsupportedDefaults(system);
  return true;  // every second
}

// Whether a listen-hostname reaches beyond this machine.
bool BeyondLoopback(const char* listen) {
  constexpr const char* kLoopback[] = {"localhost", "::1", "[::1]"};
  for (const char* name : kLoopback)
    if (strcasecmp(listen, name) == 0) return false;
  return std::strncmp(listen, "127.", 4) != 0;
}

// The web interface's administrator password, from the first line of a file
// only root can read (a password on the command line shows in `ps`).
// PAPPL keeps its hash in the state file; the web pages that change
// anything then ask for it. False when the file cannot be read.
bool SetAdminPassword(pappl_system_t* system, const char* file) {
  std::ifstream in(file);
  std::string password;
  if (!std::getline(in, password)) return false;
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) return false;
  char hash[100];
  papplSystemSetPassword(system, papplSystemHashPassword(system, nullptr, password.c_str(), hash, sizeof hash));
  return true;
}

#if LABELFILTER_PAPPL_VERSION < 104
// PAPPL 1.3's "Add Printer" page lists DNS-SD devices and takes the whole
// server down when avahi-daemon is not running. Without avahi the page is
// replaced by one that says how to add a printer instead.
bool AddPrinterPage(pappl_client_t* client, void*) {
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "text/html", 0, 0)) return false;
  papplClientHTMLHeader(client, "Add Printer", 0);
  papplClientHTMLPrintf(client,
                        "<div class=\"content\"><h1 class=\"title\">Add Printer</h1>"
                        "<p>Device discovery needs avahi-daemon, which is not running. Add the printer from a "
                        "shell instead:</p><pre>%s add -d receipt -m escpos-80mm-203dpi -v "
                        "socket://192.168.1.50</pre></div>\n",
                        kAppName);
  papplClientHTMLFooter(client);
  return true;
}
#endif

// Documents sent as application/octet-stream that PAPPL cannot type: data
// that starts with an ESC/POS command (ESC or GS, as ESC @ does) is the
// printer's own, and goes out as it is.
const char* TypeEscpos(const unsigned char* header, size_t size, void*) {
  return size > 0 && (header[0] == 0x1B || header[0] == 0x1D) ? kEscposFormat : nullptr;
}

bool PrintDevice(const char* info, const char* uri, const char* id, void* data) {
  if (*static_cast<bool*>(data))
    std::printf("%s\n    %s\n    %s\n", uri, info, id);
  else
    std::printf("%s\n", uri);
  return false;
}

void DeviceError(const char* message, void*) { std::fprintf(stderr, "%s: %s\n", kAppName, message); }

// PAPPL 1.3 notes a SIGTERM in a variable of its own, then waits up to a
// minute for the jobs in progress: a job waiting for paper would hold the
// stopping server that long. Once the server runs (its handlers are in place
// then), its handler is wrapped so that jobs see the stop too.
std::atomic<bool> StopSignalled = false;
void (*PapplStopHandler)(int) = nullptr;

void NoteStopSignal(int sig) {
  StopSignalled = true;
  if (PapplStopHandler) PapplStopHandler(sig);
}

bool WrapStopSignals(pappl_system_t*, void*) {
  for (int sig : {SIGTERM, SIGINT}) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) ||
        current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN || current.sa_handler == NoteStopSignal)
      continue;
    PapplStopHandler = current.sa_handler;  // the same function for both
    struct sigaction wrapped = current;
    wrapped.sa_handler = NoteStopSignal;
    sigaction(sig, &wrapped, nullptr);
  }
  return false;  // once
}

}  // namespace

bool ServerStopping(pappl_system_t* system) { return StopSignalled || papplSystemIsShutdown(system); }

bool DnssdBrowsingAborts() {
#if LABELFILTER_PAPPL_VERSION < 104
  struct stat info;
  return stat("/run/avahi-daemon/socket", &info) != 0 && stat("/var/run/avahi-daemon/socket", &info) != 0;
#else
  return false;
#endif
}

int ListDevicesWithoutDnssd(int argc, char* argv[]) {
  bool verbose = false;
  for (int i = 2; i < argc; ++i) verbose |= std::strcmp(argv[i], "--verbose") == 0 || std::strcmp(argv[i], "-v") == 0;
  std::fprintf(stderr, "%s: avahi-daemon is not running: network printers found by DNS-SD are not listed.\n",
               kAppName);
  papplDeviceList(PAPPL_DEVTYPE_ALL & ~PAPPL_DEVTYPE_DNS_SD, Guarded<PrintDevice>, &verbose, Guarded<DeviceError>, nullptr);
  return 0;
}

pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void*) {
  const char* portText = Option("server-port", num_options, options);
  const int port = portText ? std::atoi(portText) : 8000 + static_cast<int>(getuid() % 1000);
  pappl_system_t* system = papplSystemCreate(
      ServerOptions(Option("server-options", num_options, options)), Option("server-name", num_options, options, kAppName),
      port, "_print,_universal", Option("spool-directory", num_options, options),
      Option("log-file", num_options, options, "-"), LogLevel(Option("log-level", num_options, options)),
      Option("auth-service", num_options, options), false);
  if (!system) return nullptr;
  // PAPPL starts a new log at 1 MB and keeps one old one; a long run that is
  // to be examined afterwards (a soak) keeps it whole with 0.
  if (const char* size = Option("log-max-size", num_options, options))
    papplSystemSetMaxLogSize(system, static_cast<size_t>(std::strtoull(size, nullptr, 10)));

  // Loopback only unless told otherwise: a receipt printer has no business
  // being shared with the whole network by default.
  const char* listen = Option("listen-hostname", num_options, options, "localhost");
  papplSystemAddListeners(system, std::strcmp(listen, "*") == 0 ? nullptr : listen);
  if (const char* host = Option("server-hostname", num_options, options)) papplSystemSetHostName(system, host);
  if (const char* group = Option("admin-group", num_options, options)) papplSystemSetAdminGroup(system, group);

  // The printer callback adds labelfilter's page to every printer, also to
  // those the state file brings back below.
  papplSystemSetPrinterDrivers(system, kNumEscposDrivers, kEscposDrivers, Guarded<EscposAutoAdd>,
                               Guarded<AddReceiptPage>, Guarded<EscposDriverCallback>, system);
  papplSystemAddMIMEFilter(system, "image/png", kEscposFormat, Guarded<EscposImageFilter>, nullptr);
  papplSystemAddMIMEFilter(system, "image/jpeg", kEscposFormat, Guarded<EscposImageFilter>, nullptr);
  papplSystemAddMIMEFilter(system, "application/pdf", kEscposFormat, Guarded<EscposPdfFilter>, nullptr);
  for (const char* raster : {"image/pwg-raster", "image/urf"})
    papplSystemAddMIMEFilter(system, raster, kEscposFormat, Guarded<EscposRasterRepeat>, nullptr);
  papplSystemSetMIMECallback(system, Guarded<TypeEscpos>, nullptr);
#if LABELFILTER_PAPPL_VERSION < 104
  if (DnssdBrowsingAborts()) papplSystemAddResourceCallback(system, "/addprinter", "text/html", Guarded<AddPrinterPage>, nullptr);
#endif

  StateFile = Option("state-file", num_options, options, DefaultStateFile().c_str());
  LoadStateChecked(system, StateFile);
  // Saved apart from the server's locks, and watched by systemd: see Liveness.h.
  papplSystemSetSaveCallback(system, Guarded<SaveOutsideLocks<SaveState>>, nullptr);
  StartLiveness(system);
  papplSystemAddTimerCallback(system, 0, 1, Guarded<CheckDefaults>, nullptr);

  if (const char* file = Option("admin-password-file", num_options, options); file && !SetAdminPassword(system, file)) {
    std::fprintf(stderr, "%s: cannot read the admin password from %s\n", kAppName, file);
    papplSystemDelete(system);
    return nullptr;
  }
  char hash[100] = "";
  papplSystemGetPassword(system, hash, sizeof hash);
  if (BeyondLoopback(listen) && !hash[0] && !Option("auth-service", num_options, options)) {
    const char* warning =
        "WARNING: listening beyond this machine without an admin password: anyone on the network can change "
        "the printers' settings, cancel jobs and delete printers on the web pages. Start with "
        "-o admin-password-file=FILE (see README).";
    std::fprintf(stderr, "%s: %s\n", kAppName, warning);
    papplLog(system, PAPPL_LOGLEVEL_WARN, "%s", warning);
  }
  papplSystemAddTimerCallback(system, 0, 0, Guarded<WrapStopSignals>, nullptr);

  std::printf("%s: listening on http://%s:%d/\n", kAppName, listen, papplSystemGetHostPort(system));
  std::fflush(stdout);
  return system;
}
