// labelfilter's own web page for each printer, at /NAME/labelfilter: a
// preview of the printer's last job, drawn by escpos-preview's renderer, and
// the receipt options as a form that sets the printer's defaults.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

#include "PagePipeline.h"

// The most a job may send and still be kept for its preview: a 3 m receipt
// at 576 dots is 1.7 MB of raster, so this holds the longest page twice
// over. A larger job is not kept, and its page says so.
inline constexpr size_t kPreviewMaxBytes = size_t{4} << 20;

// A sink that hands the bytes on to `sink` and keeps those delivered; when
// its last copy is gone, they become the printer's last job.
ByteSink RecordLastJob(pappl_job_t* job, ByteSink sink);

// The printer creation callback: adds the page, its preview image and the
// link in the printer's navigation, for new printers and those loaded from
// the state file alike.
void AddReceiptPage(pappl_printer_t* printer, void* data);

// The driver's delete callback: drops the printer's last job.
void ForgetLastJob(pappl_printer_t* printer, pappl_pr_driver_data_t* data);
