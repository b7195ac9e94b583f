// Header information over an ASF file's header: the file-level attributes
// (stream 0) of the Content Description, Extended Content Description,
// Metadata and Metadata Library objects with their types and languages, the
// Content Description fields as "Title", "Author", "Copyright",
// "Description" and "Rating", and the read-only "Duration" (play duration
// less preroll, 100 ns units, QWORD), "Bitrate" (DWORD) and "IsVBR" (BOOL).
// Indices are stable for the life of the object.
#pragma once

#include "wm_interfaces.h"

// A read-only view of the ASF file at Path, with one reference; null when
// the file cannot be read or is not ASF. Writing operations refuse.
IWMHeaderInfo3* OpenASFHeaderInfo(const char* Path);
