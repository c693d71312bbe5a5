// The one way out that removes the working directory: the normal end and the signal handlers.
#pragma once

void PrepareToExit(void);
void HandleSignalAndExit(int sig);
void HandleSignalAndAbort(int sig);
void DeleteWorkingDirectory(void);
void DeleteFilesAndDirectories(const char *path);
