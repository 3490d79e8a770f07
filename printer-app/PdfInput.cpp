#include "PdfInput.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>

#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>

#include "ImageInput.h"

namespace {

// Poppler's messages go to one process-wide function, and jobs run on
// threads of their own: each thread points it at the document it reads.
// A damaged file can yield thousands of messages; the first few are passed
// on, the last one is kept for the job's message.
constexpr int kMaxNotes = 10;

struct Notes {
  const PdfPages& out;
  int count = 0;
  std::string last;
};
thread_local Notes* CurrentNotes = nullptr;

void PopplerMessage(const std::string& message, void*) {
  Notes* notes = CurrentNotes;
  if (!notes) return;  // outside a document: dropped rather than written to stderr
  notes->last = message;
  if (++notes->count <= kMaxNotes && notes->out.note) notes->out.note(message);
}

class NotesScope {
 public:
  explicit NotesScope(const PdfPages& out) : notes_{out, 0, {}} {
    static std::once_flag installed;
    std::call_once(installed, [] { poppler::set_debug_error_function(PopplerMessage, nullptr); });
    CurrentNotes = &notes_;
  }
  ~NotesScope() {
    if (notes_.count > kMaxNotes && notes_.out.note)
      notes_.out.note(std::to_string(notes_.count - kMaxNotes) + " more messages from poppler not shown");
    CurrentNotes = nullptr;
  }
  NotesScope(const NotesScope&) = delete;
  NotesScope& operator=(const NotesScope&) = delete;
  const std::string& Last() const { return notes_.last; }

 private:
  Notes notes_;
};

std::string Millimetres(double points) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", points * 25.4 / 72);
  return text;
}

// Draws one page: its size first (so a refused page costs no drawing), then
// its rows band by band.
std::string DrawPage(const poppler::document& doc, int index, uint32_t headWidth, uint32_t dpi, bool across,
                     const PdfPages& out) {
  const std::string name = "page " + std::to_string(index + 1) + " of the PDF";
  const std::unique_ptr<poppler::page> page(doc.create_page(index));
  if (!page) return name + " cannot be read";
  // The crop box is what poppler draws; /Rotate turns it before drawing.
  const poppler::rectf box = page->page_rect(poppler::crop_box);
  const bool turned =
      page->orientation() == poppler::page::landscape || page->orientation() == poppler::page::seascape;
  const double widthPt = std::fabs(turned ? box.height() : box.width());
  const double heightPt = std::fabs(turned ? box.width() : box.height());
  const double width = widthPt * dpi / 72, height = heightPt * dpi / 72;
  // Written so that NaN fails too.
  if (!(width >= 1 && height >= 1 && width <= kMaxPdfSide && height <= kMaxPdfSide))
    return name + " measures " + Millimetres(widthPt) + " x " + Millimetres(heightPt) +
           " mm; pages from one dot to " + Millimetres(kMaxPdfSide * 72 / dpi) + " mm a side are printed";

  const PageSize size = FitToHead(static_cast<uint32_t>(std::lround(width)), static_cast<uint32_t>(std::lround(height)),
                                  headWidth, across);
  if (std::string refusal = out.start(size.width, size.rows); !refusal.empty()) return refusal;

  poppler::page_renderer renderer;
  renderer.set_image_format(poppler::image::format_gray8);
  // Grey edges for the core to halftone, and stems hinted onto whole dots.
  renderer.set_render_hints(poppler::page_renderer::antialiasing | poppler::page_renderer::text_antialiasing |
                            poppler::page_renderer::text_hinting);
  // Splash covers every pixel an edge reaches, so a picture spanning the
  // page exactly would spill into one more column and row and be resampled.
  // The page is mapped onto a hundredth of a dot less than its size.
  const double xDpi = 72.0 * (size.width - 0.01) / widthPt, yDpi = 72.0 * (size.rows - 0.01) / heightPt;
  const uint64_t bandPixels = uint64_t{headWidth} * kPdfBandRows;
  const uint32_t band = static_cast<uint32_t>(std::clamp<uint64_t>(bandPixels / size.width, 1, size.rows));
  // A cancel stops the drawing after the band being drawn: a streamed page
  // sends nothing more, and the page ends where it got to.
  for (uint32_t top = 0; top < size.rows && !out.stop(); top += band) {
    const uint32_t rows = std::min(band, size.rows - top);
    const poppler::image image = renderer.render_page(page.get(), xDpi, yDpi, 0, static_cast<int>(top),
                                                      static_cast<int>(size.width), static_cast<int>(rows));
    if (!image.is_valid() || image.format() != poppler::image::format_gray8 || image.bytes_per_row() < image.width())
      return name + " could not be drawn";
    // Poppler may hand back less than asked for; what is missing stays white.
    const uint32_t w = std::min(static_cast<uint32_t>(image.width()), size.width);
    const uint32_t h = std::min(static_cast<uint32_t>(image.height()), rows);
    const auto* data = reinterpret_cast<const uint8_t*>(image.const_data());
    for (uint32_t y = 0; y < h; ++y) out.row(top + y, {data + size_t{y} * image.bytes_per_row(), w});
  }
  return out.end();
}

}  // namespace

std::string ReadPdfPages(const std::string& path, uint32_t headWidth, uint32_t dpi, bool across,
                         const PdfPages& out) {
  NotesScope notes(out);
  try {
    const std::unique_ptr<poppler::document> doc(poppler::document::load_from_file(path));
    if (!doc)
      return "the PDF file is damaged or not a PDF" + (notes.Last().empty() ? "" : " (poppler: " + notes.Last() + ")");
    // A document that opens only with its user password stays locked; one
    // with only an owner password (restrictions on copying, editing) opens.
    if (doc->is_locked()) return "the PDF is protected by a password: remove it, then print";
    const int count = doc->pages();
    if (count <= 0) return "the PDF has no pages";
    out.pages(count);
    for (int i = 0; i < count && !out.stop(); ++i)
      if (std::string failure = DrawPage(*doc, i, headWidth, dpi, across, out); !failure.empty()) return failure;
  } catch (const std::bad_alloc&) {
    return "not enough memory to draw the PDF";
  }
  return {};
}
