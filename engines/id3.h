// The ID3v2 tag at the start of a file, skipped by the MPEG and ADTS engines.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t ID3HeaderSize = 10;

// Size of the leading ID3v2 tag including its 10-byte header, or 0. Leaves
// the stream just after the tag, or at the start of the file when there is
// none. A tag that claims more bytes than the file holds counts as absent.
uint32_t ParseID3Tag(FILE* Fi);
