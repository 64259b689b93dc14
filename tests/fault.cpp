// Preloaded into plaxen by its tests: the call that PLAXEN_FAULT names,
// ftruncate or close, fails with EIO on ./rgbx (the descriptor whose path
// ends in "/rgbx"), after doing its work, as a file server's can.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// True when call is the one to fail and fd is ./rgbx.
bool fails(const char *call, int fd) {
  const char *fault = getenv("PLAXEN_FAULT");
  if (fault == nullptr || strcmp(fault, call) != 0) return false;
  char path[4096];
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(link.c_str(), path, sizeof path);
  return n >= 5 && memcmp(path + n - 5, "/rgbx", 5) == 0;
}

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Built with 64-bit file offsets, as the tools are: this is ftruncate64.
extern "C" int ftruncate(int fd, off_t length) {
  const bool fail = fails("ftruncate", fd);
  int r = real<int (*)(int, off_t)>("ftruncate64")(fd, length);
  if (!fail) return r;
  errno = EIO;
  return -1;
}

extern "C" int close(int fd) {
  const bool fail = fails("close", fd);
  int r = real<int (*)(int)>("close")(fd);
  if (!fail) return r;
  errno = EIO;
  return -1;
}
