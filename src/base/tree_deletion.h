// Deletion of the working directory's tree, for the exit path and the signal handlers.
#pragma once

// Deletes the file or tree at an absolute path without following any symbolic link and without
// leaving it; does nothing for a relative path, for one whose last component is "." or "..",
// and for "/". Best effort and silent. Safe in signal context: it neither allocates nor locks.
void DeleteFilesAndDirectories(const char *path);
// Deletes everything inside the directory open as dirfd, relative to the descriptor whatever
// name the directory has meanwhile, then removes the directory's name path, but only while that
// name still leads to the same directory (device and inode). The same care and the same safety
// in signal context as DeleteFilesAndDirectories.
void DeleteOpenDirectory(int dirfd, const char *path);
// Renames from (relative to fromdir) to `to` (relative to todir) unless `to` exists: 0, or -1
// with errno set, EEXIST for a name that is taken. Where the file system cannot rename without
// replacing, a look before the rename stands in, which is enough in a directory that nobody else
// may change. Safe in signal context.
int RenameNoReplace(int fromdir, const char *from, int todir, const char *to);
