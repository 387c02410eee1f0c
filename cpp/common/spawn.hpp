// Starting one child for the process runner: a vfork-style clone that
// shares our memory until the child calls exec, so a host of many
// gigabytes pays nothing to copy its page tables. Internal to the runner.
#pragma once

#include <sys/types.h>

namespace tavro::proc {

struct SpawnOptions;

// Descriptors that become the child's 0, 1 and 2 (-1: inherit ours). Each
// must be 3 or above, so no dup2 can overwrite another's source.
struct ChildFds {
  int in = -1;
  int out = -1;
  int err = -1;
};

// Starts the child of `o` in a process group of its own (the group id is
// its pid), with an empty signal mask, every signal at its default
// disposition, descriptors above 2 closed, and the parent-death signal of
// `o` armed. Returns its pid. Throws OsError as Python's subprocess reports
// the failure: ("chdir", cwd) when the working directory cannot be entered,
// ("execve", program) when no candidate could be run (the errno of the
// first candidate that exists, else of the last), after the child is
// reaped.
pid_t spawn_child(const SpawnOptions& o, const ChildFds& fds);

}  // namespace tavro::proc
