#pragma once
// Replacing a file in the local store without ever leaving a half-written
// one: the new bytes go to a temporary file in the same directory, which is
// flushed and synced and then renamed over the target. A reader (or the next
// run after a crash) sees the old file or the new one whole. Temporary names
// begin with "." so store listings pass over any left behind by a crash, and
// carry the writer's process id, so that a later run can tell those of
// processes that are gone from those still being written.

#include <cstddef>
#include <string>

#include "aError.h"

// Writes size bytes (data may be null only when size is 0) as the new
// content of path. aErrNone; aErrNotFound when the temporary cannot be
// created, or when path or its directory is not what the store makes
// (UpdaterStorePath.h: a symbolic link, a FIFO, ...; *refused, may be
// null, is then true and nothing is written); aErrIO when writing, syncing
// or renaming fails. On failure the old file is untouched, the temporary is
// removed and *why (may be null) names the step and the system's reason, or
// the refusal; errno then holds that reason.
aErr UpdaterStore_ReplaceFile(const std::string& path, const void* data, size_t size, std::string* why,
                              bool* refused = nullptr);

// The hidden name under which a download stages fileName for its checks
// before the real file is written: ".download-<pid>-<fileName>".
std::string UpdaterStore_StagingName(const std::string& fileName);

// Removes from the directory the temporaries of UpdaterStore_ReplaceFile
// (".<name>.<pid>.<n>.tmp") and the staged downloads (see above) whose
// process no longer exists. Those of live processes, this one's included,
// and every other entry stay. Answers the number removed.
int UpdaterStore_RemoveStaleTemporaries(const std::string& directory);

// Test seam: called with the temporary's path once it is written and
// synced, just before the rename. Returning false abandons the replacement
// as a failed rename would. Null (the default) installs no hook.
typedef bool (*UpdaterStoreReplaceHook)(const char* tempPath, void* ref);
void UpdaterStore_SetReplaceHook(UpdaterStoreReplaceHook hook, void* ref);
