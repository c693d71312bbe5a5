// The single-instance lock: one running copy per executable file and user.
#pragma once

// Returns only when no other copy holds the lock; otherwise prints the product's
// "already_started" message and exits with status 1.
void ExitIfNotOnlyInstance(void);
// Exit function: releases and removes the lock file.
void DeleteLockFile(void);
