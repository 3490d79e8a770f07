#include "ReceiptPage.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "EscPosDecoder.h"
#include "Guard.h"
#include "JobSettings.h"

namespace {

// --- The last job of each printer ---

struct LastJob {
  int jobId = 0;
  size_t sent = 0;  // bytes the printer took
  Stream bytes;     // all of them, unless there were more than kPreviewMaxBytes
  bool Kept() const { return sent <= kPreviewMaxBytes; }
};

// Jobs run in PAPPL's job threads and pages are served in its client
// threads: the table is shared, and its entries are never changed in place.
std::mutex lastJobsMutex;
std::map<int, std::shared_ptr<const LastJob>> lastJobs;  // by printer ID, never reused

std::shared_ptr<const LastJob> LastJobOf(pappl_printer_t* printer) {
  std::lock_guard lock(lastJobsMutex);
  auto it = lastJobs.find(papplPrinterGetID(printer));
  return it == lastJobs.end() ? nullptr : it->second;
}

// One job's bytes while it prints; they become the printer's last job when
// the job lets go of its sink.
class Recording {
 public:
  Recording(int printerId, int jobId) : printerId_(printerId) { job_.jobId = jobId; }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;
  ~Recording() {
    std::lock_guard lock(lastJobsMutex);
    lastJobs[printerId_] = std::make_shared<const LastJob>(std::move(job_));
  }

  void Add(std::span<const uint8_t> bytes) {
    job_.sent += bytes.size();
    if (!job_.Kept())
      Stream().swap(job_.bytes);  // the memory goes back now, not when the job ends
    else
      job_.bytes.insert(job_.bytes.end(), bytes.begin(), bytes.end());
  }

 private:
  int printerId_;
  LastJob job_;
};

// The paper the last job makes, or why there is no picture of it.
struct Drawn {
  std::optional<escpos::Paper> paper;
  std::string why;
};

Drawn Draw(const LastJob& job) {
  if (job.sent == 0) return {std::nullopt, "it sent nothing to the printer."};
  if (!job.Kept())
    return {std::nullopt, "it sent " + std::to_string(job.sent) + " bytes, more than the " +
                              std::to_string(kPreviewMaxBytes >> 20) + " MiB the preview keeps."};
  escpos::Paper paper = escpos::decode(job.bytes);
  if (paper.error)
    return {std::nullopt, "byte " + std::to_string(paper.error->offset) + ": " + paper.error->message + "."};
  if (std::string why = escpos::pngRefusal(paper); !why.empty()) return {std::nullopt, why + "."};
  return {std::move(paper), {}};
}

// --- The page ---

constexpr const char* kPageName = "labelfilter";

// The printer default of a vendor option as text, or the driver's default.
std::string DefaultOf(ipp_t* attrs, const JobOption& option) {
  const std::string name = std::string(option.ippName) + "-default";
  ipp_attribute_t* attr = ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO);
  if (!attr) return std::string(option.ippDefault);
  char text[256];
  ippAttributeString(attr, text, sizeof text);
  return text;
}

// Options from libcups, freed with it.
struct Options {
  int count = 0;
  cups_option_t* list = nullptr;
  Options() = default;
  Options(const Options&) = delete;
  Options& operator=(const Options&) = delete;
  ~Options() { cupsFreeOptions(count, list); }
};

// A label from the application's strings: "cash-drawer", "cash-drawer.after".
const char* Label(pappl_client_t* client, const std::string& key) {
  return papplClientGetLocString(client, key.c_str());
}

// Applies a posted form to the printer's defaults and returns the banner. A
// form that is not the page's own, or names a value an option does not
// offer, changes nothing.
std::string ApplyForm(pappl_client_t* client, pappl_printer_t* printer) {
  Options form;
  form.count = papplClientGetForm(client, &form.list);
  std::string why;
  if (form.count == 0)
    why = "Invalid form data.";
  else if (!papplClientIsValidForm(client, form.count, form.list))
    why = "Invalid form submission.";
  Options vendor;
  for (const JobOption* option : VendorOptions()) {
    if (!why.empty()) break;
    const std::string name(option->ippName);
    const char* value = cupsGetOption(name.c_str(), form.count, form.list);
    // A checkbox left empty is not sent at all.
    if (!value && option->kind != JobOption::Kind::Boolean) continue;
    if (const std::optional<std::string> offered = OfferedIppValue(*option, value ? value : "false"))
      vendor.count = cupsAddOption(name.c_str(), offered->c_str(), vendor.count, &vendor.list);
    else
      why = std::string(Label(client, name)) + ": \"" + std::string(value).substr(0, 40) +
            "\" is not one of the choices; nothing was changed.";
  }
  if (why.empty()) {
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    if (papplPrinterSetDriverDefaults(printer, &data, vendor.count, vendor.list))
      return papplClientGetLocString(client, "Changes saved.");
    why = "Bad printer defaults.";
  }
  papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Receipt options not changed: %s", why.c_str());
  return papplClientGetLocString(client, why.c_str());
}

// The form of the receipt options, showing the printer's defaults.
void PutOptions(pappl_client_t* client, pappl_printer_t* printer) {
  std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
  papplClientHTMLPrintf(client, "<h2 class=\"title\">%s</h2>\n", Label(client, "Receipt Options"));
  papplClientHTMLStartForm(client, papplClientGetURI(client), false);
  papplClientHTMLPuts(client, "<table class=\"form\"><tbody>\n");
  for (const JobOption* option : VendorOptions()) {
    const std::string name(option->ippName);
    const std::string current = DefaultOf(attrs.get(), *option);
    papplClientHTMLPrintf(client, "<tr><th><label for=\"%s\">%s:</label></th><td>", name.c_str(),
                          Label(client, name));
    switch (option->kind) {
      case JobOption::Kind::Choices:
        papplClientHTMLPrintf(client, "<select name=\"%s\" id=\"%s\">", name.c_str(), name.c_str());
        for (const OptionChoice& c : option->choices) {
          if (c.ipp.empty()) continue;
          const std::string keyword(c.ipp);
          papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", keyword.c_str(),
                                keyword == current ? " selected" : "", Label(client, name + "." + keyword));
        }
        papplClientHTMLPuts(client, "</select>");
        break;
      case JobOption::Kind::Number:
        papplClientHTMLPrintf(client,
                              "<input type=\"number\" name=\"%s\" id=\"%s\" min=\"%d\" max=\"%d\" value=\"%s\">",
                              name.c_str(), name.c_str(), option->lower, option->upper, current.c_str());
        break;
      case JobOption::Kind::Boolean:
        papplClientHTMLPrintf(client, "<input type=\"checkbox\" name=\"%s\" id=\"%s\" value=\"true\"%s>", name.c_str(),
                              name.c_str(), current == "true" ? " checked" : "");
        break;
    }
    papplClientHTMLPuts(client, "</td></tr>\n");
  }
  papplClientHTMLPrintf(client,
                        "<tr><th></th><td><input type=\"submit\" value=\"%s\"></td></tr>\n</tbody></table></form>\n",
                        Label(client, "Save Changes"));
}

// The last job: its picture and summary, or why there is none.
void PutPreview(pappl_client_t* client, pappl_printer_t* printer) {
  papplClientHTMLPrintf(client, "<h2 class=\"title\">%s</h2>\n", Label(client, "Last Job"));
  const std::shared_ptr<const LastJob> job = LastJobOf(printer);
  if (!job) {
    papplClientHTMLPuts(client, "<p>No job has been printed since the server started.</p>\n");
    return;
  }
  const Drawn drawn = Draw(*job);
  if (!drawn.paper) {
    papplClientHTMLPrintf(client, "<p>Job %d has no preview: %s</p>\n", job->jobId, drawn.why.c_str());
    return;
  }
  char path[1024];
  papplPrinterGetPath(printer, kPageName, path, sizeof path);
  // The job in the address: a new job is a new picture to the browser.
  papplClientHTMLPrintf(client,
                        "<p>Job %d, %s bytes, as the printer makes it (dashed red lines are cuts):</p>\n"
                        "<p><img id=\"preview\" src=\"%s/preview.png?job=%d\" alt=\"Preview of job %d\" "
                        "style=\"max-width: 100%%; border: 1px solid #888;\"></p>\n<pre>%s</pre>\n",
                        job->jobId, std::to_string(job->sent).c_str(), path, job->jobId, job->jobId,
                        escpos::summary(*drawn.paper).c_str());
}

// GET shows the page; POST applies its form first.
bool ServePage(pappl_client_t* client, void* data) {
  auto* printer = static_cast<pappl_printer_t*>(data);
  if (!papplClientHTMLAuthorize(client)) return true;  // PAPPL has answered
  const std::string banner = papplClientGetMethod(client) == HTTP_STATE_POST ? ApplyForm(client, printer) : "";
  papplClientHTMLPrinterHeader(client, printer, "Receipt", 0, nullptr, nullptr);
  if (!banner.empty()) papplClientHTMLPrintf(client, "<div class=\"banner\">%s</div>\n", banner.c_str());
  // The header leaves a full-width column open; the page has two.
  papplClientHTMLPuts(client, "</div></div>\n<div class=\"row\"><div class=\"col-6\">\n");
  PutOptions(client, printer);
  papplClientHTMLPuts(client, "</div><div class=\"col-6\">\n");
  PutPreview(client, printer);
  papplClientHTMLPrinterFooter(client);
  return true;
}

// The last job's picture as a PNG; 404 when the page shows none.
bool ServePreview(pappl_client_t* client, void* data) {
  if (papplClientGetMethod(client) != HTTP_STATE_GET)
    return papplClientRespond(client, HTTP_STATUS_BAD_REQUEST, nullptr, nullptr, 0, 0);
  const std::shared_ptr<const LastJob> job = LastJobOf(static_cast<pappl_printer_t*>(data));
  const Drawn drawn = job ? Draw(*job) : Drawn{};
  std::vector<uint8_t> png;
  if (!drawn.paper || !escpos::encodePng(*drawn.paper, png).empty())
    return papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
  if (!papplClientRespond(client, HTTP_STATUS_OK, nullptr, "image/png", 0, png.size())) return false;
  http_t* http = papplClientGetHTTP(client);
  const bool written = httpWrite2(http, reinterpret_cast<const char*>(png.data()), png.size()) ==
                       static_cast<ssize_t>(png.size());
  return httpFlushWrite(http) >= 0 && written;
}

}  // namespace

ByteSink RecordLastJob(pappl_job_t* job, ByteSink sink) {
  auto recording = std::make_shared<Recording>(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
  return [recording, sink = std::move(sink)](std::span<const uint8_t> bytes) {
    if (!sink(bytes)) return false;
    recording->Add(bytes);
    return true;
  };
}

void AddReceiptPage(pappl_printer_t* printer, void*) {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  if (!(papplSystemGetOptions(system) & PAPPL_SOPTIONS_WEB_INTERFACE)) return;
  char path[1024];
  papplPrinterGetPath(printer, kPageName, path, sizeof path);
  papplSystemAddResourceCallback(system, path, "text/html", Guarded<ServePage>, printer);
  papplPrinterAddLink(printer, "Receipt", path, PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS);
  const std::string image = std::string(path) + "/preview.png";
  papplSystemAddResourceCallback(system, image.c_str(), "image/png", Guarded<ServePreview>, printer);
}

void ForgetLastJob(pappl_printer_t* printer, pappl_pr_driver_data_t*) {
  std::lock_guard lock(lastJobsMutex);
  lastJobs.erase(papplPrinterGetID(printer));
}
