// The ESC/POS drivers of the printer application: what PAPPL needs to know
// of them and the callbacks that print.
#pragma once

#include <pappl/pappl.h>

// The drivers offered to papplMainloop.
extern pappl_pr_driver_t kEscposDrivers[];
extern const int kNumEscposDrivers;

// PAPPL's driver callback: fills in a driver's data and attributes.
bool EscposDriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                          const char* device_id, pappl_pr_driver_data_t* data, ipp_t** driver_attrs,
                          void* cbdata);

// Chooses a driver for a device ID ("autoadd", and "add" without -m).
const char* EscposAutoAdd(const char* device_info, const char* device_uri, const char* device_id, void* data);

// Filter for PNG and JPEG documents, which PAPPL would otherwise fit to the
// whole page of the media.
bool EscposImageFilter(pappl_job_t* job, pappl_device_t* device, void* data);
// Filter for PDF documents, drawn page by page at the head's width.
bool EscposPdfFilter(pappl_job_t* job, pappl_device_t* device, void* data);

// Filter for PWG and Apple raster jobs that PAPPL 1.3 starts a second time:
// their pages print from the request that brings them (the raster callbacks),
// so this only waits for that to end. Without it PAPPL would abort the job.
bool EscposRasterRepeat(pappl_job_t* job, pappl_device_t* device, void* data);

// The format of ESC/POS data sent as it is (the test page, raw jobs from
// point-of-sale software that writes its own ESC/POS).
inline constexpr const char* kEscposFormat = "application/vnd.escpos";
