// Saving an edited ASF file without ever risking the original: the file is
// copied beside itself, TagLib rewrites the copy's header, the copy is
// checked (attributes as edited, media bytes untouched) and synced, and it
// replaces the original only if the original did not change since it was
// opened. The copy takes the original's owner, group, extended attributes
// and mode, or the save fails. A file with several hard links is rewritten
// in place instead, with a synced copy of the original kept beside it until
// the rewrite is synced. Temporary files are named ".NAME.wmedit-XXXXXX"
// (new versions) and ".NAME.wmkeep-XXXXXX" (the original during an in-place
// rewrite); the next save removes those an interrupted save left behind
// when the file is whole.
#pragma once

#include "asf_attributes.h"

#include <string>
#include <sys/stat.h>
#include <vector>

// The original as it was when the editor opened it.
struct ASFOriginal {
    std::string Path;
    int Fd = -1; // open read-write and locked from open to close
    struct stat Stat {};
    std::vector<uint8_t> Header; // the whole Header Object
};

// Opens the file at Path for editing: a regular file the caller may write,
// not locked by another editor, with a whole ASF header; it stays open
// and locked until ReleaseASFOriginal. False when it cannot be edited.
bool LoadASFOriginal(const char* Path, ASFOriginal& Original, std::vector<ASFAttribute>& Attributes);
void ReleaseASFOriginal(ASFOriginal& Original);

// Writes Attributes into the file. 0 on success; negative when the file is
// left exactly as it was (and no temporary file remains).
WMStatus SaveASFEdits(const ASFOriginal& Original, const std::vector<ASFAttribute>& Attributes);

// Test hooks: makes the given step of the next saves fail as if the system
// refused it (a full disk, a read-only folder), and calls Hook as each step
// begins (Rename: just before the rename; InPlace: halfway through an
// in-place rewrite).
enum class ASFSaveStep { None, Copy, Rewrite, Sync, Rename, InPlace };
void SimulateASFSaveFailure(ASFSaveStep Step);
void SetASFSaveStepHook(void (*Hook)(ASFSaveStep));
