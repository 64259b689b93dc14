// Drives a built tool the way a user would: in a fresh folder, with real
// files, pipes and devices, reading back standard output, standard error,
// the exit status and the bytes left on disk.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::string;

struct Result {
  std::string out, err;
  int status;
  // The read and write calls the tool made, as /proc counts them, and the
  // few reads the test made to drain its output.
  long reads = -1, writes = -1;
};

// A fresh temporary folder, removed with everything in it afterwards.
struct Scratch {
  fs::path dir;
  Scratch() {
    std::string t = (fs::temp_directory_path() / "tooltest.XXXXXX").string();
    dir = mkdtemp(t.data());
  }
  ~Scratch() { fs::remove_all(dir); }
};

inline void put(const fs::path &p, const Bytes &b) {
  std::ofstream(p, std::ios::binary) << b;
}

inline Bytes get(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

inline Bytes noise(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n, 0);
  for (char &c : b) c = char(gen());
  return b;
}

inline std::string drain(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, n);
  close(fd);
  return s;
}

// How a tool is started: standard output goes to a pipe unless out_path
// names a file for it or close_stdout closes it; standard input is /dev/null
// unless in_path names a file opened for reading and writing (as `0<>file`
// does), close_stdin closes it, input is given through a pipe, or typed
// makes it a terminal of the test's own (a pseudo-terminal in canonical
// mode, the tool's controlling terminal, /dev/tty, too) on which these
// bytes were typed (^D is '\x04'); limit kills a tool still running after
// that many seconds; stack sets its stack limit and fsize its file-size
// limit in bytes (as `ulimit -f` does in blocks); env adds NAME=VALUE
// settings, a LD_PRELOAD put before any the tests run with, and a sanitizer
// runtime then let come after it.
struct Start {
  const char *out_path = nullptr, *in_path = nullptr;
  bool close_stdout = false, close_stdin = false;
  const Bytes *input = nullptr, *typed = nullptr;
  unsigned limit = 0;
  rlim_t stack = 0, fsize = 0;
  std::vector<std::string> env = {};
};

// The read (syscr) or write (syscw) calls made by this process and by the
// children it has reaped, whose counts the kernel adds to their parent's; -1
// if /proc cannot say. (A child's own count is not readable once it has
// ended, but by root.)
inline long io_calls(const std::string &which) {
  std::ifstream io("/proc/self/io");
  long n = -1;
  for (std::string key; io >> key;)
    if (key == which + ":") io >> n;
  return n;
}

// Runs args in dir as start says (Result::out stays empty when standard
// output does not go to the pipe). Nothing but 0, 1 and 2 is inherited.
inline Result run(const fs::path &dir, std::vector<std::string> args,
                  const Start &start = {}) {
  int out[2], err[2], in[2];
  if (pipe(out) != 0 || pipe(err) != 0 || pipe(in) != 0)
    ADD_FAILURE() << "pipe";
  if (start.input && write(in[1], start.input->data(), start.input->size()) !=
                         ssize_t(start.input->size()))
    ADD_FAILURE() << "input longer than a pipe holds";
  close(in[1]);
  int tty = -1;
  if (start.typed) {
    tty = posix_openpt(O_RDWR | O_NOCTTY);
    if (tty < 0 || grantpt(tty) != 0 || unlockpt(tty) != 0 ||
        write(tty, start.typed->data(), start.typed->size()) !=
            ssize_t(start.typed->size()))
      ADD_FAILURE() << "no terminal to type on";
  }
  const long reads_before = io_calls("syscr"),
             writes_before = io_calls("syscw");
  pid_t pid = fork();
  if (pid == 0) {
    // A new session's leader takes the first terminal it opens as its own.
    if (start.typed) {
      setsid();
      dup2(open(ptsname(tty), O_RDWR), 0);
    }
    dup2(start.out_path ? open(start.out_path, O_WRONLY) : out[1], 1);
    dup2(err[1], 2);
    // Standard input is /dev/null even where the tests themselves run
    // without one, so the tool's descriptors are numbered as for a user.
    if (!start.typed)
      dup2(start.input     ? in[0]
           : start.in_path ? open(start.in_path, O_RDWR)
                           : open("/dev/null", O_RDONLY),
           0);
    // Closed last, so that no open above takes a closed descriptor back.
    if (start.close_stdout) close(1);
    if (start.close_stdin) close(0);
    close_range(3, ~0U, 0);
    if (start.stack) {
      rlimit lim{};
      getrlimit(RLIMIT_STACK, &lim);
      lim.rlim_cur = start.stack;
      setrlimit(RLIMIT_STACK, &lim);
    }
    if (start.fsize) {
      rlimit lim{start.fsize, start.fsize};
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    alarm(start.limit);
    for (std::string e : start.env) {
      const char *old = getenv("LD_PRELOAD");
      if (e.starts_with("LD_PRELOAD=")) {
        if (old) e += std::string(":") + old;
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
      }
      putenv(strdup(e.c_str()));
    }
    // A cross-built tool starts through the emulator's words.
    std::istringstream emulator(EMULATOR);
    std::vector<std::string> words;
    for (std::string w; emulator >> w;) words.push_back(w);
    args.insert(args.begin(), words.begin(), words.end());
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (chdir(dir.c_str()) == 0) execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Result r;
  r.out = drain(out[0]);
  r.err = drain(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.reads = reads_before < 0 ? -1 : io_calls("syscr") - reads_before;
  r.writes = writes_before < 0 ? -1 : io_calls("syscw") - writes_before;
  if (tty >= 0) close(tty);
  return r;
}

// Makes FIFOs at paths and starts a writer that opens them in that order
// (the order the tool opens them, or both would wait) and feeds data[k] to
// paths[k] in uneven pieces with short pauses, so reads come back short.
// Everything fits in the pipe buffers, so the writer never blocks on a write.
inline pid_t feed(const std::vector<fs::path> &paths,
                  const std::vector<Bytes> &data) {
  for (auto &p : paths) mkfifo(p.c_str(), 0600);
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<int> fds;
  for (auto &p : paths) fds.push_back(open(p.c_str(), O_WRONLY));
  std::mt19937 gen(7);
  std::vector<size_t> at(paths.size(), 0);
  for (bool more = true; more;) {
    more = false;
    for (size_t k = 0; k < fds.size(); k++) {
      size_t n = std::min<size_t>(gen() % 1500 + 1, data[k].size() - at[k]);
      if (n > 0 && write(fds[k], data[k].data() + at[k], n) != ssize_t(n))
        _exit(1);
      at[k] += n;
      more |= at[k] < data[k].size();
    }
    usleep(300);
  }
  _exit(0);
}

// Makes FIFOs at paths and starts one producer that writes data[k] to
// paths[k] a row at a time, taking the files in the given order for every
// row, each write blocking until the reader makes room: a program writing
// planar rows. The FIFOs are opened in the order of paths, as the tool does.
// Given a FIFO back, the producer reads it too: after each row it waits for
// that row's 4-byte pixels there, a co-process, and exits 2 unless they are
// those of want.
inline pid_t rows(const std::vector<fs::path> &paths,
                  const std::vector<Bytes> &data, const std::vector<int> &order,
                  size_t row, const fs::path &back = {},
                  const Bytes &want = {}) {
  for (auto &p : paths) mkfifo(p.c_str(), 0600);
  if (!back.empty()) mkfifo(back.c_str(), 0600);
  pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<int> fds;
  for (auto &p : paths) fds.push_back(open(p.c_str(), O_WRONLY));
  int from = back.empty() ? -1 : open(back.c_str(), O_RDONLY);
  for (size_t at = 0; at < data[0].size(); at += row) {
    for (int k : order) {
      size_t n = std::min(row, data[k].size() - std::min(at, data[k].size()));
      for (size_t done = 0; done < n;) {
        ssize_t w = write(fds[k], data[k].data() + at + done, n - done);
        if (w <= 0) _exit(1);
        done += w;
      }
    }
    Bytes got(from < 0 ? 0 : 4 * std::min(row, data[0].size() - at), 0);
    for (size_t done = 0; done < got.size();) {
      ssize_t r = read(from, got.data() + done, got.size() - done);
      if (r <= 0) _exit(1);
      done += r;
    }
    if (from >= 0 && got != want.substr(4 * at, got.size())) _exit(2);
  }
  _exit(0);
}

// Makes FIFOs out and in and starts a producer that fills out, the tool's
// standard output, then writes 200,000 bytes into in, more than a pipe
// holds, as `head -c 200000 > in` does, and once in is closed under it
// (EPIPE) reads out to its end: a tool that closes in before it prints is
// let go on. Exits 0 when its write failed so.
inline pid_t stalled(const fs::path &out, const fs::path &in) {
  for (auto &p : {out, in}) mkfifo(p.c_str(), 0600);
  pid_t pid = fork();
  if (pid != 0) return pid;
  signal(SIGPIPE, SIG_IGN);
  int from = open(out.c_str(), O_RDONLY | O_NONBLOCK);
  int fill = open(out.c_str(), O_WRONLY | O_NONBLOCK);
  while (write(fill, "x", 1) == 1) continue;
  close(fill);
  static const char zeros[200000] = {};
  int to = open(in.c_str(), O_WRONLY);
  // Cut short when in is closed, then failing.
  [[maybe_unused]] ssize_t part = write(to, zeros, sizeof zeros);
  const bool cut = write(to, zeros, 1) < 0 && errno == EPIPE;
  fcntl(from, F_SETFL, 0);
  drain(from);
  _exit(cut ? 0 : 1);
}

inline int reap(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return st;
}
