#include "StateFile.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <cerrno>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Guard.h"
#include "JobSettings.h"

namespace {

// What a state file says: its printers, and their vendor defaults.
struct Named {
  std::vector<std::string> printers;
  std::map<std::string, std::map<std::string, std::string>> defaults;  // by printer, then option
  bool endsWithNewline = false;
};

const JobOption* FindOption(std::string_view name) {
  const JobOption* option = OptionByIppName(name);
  return option && option->vendor ? option : nullptr;
}

Named ReadNamed(const std::string& path) {
  Named named;
  std::ifstream in(path, std::ios::binary);
  std::string line, current;
  while (std::getline(in, line)) {
    named.endsWithNewline = !in.eof();
    if (line.rfind("<Printer ", 0) == 0) {
      std::string attrs = line.substr(9);
      if (!attrs.empty() && attrs.back() == '>') attrs.pop_back();
      cups_option_t* options = nullptr;
      const int count = cupsParseOptions(attrs.c_str(), 0, &options);
      const char* name = cupsGetOption("name", count, options);
      current = name ? name : "";
      if (!current.empty()) named.printers.push_back(current);
      cupsFreeOptions(count, options);
    } else if (line == "</Printer>") {
      current.clear();
    } else if (const size_t at = line.find("-default "); !current.empty() && at != std::string::npos) {
      if (FindOption(std::string_view(line).substr(0, at)))
        named.defaults[current][line.substr(0, at)] = line.substr(at + 9);
    }
  }
  return named;
}

void AddPrinter(pappl_printer_t* printer, void* data) {
  (*static_cast<std::map<std::string, int>*>(data))[Text(papplPrinterGetName(printer))] = papplPrinterGetID(printer);
}

// The system's printers: IDs by name.
std::map<std::string, int> LoadedPrinters(pappl_system_t* system) {
  std::map<std::string, int> printers;
  papplSystemIteratePrinters(system, Guarded<AddPrinter>, &printers);
  return printers;
}

// The printer's vendor default as text; "" when it has none.
std::string DefaultText(ipp_t* attrs, std::string_view option) {
  ipp_attribute_t* attr = ippFindAttribute(attrs, (std::string(option) + "-default").c_str(), IPP_TAG_ZERO);
  if (!attr) return {};
  char text[1024];
  ippAttributeString(attr, text, sizeof text);
  return text;
}

struct Correction {
  int printerId;
  std::string option, value;
};

void FindCorrections(pappl_printer_t* printer, void* data) {
  auto& corrections = *static_cast<std::vector<Correction>*>(data);
  std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
  for (const JobOption* option : VendorOptions()) {
    const std::string name(option->ippName);
    const std::string text = DefaultText(attrs.get(), name);
    const std::optional<std::string> offered = OfferedIppValue(*option, text);
    if (offered && *offered == text) continue;
    const std::string value = offered.value_or(std::string(option->ippDefault));
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "%s-default=\"%s\" is not one of the values %s-supported offers: set to %s.",
                    name.c_str(), text.substr(0, 40).c_str(), name.c_str(), value.c_str());
    corrections.push_back({papplPrinterGetID(printer), name, value});
  }
}

// Whether the file reached the disk whole: written out, and naming every
// printer the system has (papplSystemSaveState does not report write errors).
bool WrittenWhole(pappl_system_t* system, const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  if (!synced) return false;
  const Named named = ReadNamed(path);
  std::set<std::string> live;
  for (const auto& [name, id] : LoadedPrinters(system)) live.insert(name);
  return named.endsWithNewline && std::set<std::string>(named.printers.begin(), named.printers.end()) == live;
}

}  // namespace

void ResetUnsupportedDefaults(pappl_system_t* system) {
  std::vector<Correction> corrections;
  // Found under the system's lock, applied outside it.
  papplSystemIteratePrinters(system, Guarded<FindCorrections>, &corrections);
  for (const Correction& c : corrections) {
    pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, c.printerId, nullptr);
    if (!printer) continue;
    pappl_pr_driver_data_t data;
    papplPrinterGetDriverData(printer, &data);
    cups_option_t* vendor = nullptr;
    const int count = cupsAddOption(c.option.c_str(), c.value.c_str(), 0, &vendor);
    papplPrinterSetDriverDefaults(printer, &data, count, vendor);
    cupsFreeOptions(count, vendor);
  }
}

void LoadStateChecked(pappl_system_t* system, const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return;  // a first start
  papplSystemLoadState(system, path.c_str());
  ResetUnsupportedDefaults(system);
  const Named named = ReadNamed(path);
  const std::map<std::string, int> loaded = LoadedPrinters(system);
  bool lost = false;
  for (const std::string& name : named.printers)
    if (!loaded.count(name)) {
      lost = true;
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state file '%s' names printer '%s', which could not be restored.",
               path.c_str(), name.c_str());
    }
  // The next save leaves the lost printers out: the file is kept for whoever
  // mends it.
  const std::string kept = path + ".damaged";
  std::error_code error;
  if (lost && std::filesystem::copy_file(path, kept, std::filesystem::copy_options::overwrite_existing, error))
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The damaged state file is kept as '%s'.", kept.c_str());
  for (const auto& [name, defaults] : named.defaults) {
    const auto found = loaded.find(name);
    pappl_printer_t* printer = found == loaded.end() ? nullptr : papplSystemFindPrinter(system, nullptr, found->second, nullptr);
    if (!printer) continue;
    std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
    for (const auto& [option, value] : defaults)
      if (DefaultText(attrs.get(), option) != value)
        papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The state file's %s-default \"%s\" was not restored: it is %s.",
                        option.c_str(), value.substr(0, 40).c_str(), DefaultText(attrs.get(), option).c_str());
  }
}

bool SaveStateAtomically(pappl_system_t* system, const std::string& path) {
  ResetUnsupportedDefaults(system);
  const std::string fresh = path + ".new";
  if (papplSystemSaveState(system, fresh.c_str()) && WrittenWhole(system, fresh) && rename(fresh.c_str(), path.c_str()) == 0) {
    // The rename itself reaches the disk with the directory.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
      fsync(fd);
      close(fd);
    }
    return true;
  }
  const int error = errno;
  unlink(fresh.c_str());
  papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state could not be saved to '%s' (%s): the last saved state is kept.",
           path.c_str(), std::strerror(error));
  return false;
}
