// Preloaded into zentrel by its tests, to steer and watch what a run does:
//   ZENTREL_CUT="N LENGTH PATH": PATH is cut to LENGTH bytes as the tool
//     closes /proc/self/smaps_rollup for the Nth time, that is after it has
//     mapped its Nth pair of windows and before it touches them.
//   ZENTREL_NOMAP=1: mapping a file fails (ENOMEM), so the read loop does all.
//   ZENTREL_LOG=PATH: at exit, "reads R cuts C" goes there: the read calls
//     on the inputs, and the cuts made.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
int smaps = -1, looks = 0, reads = 0, cuts = 0;

template <class F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int hooked_open(const char *name, const char *path, int flags, va_list ap) {
  int fd =
      real<int (*)(const char *, int, ...)>(name)(path, flags, va_arg(ap, int));
  if (strcmp(path, "/proc/self/smaps_rollup") == 0) smaps = fd;
  return fd;
}

void *hooked_mmap(const char *name, void *at, size_t n, int prot, int flags,
                  int fd, off64_t off) {
  if (fd >= 0 && getenv("ZENTREL_NOMAP") != nullptr) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  return real<void *(*)(void *, size_t, int, int, int, off64_t)>(name)(
      at, n, prot, flags, fd, off);
}

struct Log {
  ~Log() {
    if (const char *path = getenv("ZENTREL_LOG"))
      if (FILE *f = fopen(path, "w")) {
        fprintf(f, "reads %d cuts %d\n", reads, cuts);
        fclose(f);
      }
  }
} at_exit;
}  // namespace

extern "C" {
int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = hooked_open("open", path, flags, ap);
  va_end(ap);
  return fd;
}
int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  int fd = hooked_open("open64", path, flags, ap);
  va_end(ap);
  return fd;
}
void *mmap(void *at, size_t n, int prot, int flags, int fd, off_t off) {
  return hooked_mmap("mmap", at, n, prot, flags, fd, off);
}
void *mmap64(void *at, size_t n, int prot, int flags, int fd, off64_t off) {
  return hooked_mmap("mmap64", at, n, prot, flags, fd, off);
}
ssize_t read(int fd, void *buf, size_t n) {
  if (fd != smaps) reads++;
  return real<ssize_t (*)(int, void *, size_t)>("read")(fd, buf, n);
}
int close(int fd) {
  const char *cut = getenv("ZENTREL_CUT");
  int at = 0;
  long long length = 0;
  char path[4096];
  if (fd == smaps && cut != nullptr &&
      sscanf(cut, "%d %lld %4095s", &at, &length, path) == 3 && ++looks == at &&
      truncate(path, length) == 0)
    cuts++;
  return real<int (*)(int)>("close")(fd);
}
}
