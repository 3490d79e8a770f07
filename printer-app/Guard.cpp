#include "Guard.h"

#include <cstdio>
#include <new>

std::string DescribeException(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown exception";
  }
}

// The job ends aborted (its callback answers false), and whoever sent it sees why.
void ReportInternalError(pappl_job_t* job, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Internal error: %s", why.c_str());
  papplJobSetMessage(job, "internal error: %s", why.c_str());
}

void ReportInternalError(pappl_printer_t* printer, const std::string& why) {
  papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Internal error: %s", why.c_str());
}

void ReportInternalError(pappl_system_t* system, const std::string& why) {
  papplLog(system, PAPPL_LOGLEVEL_ERROR, "Internal error: %s", why.c_str());
}

// A page that failed before its answer started gets an error page; after
// that, the connection is closed (the callback answers false).
void ReportInternalError(pappl_client_t* client, const std::string& why) {
  papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Internal error: %s", why.c_str());
  const http_state_t state = httpGetState(papplClientGetHTTP(client));
  if (state == HTTP_STATE_GET || state == HTTP_STATE_POST || state == HTTP_STATE_POST_RECV)
    papplClientRespond(client, HTTP_STATUS_SERVER_ERROR, nullptr, nullptr, 0, 0);
}

void ReportInternalError(pappl_device_t* device, const std::string& why) {
  papplDeviceError(device, "Internal error: %s", why.c_str());
}

void ReportInternalErrorToStderr(const std::string& why) {
  std::fprintf(stderr, "labelfilter-printer-app: internal error: %s\n", why.c_str());
}
