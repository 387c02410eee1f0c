// Whether anything of a process group still runs, for ending a child's
// group: the group's id stays valid while any member, zombies included,
// exists, so kill(-pgid, 0) alone cannot tell.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/process.hpp"

namespace tavro::proc {
namespace {

// State and process group of /proc/<pid>/stat: "pid (comm) S ppid pgrp ...";
// comm may hold spaces and parentheses, so the fields follow the last ')'.
bool read_stat(const char* pid, char& state, long& pgrp) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%s/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[512];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = '\0';
  char* close = std::strrchr(buf, ')');
  if (!close || close[1] != ' ') return false;
  char* p = close + 2;
  state = *p;
  char* end = nullptr;
  std::strtol(p + 1, &end, 10);  // ppid
  pgrp = std::strtol(end, &end, 10);
  return true;
}

}  // namespace

bool group_running(int pgid) {
  if (pgid <= 0) return false;
  if (::kill(-pgid, 0) != 0 && errno == ESRCH) return false;
  DIR* dir = ::opendir("/proc");
  if (!dir) return true;  // no /proc: the group exists, so count it as running
  bool running = false;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    char state = 0;
    long pgrp = 0;
    if (read_stat(e->d_name, state, pgrp) && pgrp == pgid && state != 'Z' && state != 'X') {
      running = true;
      break;
    }
  }
  ::closedir(dir);
  return running;
}

}  // namespace tavro::proc
