// Test seams of the extraction. Defined beside the state they touch. No header of the launcher
// includes this one and the launchers' main does not, so the launchers call none of them (the
// linker drops them).
#pragma once

// archive/extract_workers.cpp: how many worker processes the last extraction started (0: it
// wrote the entries in this process).
int ExtractionWorkersForTesting(void);
// archive/extract_workers.cpp: treats every output directory as one whose file system folds
// names (ignores letter case), as FAT or a case-folding ext4 directory does.
void FoldNamesForTesting(bool fold);
// archive/extract_workers.cpp: the fewest bytes an archive must hold for workers to be used
// (0 restores the launcher's threshold); 1 lets workers take on any archive with a byte in it.
void SetLeastParallelBytesForTesting(unsigned long long bytes);
