// Saving an edited ASF file without ever risking the original: the file is
// copied beside itself, TagLib rewrites the copy's header, the copy is
// checked (attributes as edited, media bytes untouched) and synced, and it
// replaces the original by rename only if the original did not change since
// it was opened.
#pragma once

#include "asf_attributes.h"

#include <string>
#include <sys/stat.h>
#include <vector>

// The original as it was when the editor opened it.
struct ASFOriginal {
    std::string Path;
    struct stat Stat {};
    std::vector<uint8_t> Header; // the whole Header Object
};

// Reads the file at Path for editing: regular files only, a whole ASF
// header. False when it cannot be edited.
bool LoadASFOriginal(const char* Path, ASFOriginal& Original, std::vector<ASFAttribute>& Attributes);

// Writes Attributes into the file. 0 on success; negative when the file is
// left exactly as it was (and no temporary file remains).
WMStatus SaveASFEdits(const ASFOriginal& Original, const std::vector<ASFAttribute>& Attributes);

// Test hook: makes the given step of the next saves fail as if the system
// refused it (a full disk, a read-only folder).
enum class ASFSaveStep { None, Copy, Rewrite, Sync, Rename };
void SimulateASFSaveFailure(ASFSaveStep Step);
