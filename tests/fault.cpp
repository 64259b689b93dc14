// Preloaded into the tools by their tests. FAULT="call target nth result
// errno" makes the nth call (from 1; 0: every one) of call (read, write,
// fstat, ftruncate or close) on a descriptor whose path holds target (as
// /proc/self/fd names it: "rgbx", "pipe:") return result with errno set to
// the one named ("-": left as it is). A read or write given a count does
// that much of its work; ftruncate and close do all of theirs, as a file
// server's can, before they fail.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Fault {
  char call[16], target[64], err[32];
  int nth;
  long result;
};

// The fault when this call on fd is the one to fail, else nullptr.
const Fault *due(const char *call, int fd) {
  static Fault f;
  static int seen = 0;
  static const bool set =
      getenv("FAULT") &&
      sscanf(getenv("FAULT"), "%15s %63s %d %ld %31s", f.call, f.target, &f.nth,
             &f.result, f.err) == 5;
  if (!set || strcmp(f.call, call) != 0) return nullptr;
  char link[32], path[4096] = {};
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  if (readlink(link, path, sizeof path - 1) < 0 || !strstr(path, f.target))
    return nullptr;
  return ++seen == f.nth || f.nth == 0 ? &f : nullptr;
}

// r, or the fault's result with its errno where there is a fault.
long as_told(const Fault *f, long r) {
  if (f == nullptr) return r;
  for (int e = 1; e < 200; e++)
    if (strerrorname_np(e) && strcmp(strerrorname_np(e), f->err) == 0)
      errno = e;
  return f->result < 0 ? -1 : r;
}

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// A read or write that fails does nothing; one cut short does the part.
template <typename Buf>
ssize_t transfer(const char *call, int fd, Buf buf, size_t n) {
  const Fault *f = due(call, fd);
  if (f != nullptr && f->result < 0) return as_told(f, -1);
  if (f != nullptr) n = std::min<size_t>(n, f->result);
  return as_told(f, real<ssize_t (*)(int, Buf, size_t)>(call)(fd, buf, n));
}

}  // namespace

extern "C" ssize_t read(int fd, void *buf, size_t n) {
  return transfer("read", fd, buf, n);
}

extern "C" ssize_t write(int fd, const void *buf, size_t n) {
  return transfer("write", fd, buf, n);
}

// Built with 64-bit file offsets, as the tools are: these are fstat64 and
// ftruncate64.
extern "C" int fstat(int fd, struct stat *st) {
  const Fault *f = due("fstat", fd);
  return f ? as_told(f, -1)
           : real<int (*)(int, struct stat *)>("fstat64")(fd, st);
}

extern "C" int ftruncate(int fd, off_t length) {
  const Fault *f = due("ftruncate", fd);
  return as_told(f, real<int (*)(int, off_t)>("ftruncate64")(fd, length));
}

extern "C" int close(int fd) {
  const Fault *f = due("close", fd);
  return as_told(f, real<int (*)(int)>("close")(fd));
}
