#include "Models.h"

#include <algorithm>
#include <cctype>

namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The value of a device ID key, under its short or long name (IEEE 1284
// allows both: "MDL" or "MODEL"); empty when the ID lacks it.
std::string_view IdValue(std::string_view id, std::string_view shortKey, std::string_view longKey) {
  while (!id.empty()) {
    const size_t end = std::min(id.find(';'), id.size());
    const std::string_view pair = id.substr(0, end);
    id.remove_prefix(std::min(end + 1, id.size()));
    const size_t colon = pair.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = Trimmed(pair.substr(0, colon));
    if (SameText(key, shortKey) || SameText(key, longKey)) return Trimmed(pair.substr(colon + 1));
  }
  return {};
}

// Whether a command set list ("ESC/POS,STAR") names ESC/POS, in either spelling.
bool SpeaksEscPos(std::string_view commandSet) {
  std::string upper(commandSet);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper.find("ESC/POS") != std::string::npos || upper.find("ESCPOS") != std::string::npos;
}

}  // namespace

const PrinterModel* ModelByDriver(std::string_view driver) {
  for (const PrinterModel& m : kModels)
    if (m.driver == driver) return &m;
  return nullptr;
}

const PrinterModel* ModelByMakeAndModel(std::string_view makeAndModel) {
  for (const PrinterModel& m : kModels)
    if (m.makeAndModel == makeAndModel) return &m;
  return nullptr;
}

const PrinterModel* ModelForDeviceId(std::string_view deviceId, bool& guessed) {
  guessed = false;
  const std::string_view mfg = IdValue(deviceId, "MFG", "MANUFACTURER");
  const std::string_view mdl = IdValue(deviceId, "MDL", "MODEL");
  // A make and model a row names is a printer whose head we know, whatever
  // command set it lists; a name alone (every maker sells several widths)
  // tells nothing.
  if (!mfg.empty() && !mdl.empty())
    for (const PrinterModel& m : kModels)
      for (const DeviceIdKeys& keys : m.deviceIds)
        if (SameText(keys.mfg, mfg) && SameText(keys.mdl, mdl)) return &m;
  if (!SpeaksEscPos(IdValue(deviceId, "CMD", "COMMAND SET"))) return nullptr;
  guessed = true;
  return &kDefaultModel;
}

// A row that breaks what the front-ends rely on fails the build, not a job.
namespace {
constexpr bool RowsAreSound() {
  for (size_t i = 0; i < std::size(kModels); ++i) {
    const PrinterModel& m = kModels[i];
    // PAPPL turns the media width back into exactly the head's dots.
    if (AppMediaWidth(m) * m.dpi / 2540 != m.headDots) return false;
    if (m.headDots % 8 || m.deviceIds.empty() || m.motionPer254Mm == 0) return false;
    for (size_t j = 0; j < i; ++j)
      if (kModels[j].driver == m.driver || kModels[j].ppdFile == m.ppdFile ||
          kModels[j].makeAndModel == m.makeAndModel)
        return false;
  }
  return true;
}
static_assert(RowsAreSound(), "each model needs its own names, whole bytes of dots and a device ID");
}  // namespace
