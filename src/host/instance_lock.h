// The single-instance lock: one running copy per executable file and user.
#pragma once

// Returns only when no other copy holds the lock; otherwise prints the product's
// "already_started" message and exits with status 1. Something other than a regular file of the
// effective user with one name at the lock file's path is replaced; where it cannot be removed,
// "lock_file_unusable" names it and the process exits with status 1.
void ExitIfNotOnlyInstance(void);
// Exit function: removes the lock file (while it is still this copy's), then releases the lock.
void DeleteLockFile(void);
