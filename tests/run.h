// Drives a built tool the way a user would: in a fresh folder, with real
// files, pipes and devices, reading back standard output, standard error,
// the exit status and the bytes left on disk.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Bytes = std::string;

struct Result {
  std::string out, err;
  int status;
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

// Runs args in dir. Standard output goes to a pipe, or to the file out_path
// when one is given (and then Result::out stays empty); close_stdin starts
// the tool with descriptor 0 closed. Nothing but 0, 1 and 2 is inherited.
inline Result run(const fs::path &dir, std::vector<std::string> args,
                  const char *out_path = nullptr, bool close_stdin = false) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) ADD_FAILURE() << "pipe";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = out_path ? open(out_path, O_WRONLY) : out[1];
    dup2(fd, 1);
    dup2(err[1], 2);
    // Standard input is /dev/null even where the tests themselves run
    // without one, so the tool's descriptors are numbered as for a user.
    if (close_stdin)
      close(0);
    else
      dup2(open("/dev/null", O_RDONLY), 0);
    close_range(3, ~0U, 0);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  Result r;
  r.out = drain(out[0]);
  r.err = drain(err[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
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

inline int reap(pid_t pid) {
  int st = 0;
  waitpid(pid, &st, 0);
  return st;
}
