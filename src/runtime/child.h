// The launcher's child processes (the version probe, the Java program, the upgrade script):
// one at a time, waited for without being cut short by a handled signal, and recorded while
// they run, so that a signal handler stops the running child before it deletes the files that
// the child may be using.
#pragma once

#include <sys/types.h>

// How a signal handler stops the running child.
enum class ChildStop {
  // SIGTERM, up to 10 seconds to end, then SIGKILL: the Java program and the upgrade script,
  // which may have work of their own to wind up.
  Gently,
  // SIGKILL at once to the child's own process group: the version probe, which runs in a group
  // of its own and owes nobody anything.
  WholeGroup,
};

// fork() for a child that the signal handlers stop first. The child starts with the launcher's
// caught signals back at their default action (ignored ones stay ignored) and, for WholeGroup,
// as the leader of a process group of its own. In the parent the child is the running child
// before any signal can be handled. Returns like fork().
pid_t ForkRunningChild(ChildStop stop);
// True once the running child pid has ended (or cannot be waited for); it is not reaped.
bool RunningChildEnded(pid_t pid);
// Waits for the running child pid to end, reaps it and forgets it: pid and its status as from
// waitpid, or -1.
pid_t WaitForRunningChild(pid_t pid, int *status);
// For the signal handlers, async-signal-safe: stops the running child as its ChildStop says,
// reaps it and forgets it. Does nothing when no child runs.
void StopRunningChild(void);
