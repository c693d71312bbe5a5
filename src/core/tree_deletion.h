// Deletion of the working directory's tree, for the exit path and the signal handlers.
#pragma once

// Deletes the file or tree at an absolute path without following any symbolic link and without
// leaving it; does nothing for a relative path, for one whose last component is "." or "..",
// and for "/". Best effort and silent. Safe in signal context: it neither allocates nor locks.
void DeleteFilesAndDirectories(const char *path);
