// PAPPL is C: an exception that reaches it ends the whole server, and every
// printer on it with the job at hand. Every function PAPPL calls is handed to
// it as Guarded<Function>, which turns anything thrown below into what that
// caller understands: an aborted job with its reason as the job's message,
// a logged error and a false or null answer, an error page. Strings that
// PAPPL and libcups hand over may be null; Text() makes them safe to build a
// std::string from.
#pragma once

#include <pappl/pappl.h>

#include <exception>
#include <string>
#include <type_traits>

// "" for a null string from PAPPL or libcups.
inline const char* Text(const char* s) { return s ? s : ""; }

// What was thrown, in words.
std::string DescribeException(const std::exception_ptr& thrown);

// Where the report of an internal error goes, chosen by the first argument
// of the callback that failed.
void ReportInternalError(pappl_job_t* job, const std::string& why);
void ReportInternalError(pappl_printer_t* printer, const std::string& why);
void ReportInternalError(pappl_system_t* system, const std::string& why);
void ReportInternalError(pappl_client_t* client, const std::string& why);
void ReportInternalError(pappl_device_t* device, const std::string& why);
void ReportInternalErrorToStderr(const std::string& why);
// Callbacks with nothing to report through (device listing, typing a
// document, the system's creation): standard error, PAPPL's log when it runs
// as a server.
template <typename Anything>
void ReportInternalError(Anything, const std::string& why) {
  ReportInternalErrorToStderr(why);
}

template <auto Callback>
struct GuardedCallback;

template <typename Result, typename First, typename... Rest, Result (*Callback)(First, Rest...)>
struct GuardedCallback<Callback> {
  static Result Call(First first, Rest... rest) noexcept {
    try {
      return Callback(first, rest...);
    } catch (...) {
      try {
        ReportInternalError(first, DescribeException(std::current_exception()));
      } catch (...) {  // not even the report could be made (no memory): the answer below still is
      }
      if constexpr (std::is_integral_v<Result> && std::is_signed_v<Result>)
        return Result{-1};  // byte counts
      else if constexpr (!std::is_void_v<Result>)
        return Result{};  // false, null

    }
  }
};

// `Callback` with nothing thrown past it: false, null, -1 or nothing is
// returned after a failure.
template <auto Callback>
inline constexpr auto Guarded = &GuardedCallback<Callback>::Call;
