// socket://HOST[:PORT] for port 9100 printers, in place of PAPPL's own.
// PAPPL 1.3 retries a refused connection every 5 s for ever, with the job
// pending and no word to whoever sent it. Here the device opens at once and
// connects on the first write, a few times over some seconds; when the
// printer stays unreachable, or drops the connection, the write fails and
// the job is aborted with the reason in its state message. Each job has a
// connection of its own (PAPPL keeps the device open while jobs are queued):
// a job that failed leaves nothing dead behind for the next one.
#pragma once

#include <pappl/pappl.h>

#include <functional>
#include <memory>
#include <string>

// Registers the scheme; call before PAPPL opens any device.
void AddSocketScheme();

// Why the last write to a socket:// device failed ("" when it did not, or
// the device is of another scheme).
std::string SocketDeviceError(pappl_device_t* device, const char* device_uri);

// Starts a job on the device: a connection that failed in an earlier job is
// given up and the next write connects afresh, and while the returned token
// lives, writes to a printer that stopped reading end once `cancelled` says
// so. Null for devices of another scheme.
std::shared_ptr<const std::function<bool()>> SocketStartJob(pappl_device_t* device, const char* device_uri,
                                                           std::function<bool()> cancelled);

// Ends a job that was sent whole: says so to the printer (half-close), reads
// and discards whatever the printer sends until it closes its side, and
// closes without a reset, so that the printer keeps every byte. False when
// the printer reset or closed the connection before that; the next job
// connects afresh either way. True for devices of another scheme.
bool SocketEndJob(pappl_device_t* device, const char* device_uri);

bool IsSocketUri(const char* uri);

// For a status query that must not hold anyone up: connects with a single
// attempt of at most `timeoutMs` unless connected already. False when not
// connected, or the device is of another scheme.
bool SocketConnectOnce(pappl_device_t* device, const char* device_uri, int timeoutMs);

// What the printer sent within `timeoutMs` (0: only what is there already);
// -1 when nothing came, or the device is of another scheme.
ssize_t SocketReadWithin(pappl_device_t* device, const char* device_uri, void* buffer, size_t bytes, int timeoutMs);
