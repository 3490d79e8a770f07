// ESC/POS receipt printers on PAPPL, one driver per row of the model table
// (core/Models.h). Pages arrive as 8-bit grey rows (PWG and Apple raster
// through PAPPL's raster callbacks, PNG, JPEG and PDF through our own
// filters); each whole page goes through the conversion core, so the bytes
// are those the CUPS filter sends for the same choices. ESC/POS documents go
// to the printer as they are.

#include "EscposDriver.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <unistd.h>

#include "CommandStream.h"
#include "DrawerKicks.h"
#include "Guard.h"
#include "ImageInput.h"
#include "JobTurns.h"
#include "JobSettings.h"
#include "Models.h"
#include "PdfInput.h"
#include "PrinterStatus.h"
#include "ReceiptJob.h"
#include "ReceiptPage.h"
#include "SocketDevice.h"
#include "StandardAttributes.h"
#include "TestPage.h"

namespace {

using Model = PrinterModel;

// The printer's row of the model table; a printer saved under a driver name
// no longer in the table prints as the default model.
const Model& ModelOf(pappl_printer_t* printer) {
  const char* driver = papplPrinterGetDriverName(printer);
  const Model* m = driver ? ModelByDriver(driver) : nullptr;
  return m ? *m : kDefaultModel;
}

// Media names of a model, kept for the life of the process: PAPPL keeps the
// pointers. The width is the printable width of the roll (AppMediaWidth: PAPPL
// truncates it to whole dots, so 72.08 mm gives exactly 576 at 203 dpi). The
// default, the third, is a 2 m page, which content-length printing turns into
// a receipt as long as what is on it.
constexpr int kDefaultMedia = 2;

std::string MediaName(const Model& m, const std::string& kind, uint32_t lengthMm) {
  const uint32_t width = AppMediaWidth(m);
  char name[128];
  std::snprintf(name, sizeof name, "%s_%u.%02ux%umm", kind.c_str(), width / 100, width % 100, lengthMm);
  return name;
}

const std::vector<std::string>& MediaOf(const Model& model) {
  static const std::vector<std::vector<std::string>> all = [] {
    std::vector<std::vector<std::string>> names;
    for (const Model& m : kModels) {
      const std::string roll = "om_" + std::to_string(m.rollMm) + "mm-receipt-";
      std::vector<std::string> media = {MediaName(m, "roll_max", 3000), MediaName(m, "roll_min", 25),
                                        MediaName(m, roll + "2m", 2000)};
      for (uint16_t length : m.appLengthsMm) media.push_back(MediaName(m, roll + std::to_string(length), length));
      names.push_back(std::move(media));
    }
    return names;
  }();
  return all[static_cast<size_t>(&model - kModels)];
}

// --- Options of a job ---

const char* ContentKeyword(pappl_content_t content) {
  switch (content) {
    case PAPPL_CONTENT_GRAPHIC: return "graphic";
    case PAPPL_CONTENT_PHOTO: return "photo";
    case PAPPL_CONTENT_TEXT: return "text";
    case PAPPL_CONTENT_TEXT_AND_GRAPHIC: return "text-and-graphic";
    default: return "auto";
  }
}

// PAPPL 1.3 hands the driver only the vendor values a job names itself; the
// printer's defaults (set with modify, the web page or Set-Printer-Attributes)
// are looked up here.
class VendorValues {
 public:
  VendorValues(pappl_printer_t* printer, const pappl_pr_options_t* options)
      : options_(options), defaults_(papplPrinterGetDriverAttributes(printer), ippDelete) {}

  std::optional<std::string> operator()(std::string_view name) const {
    const std::string key(name);
    if (const char* v = cupsGetOption(key.c_str(), options_->num_vendor, options_->vendor)) return v;
    if (!defaults_) return std::nullopt;
    ipp_attribute_t* attr = ippFindAttribute(defaults_.get(), (key + "-default").c_str(), IPP_TAG_ZERO);
    if (!attr) return std::nullopt;
    char text[256];
    ippAttributeString(attr, text, sizeof text);
    return std::string(text);
  }

 private:
  const pappl_pr_options_t* options_;
  std::shared_ptr<ipp_t> defaults_;  // shared: a lookup is copied into std::function
};

// `laidOut`: the application lays the page out itself (images), so the
// orientation is its to apply; raster pages come composed by the client.
JobSettings SettingsOf(pappl_job_t* job, const pappl_pr_options_t* options, bool laidOut) {
  StandardOptions standard;
  standard.printDarkness = options->print_darkness;
  standard.contentOptimize = ContentKeyword(options->print_content_optimize);
  if (laidOut) {
    const char* orientation = ippEnumString("orientation-requested", options->orientation_requested);
    if (orientation) standard.orientation = orientation;
  }
  standard.mediaTracking = options->media.tracking == PAPPL_MEDIA_TRACKING_MARK ? "mark" : "continuous";
  standard.trim = (options->finishings & PAPPL_FINISHINGS_TRIM) != 0;
  pappl_printer_t* printer = papplJobGetPrinter(job);
  JobSettings settings = SettingsForJob(standard, VendorValues(printer, options), UnitsOf(ModelOf(printer)));
  for (const std::string& note : settings.notes) papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s", note.c_str());
  return settings;
}

// Where a laid-out job's bytes go: to the device, with the printer's status
// asked between bands (a job waits there while the paper is out), and into
// the printer page's record of the last job.
ByteSink JobSink(pappl_job_t* job, pappl_device_t* device) {
  // Held by the sink: a write stalled by the printer ends when the job is cancelled.
  auto started = SocketStartJob(device, papplPrinterGetDeviceURI(papplJobGetPrinter(job)),
                                [job] { return papplJobIsCanceled(job); });
  return RecordLastJob(job, [started, sink = StatusWatchingSink(job, device)](std::span<const uint8_t> bytes) {
    return sink(bytes);
  });
}

// Ends a job that cannot go on: the message goes to the job's state message
// and to the log, and PAPPL aborts the job when the callback returns false.
bool Fail(pappl_job_t* job, const std::string& why) {
  if (papplJobIsCanceled(job)) return false;  // stopped while waiting for the printer: nothing failed
  papplJobSetMessage(job, "%s", why.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  return false;
}

// A failure while sending, with the device's own reason when it has one.
bool FailSending(pappl_job_t* job, pappl_device_t* device, const std::string& what) {
  const std::string why = SocketDeviceError(device, papplPrinterGetDeviceURI(papplJobGetPrinter(job)));
  return Fail(job, why.empty() ? what : what + ": " + why);
}

// The end of a job sent whole: flushed, and the printer still there.
bool EndSending(pappl_job_t* job, pappl_device_t* device) {
  papplDeviceFlush(device);
  if (SocketEndJob(device, papplPrinterGetDeviceURI(papplJobGetPrinter(job)))) return true;
  return FailSending(job, device, "the job did not reach the printer whole");
}

// The job's document. PAPPL 1.3 removes it when a Cancel-Job lands between
// the job's thread starting and the job being marked as processing, and then
// runs the job all the same: such a job ends as the cancel asked.
std::optional<std::string> DocumentOf(pappl_job_t* job) {
  if (const char* file = papplJobGetFilename(job)) return std::string(file);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Cancelled before it started: nothing was sent.");
  papplJobCancel(job);
  return std::nullopt;
}

// Copies of a job stop after the one being sent when the job is cancelled.
std::function<bool()> CancelCheck(pappl_job_t* job) {
  return [job] { return papplJobIsCanceled(job); };
}

// --- Raster documents (PWG, Apple) ---

struct RasterJob {
  ReceiptJob receipt;
  JobTurn turn;         // the printer is this job's from its first page to its end
  bool failed = false;  // a page was refused: the job ends without its job-end commands
};

RasterJob* RasterOf(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  JobTurn turn = JobTurn::Take(job);
  if (!turn.granted()) return turn.answer();
  const Model& model = ModelOf(papplJobGetPrinter(job));
  const JobSettings settings = SettingsOf(job, options, false);
  const uint32_t copies = static_cast<uint32_t>(std::max(options->copies, 1));
  auto raster = std::make_unique<RasterJob>(
      RasterJob{ReceiptJob(settings.settings, model.headDots, copies, JobSink(job, device), CancelCheck(job)),
                std::move(turn)});
  papplJobSetData(job, raster.release());  // EndJob takes it back
  return true;
}

// PAPPL 1.3 adopts a client's page header only when the page is 8 bits or
// more a pixel; a 1-bit page reaches the driver under PAPPL's own 8-bit
// header, with the client's packed rows, so its width and depth are lost and
// it would print as stripes. PAPPL's own header is exactly what
// papplJobCreatePrintOptions makes for the job, which a client's never is.
bool HeaderIsPapplsOwn(pappl_job_t* job, const cups_page_header2_t& header) {
  pappl_pr_options_t* own = papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), false);
  if (!own) return false;
  const bool same = std::memcmp(&own->header, &header, sizeof header) == 0;
  papplJobDeletePrintOptions(own);
  return same;
}

bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  RasterJob* raster = RasterOf(job);
  if (!raster) return false;  // the job did not start
  const auto& header = options->header;
  const uint32_t dpi = ModelOf(papplJobGetPrinter(job)).dpi;
  if (header.HWResolution[0] != dpi || header.HWResolution[1] != dpi)
    papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page at %ux%u dpi printed at %u dpi, dot for dot", header.HWResolution[0],
                header.HWResolution[1], dpi);
  const std::string page = "page " + std::to_string(raster->receipt.PagesSent() + 1);
  const std::string refusal =
      header.cupsBitsPerPixel != 8 ? page + " arrived with " + std::to_string(header.cupsBitsPerPixel) +
                                         " bits per pixel, not 8-bit grey"
      : HeaderIsPapplsOwn(job, header)
          ? page + " is not 8-bit grey (sgray_8), the only raster this printer takes"
          : raster->receipt.StartPage(header.cupsWidth, header.cupsHeight);
  raster->failed = !refusal.empty();
  return refusal.empty() || Fail(job, refusal);
}

bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned y, const unsigned char* line) {
  RasterJob* raster = RasterOf(job);
  if (!raster || !line) return false;
  raster->receipt.PutRow(y, {line, options->header.cupsBytesPerLine});
  return true;
}

bool EndPage(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device, unsigned) {
  RasterJob* raster = RasterOf(job);
  if (!raster) return false;
  std::string failure = raster->receipt.EndPage();
  raster->failed = !failure.empty();
  return failure.empty() || FailSending(job, device, failure);
}

bool EndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  // PAPPL ends the job here even after a page failed.
  std::unique_ptr<RasterJob> raster(RasterOf(job));
  papplJobSetData(job, nullptr);
  if (!raster || raster->failed) return false;
  std::string failure = raster->receipt.Finish();
  return raster->turn.End(failure.empty() ? EndSending(job, device) : FailSending(job, device, failure));
}

// --- ESC/POS sent as it is ---

// Whether the printer drops drawer kicks from raw jobs: the printer's own
// setting, which a job cannot change.
bool DropsDrawerKicks(pappl_printer_t* printer) {
  pappl_pr_options_t none{};
  const JobOption& option = *OptionByIppName("raw-drawer-kicks");
  const std::optional<std::string> value = VendorValues(printer, &none)(option.ippName);
  return value && ValueOfIppValue(option, *value) == 1;
}

// Passes the document through a drawer-kick filter; with no sink, only
// checks it (before anything is sent, so a refused job prints nothing).
std::string FilterRaw(FILE* f, const ByteSink* send, size_t& kicks) {
  DrawerKickFilter filter;
  std::vector<uint8_t> out;
  uint8_t buffer[65536];
  size_t n;
  std::rewind(f);
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    out.clear();
    if (!filter.Pass({buffer, n}, out)) return filter.error();
    if (send && !(*send)(out)) return "the printer connection failed";
  }
  kicks = filter.kicksDropped();
  return filter.Finish() ? "" : "the document ends inside an ESC/POS command (raw-drawer-kicks is drop)";
}

bool SendRaw(pappl_job_t* job, pappl_device_t* device) {
  const std::optional<std::string> document = DocumentOf(job);
  if (!document) return false;
  std::unique_ptr<FILE, decltype(&std::fclose)> f(std::fopen(document->c_str(), "rb"), std::fclose);
  if (!f) return Fail(job, std::string("the document cannot be opened: ") + std::strerror(errno));
  const bool dropKicks = DropsDrawerKicks(papplJobGetPrinter(job));
  size_t kicks = 0;
  if (dropKicks) {
    if (std::string refusal = FilterRaw(f.get(), nullptr, kicks); !refusal.empty()) return Fail(job, refusal);
  }
  const auto started = SocketStartJob(device, papplPrinterGetDeviceURI(papplJobGetPrinter(job)), CancelCheck(job));
  // The data itself goes out untouched: a question may only come before it.
  if (!WaitUntilPrinterReady(job, device)) return FailSending(job, device, "the printer connection failed");
  // Recorded like any job, so the printer page previews what the software sent.
  const ByteSink send = RecordLastJob(job, [device](std::span<const uint8_t> bytes) {
    return papplDeviceWrite(device, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  });
  if (dropKicks) {
    if (std::string failure = FilterRaw(f.get(), &send, kicks); !failure.empty())
      return FailSending(job, device, failure);
    if (kicks) papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Left out %u cash drawer kicks (raw-drawer-kicks is drop).",
                           static_cast<unsigned>(kicks));
    return EndSending(job, device);
  }
  uint8_t buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
    if (!send({buffer, n})) return FailSending(job, device, "the printer connection failed");
  return EndSending(job, device);
}

bool PrintRaw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  JobTurn turn = JobTurn::Take(job);
  return turn.granted() ? turn.End(SendRaw(job, device)) : turn.answer();
}

// --- Identify and test page ---

void Identify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char*) {
  // Sound: the warning signal the "Warning" option sends. Otherwise a short
  // feed: every ESC/POS printer takes it, and it neither prints, cuts nor
  // opens the drawer.
  Stream bytes;
  if (actions & PAPPL_IDENTIFY_ACTIONS_SOUND) {
    PrintSettings warning;
    warning.warning = Placement::Head;
    AppendHead(bytes, warning);
  }
  if (actions & PAPPL_IDENTIFY_ACTIONS_FLASH || bytes.empty()) {
    // In the printer's own feed units: 3 mm on every head.
    PrintSettings feed;
    feed.nDistance = static_cast<int>((3 * ModelOf(printer).motionPer254Mm + 127) / 254);
    AppendTail(bytes, feed);
  }
  // The printer's turn as a status query takes it, and a device of its own.
  StatusTurn turn(printer);
  if (!turn.granted()) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify skipped: the printer is printing a job.");
    return;
  }
  const OwnDevice device = OpenOwnDevice(printer, DeviceUri(printer), "identify");
  if (!device) return;
  papplDeviceWrite(device.get(), bytes.data(), bytes.size());
  papplDeviceFlush(device.get());
}

PrintSettings PrinterDefaults(pappl_printer_t* printer) {
  pappl_pr_options_t none{};
  none.print_content_optimize = PAPPL_CONTENT_AUTO;
  return SettingsForJob(StandardOptions{}, VendorValues(printer, &none), UnitsOf(ModelOf(printer))).settings;
}

const char* TestPage(pappl_printer_t* printer, char* buffer, size_t bufsize) {
  const Model& model = ModelOf(printer);
  const Stream bytes = TestPageStream(Text(papplPrinterGetName(printer)), model.makeAndModel.data(), model.headDots,
                                      DotsPer254Mm(model), PrinterDefaults(printer));
  const int fd = papplPrinterOpenFile(printer, buffer, bufsize, nullptr, "testpage", "escpos", "w");
  if (fd < 0) return nullptr;
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  close(fd);
  return written ? buffer : nullptr;
}

// --- Driver attributes ---

void AddVendorAttributes(ipp_t* attrs, pappl_pr_driver_data_t* data) {
  data->num_vendor = 0;
  for (const JobOption* option : VendorOptions()) {
    // The table's strings are literals: they outlive the driver data.
    data->vendor[data->num_vendor++] = option->ippName.data();
    const std::string supported = std::string(option->ippName) + "-supported";
    const std::string def = std::string(option->ippName) + "-default";
    const std::string defaultValue(option->ippDefault);
    switch (option->kind) {
      case JobOption::Kind::Choices: {
        std::vector<const char*> keywords;
        for (const OptionChoice& c : option->choices)
          if (!c.ipp.empty()) keywords.push_back(c.ipp.data());
        ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, supported.c_str(), static_cast<int>(keywords.size()),
                      nullptr, keywords.data());
        ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, def.c_str(), nullptr, defaultValue.c_str());
        break;
      }
      case JobOption::Kind::Number:
        ippAddRange(attrs, IPP_TAG_PRINTER, supported.c_str(), option->lower, option->upper);
        ippAddInteger(attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, def.c_str(), *ValueOfIppValue(*option, defaultValue));
        break;
      case JobOption::Kind::Boolean:
        ippAddBoolean(attrs, IPP_TAG_PRINTER, supported.c_str(), 1);
        ippAddBoolean(attrs, IPP_TAG_PRINTER, def.c_str(), ValueOfIppValue(*option, defaultValue) == 1);
        break;
    }
  }
}

void SetMedia(pappl_media_col_t& media, const Model& model, const char* name) {
  pwg_media_t* pwg = pwgMediaForPWG(name);
  media = {};
  std::snprintf(media.size_name, sizeof media.size_name, "%s", name);
  media.size_width = pwg ? pwg->width : static_cast<int>(AppMediaWidth(model));
  media.size_length = pwg ? pwg->length : 200000;
  std::snprintf(media.source, sizeof media.source, "main-roll");
  std::snprintf(media.type, sizeof media.type, "continuous");
  media.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
}

// A document the application lays out itself (pictures, PDF): the job's
// settings, with its orientation, on the printer's head.
struct LaidOutJob {
  uint32_t headWidth;
  uint32_t dpi;
  bool across;  // turned a quarter: the page's height is fitted to the head
  ReceiptJob receipt;
};

LaidOutJob StartLaidOut(pappl_job_t* job, pappl_device_t* device) {
  const Model& model = ModelOf(papplJobGetPrinter(job));
  pappl_pr_options_t* options = papplJobCreatePrintOptions(job, 1, false);
  if (!options) throw std::bad_alloc();
  const JobSettings settings = SettingsOf(job, options, true);
  const uint32_t copies = static_cast<uint32_t>(std::max(options->copies, 1));
  papplJobDeletePrintOptions(options);
  const bool across = IsQuarterTurn(settings.settings.nDirection);
  return {model.headDots, model.dpi, across,
          ReceiptJob(settings.settings, model.headDots, copies, JobSink(job, device), CancelCheck(job))};
}

}  // namespace

// PAPPL's list of drivers, one per row of the model table, each announcing
// the device ID of the row's first keys.
namespace {
const std::vector<std::string> kDriverDeviceIds = [] {
  std::vector<std::string> ids;
  for (const Model& m : kModels)
    ids.push_back("MFG:" + std::string(m.deviceIds[0].mfg) + ";MDL:" + std::string(m.deviceIds[0].mdl) +
                  ";CMD:" + std::string(m.commandSet) + ";");
  return ids;
}();
}  // namespace

pappl_pr_driver_t kEscposDrivers[std::size(kModels)];
const int kNumEscposDrivers = [] {
  for (size_t i = 0; i < std::size(kModels); ++i)  // the table's strings are literals: NUL-terminated
    kEscposDrivers[i] = {kModels[i].driver.data(), kModels[i].makeAndModel.data(), kDriverDeviceIds[i].c_str(),
                         nullptr};
  return static_cast<int>(std::size(kModels));
}();

bool EscposDriverCallback(pappl_system_t* system, const char* driver_name, const char*, const char*,
                          pappl_pr_driver_data_t* data, ipp_t** driver_attrs, void*) {
  const Model* model = driver_name ? ModelByDriver(driver_name) : nullptr;
  if (!model) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named \"%s\"", driver_name ? driver_name : "(null)");
    return false;
  }

  data->rstartjob_cb = Guarded<StartJob>;
  data->rstartpage_cb = Guarded<StartPage>;
  data->rwriteline_cb = Guarded<WriteLine>;
  data->rendpage_cb = Guarded<EndPage>;
  data->rendjob_cb = Guarded<EndJob>;
  data->printfile_cb = Guarded<PrintRaw>;
  data->identify_cb = Guarded<Identify>;
  data->testpage_cb = Guarded<TestPage>;
  data->status_cb = Guarded<PrinterStatusCallback>;
  data->format = kEscposFormat;
  data->delete_cb = Guarded<ForgetLastJob>;

  std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", model->makeAndModel.data());
  data->ppm = 10;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  data->color_supported = PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  // 8-bit grey only, so that the core halftones and PAPPL's dither never runs.
  // Not black_1: PAPPL 1.3 hands a 1-bit page's rows to the driver under its
  // own 8-bit header, so they would print as stripes. sgray_8 is what every
  // PWG raster client can send.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->duplex = PAPPL_DUPLEX_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->finishings = PAPPL_FINISHINGS_TRIM;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = static_cast<int>(model->dpi);
  data->x_default = data->y_default = static_cast<int>(model->dpi);
  data->left_right = 0;
  data->bottom_top = 0;

  data->num_media = 0;
  for (const std::string& m : MediaOf(*model)) data->media[data->num_media++] = m.c_str();
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "continuous";
  SetMedia(data->media_default, *model, MediaOf(*model)[kDefaultMedia].c_str());
  data->media_ready[0] = data->media_default;
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_MARK;

  data->darkness_supported = 8;
  data->darkness_default = 0;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_FLASH | PAPPL_IDENTIFY_ACTIONS_SOUND;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_FLASH;

  *driver_attrs = ippNew();
  AddVendorAttributes(*driver_attrs, data);
  AddStandardAttributes(*driver_attrs, data);
  return true;
}

const char* EscposAutoAdd(const char*, const char* device_uri, const char* device_id, void* data) {
  if (!device_id) return nullptr;
  bool guessed = false;
  const Model* model = ModelForDeviceId(device_id, guessed);
  if (auto* system = static_cast<pappl_system_t*>(data); model && guessed && system)
    papplLog(system, PAPPL_LOGLEVEL_INFO,
             "%s (\"%s\") is an ESC/POS printer of a model not in the table: added with the %s driver (%s)",
             device_uri ? device_uri : "(no URI)", device_id, model->driver.data(), model->makeAndModel.data());
  return model ? model->driver.data() : nullptr;
}

namespace {

bool PrintImage(pappl_job_t* job, pappl_device_t* device) {
  const std::optional<std::string> document = DocumentOf(job);
  if (!document) return false;
  LaidOutJob laid = StartLaidOut(job, device);
  ReceiptJob& receipt = laid.receipt;
  papplJobSetImpressions(job, 1);
  const std::string failure = ReadImagePage(
      *document, laid.headWidth, laid.across,
      ImagePage{[&](uint32_t width, uint32_t rows) { return receipt.StartPage(width, rows); },
                [&](uint32_t y, std::span<const uint8_t> row) { receipt.PutRow(y, row); }});
  if (!failure.empty()) return Fail(job, failure);
  // Cancelled while the picture was read: a picture that has not begun to
  // stream sends nothing; one that has gets its page and job end, so that
  // what printed is cut off.
  if (papplJobIsCanceled(job) && !receipt.SentAnything()) return true;
  if (std::string f = receipt.EndPage(); !f.empty()) return FailSending(job, device, f);
  if (std::string f = receipt.Finish(); !f.empty()) return FailSending(job, device, f);
  if (!EndSending(job, device)) return false;
  papplJobSetImpressionsCompleted(job, 1);
  return true;
}

bool PrintPdf(pappl_job_t* job, pappl_device_t* device) {
  const std::optional<std::string> document = DocumentOf(job);
  if (!document) return false;
  LaidOutJob laid = StartLaidOut(job, device);
  ReceiptJob& receipt = laid.receipt;
  bool sending = false;  // the failure is the printer's, not the document's
  const std::string failure =
      ReadPdfPages(*document, laid.headWidth, laid.dpi, laid.across,
                   PdfPages{[&](int count) { papplJobSetImpressions(job, count); },
                            [&](uint32_t width, uint32_t rows) { return receipt.StartPage(width, rows); },
                            [&](uint32_t y, std::span<const uint8_t> row) { receipt.PutRow(y, row); },
                            [&] {
                              std::string f = receipt.EndPage();
                              sending = !f.empty();
                              if (f.empty()) papplJobSetImpressionsCompleted(job, 1);
                              return f;
                            },
                            [&] { return papplJobIsCanceled(job); },
                            [&](const std::string& message) {
                              papplLogJob(job, PAPPL_LOGLEVEL_WARN, "PDF: %s", message.c_str());
                            }});
  if (!failure.empty()) return sending ? FailSending(job, device, failure) : Fail(job, failure);
  // A cancelled job still gets its job end, as raster jobs do, so that the
  // pages printed are cut off; PAPPL then records it as cancelled.
  if (papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Cancelled after %u pages", receipt.PagesSent());
    if (receipt.PagesSent() == 0) return true;
  }
  if (std::string f = receipt.Finish(); !f.empty()) return FailSending(job, device, f);
  return EndSending(job, device);
}

}  // namespace

bool EscposImageFilter(pappl_job_t* job, pappl_device_t* device, void*) {
  JobTurn turn = JobTurn::Take(job);
  return turn.granted() ? turn.End(PrintImage(job, device)) : turn.answer();
}

bool EscposPdfFilter(pappl_job_t* job, pappl_device_t* device, void*) {
  JobTurn turn = JobTurn::Take(job);
  return turn.granted() ? turn.End(PrintPdf(job, device)) : turn.answer();
}

bool EscposRasterRepeat(pappl_job_t* job, pappl_device_t*, void*) {
  if (papplJobGetFilename(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "A spooled raster document cannot be printed: raster prints as it is sent.");
    return false;
  }
  return JobTurn::Repeat(job);
}
