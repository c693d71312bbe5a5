// The single-instance lock: one running copy per executable file and user. The lock file's name
// and descriptor belong to this module; the exit function gives them up.
#pragma once

// Returns only when no other copy holds the lock; otherwise prints the product's
// "already_started" message and exits with status 1. Something other than a regular file of the
// effective user with one name at the lock file's path is replaced; where it cannot be removed,
// "lock_file_unusable" names it and the process exits with status 1. Whenever it could make the
// lock file's name (from the temporary directory, the title, the executable and the user), it
// registers DeleteLockFile with atexit before it returns, whether a lock could be had or not.
void ExitIfNotOnlyInstance(void);
// The exit function that ExitIfNotOnlyInstance registers: removes the lock file (while it is
// still this copy's), then releases the lock. The launcher never calls it directly: it runs when
// the process exits, and not after a signal (the handlers end with _exit), when the kernel drops
// the lock and the file stays for the next copy to take over. Running it twice does nothing more.
void DeleteLockFile(void);
