// A SIGTERM sent to the host while SLURM runs wait. With its default
// disposition it would end the process at once, and the jobs would run on
// (srun, in a process group of its own, never sees it); ending srun itself
// would kill the job steps outright, before rivo could remove a container.
// So while a run waits, such a SIGTERM is only noted: every waiting run sees
// it, cancels its job the gentle way (scancel: SIGTERM to the step, a grace,
// then SIGKILL), and when the last run is done the default disposition is
// back and the signal is raised again, ending the process as it would have.
// A handler of the host's own is left alone.
#pragma once

namespace tavro::rivo::slurm {

class TermHold {
 public:
  TermHold();
  ~TermHold();
  TermHold(const TermHold&) = delete;
  TermHold& operator=(const TermHold&) = delete;

  // A SIGTERM arrived since the first of the current holds was taken.
  static bool received();
};

}  // namespace tavro::rivo::slurm
