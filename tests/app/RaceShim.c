// Preloaded into the printer application by its concurrency tests: it widens
// two windows of PAPPL 1.3 so that what happens in them happens on every run.
// - A job's thread starts 700 ms late, so that other jobs submitted at the
//   same moment find the printer not yet marked busy and the job still
//   pending (PAPPL then starts a second job, or the same job again).
// - While the file named by LABELFILTER_SLOW_SAVE exists, a state save pauses
//   1.5 s with the system's lock held (at the "UUID" line, written just
//   before the printers), so that a raster job turned away as busy meets it.
// - A send() of bytes that contain "labelfilter-slow-send" waits first until
//   the file named by LABELFILTER_SLOW_SEND_RELEASE exists (30 s at most): a
//   job with that text is in the middle of sending until the test lets it go,
//   however fast its printer reads and however slow the machine (a cancel
//   then meets a run that is sending).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static void Nap(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {
  }
}

struct LateStart {
  void* (*start)(void*);
  void* arg;
};

static void* StartLate(void* p) {
  struct LateStart late = *(struct LateStart*)p;
  free(p);
  Nap(700);
  return late.start(late.arg);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
  int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) =
      (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(RTLD_NEXT, "pthread_create");
  void* jobThread = dlsym(RTLD_DEFAULT, "_papplJobProcess");
  if (jobThread && (void*)start == jobThread) {
    struct LateStart* late = malloc(sizeof *late);
    if (late) {
      late->start = start;
      late->arg = arg;
      int status = real(thread, attr, StartLate, late);
      if (status != 0) free(late);
      return status;
    }
  }
  return real(thread, attr, start, arg);
}

typedef struct _cups_file_s cups_file_t;

int cupsFilePutConf(cups_file_t* fp, const char* name, const char* value) {
  int (*real)(cups_file_t*, const char*, const char*) =
      (int (*)(cups_file_t*, const char*, const char*))dlsym(RTLD_NEXT, "cupsFilePutConf");
  const char* slow = getenv("LABELFILTER_SLOW_SAVE");
  if (name && strcmp(name, "UUID") == 0 && slow && access(slow, F_OK) == 0) Nap(1500);
  return real(fp, name, value);
}

ssize_t send(int fd, const void* buffer, size_t bytes, int flags) {
  ssize_t (*real)(int, const void*, size_t, int) = (ssize_t(*)(int, const void*, size_t, int))dlsym(RTLD_NEXT, "send");
  static const char kMark[] = "labelfilter-slow-send";
  if (buffer && memmem(buffer, bytes, kMark, sizeof kMark - 1)) {
    const char* release = getenv("LABELFILTER_SLOW_SEND_RELEASE");
    for (int waited = 0; waited < 30000 && !(release && access(release, F_OK) == 0); waited += 50) Nap(50);
  }
  return real(fd, buffer, bytes, flags);
}
