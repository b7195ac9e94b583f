// The ASF Header Object read from a file: located, bounds-checked against
// the file, and walked for the facts the runtime reports as read-only
// attributes (play duration, preroll, bit rates, broadcast flag).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Bytes of the Header Object's own fields (GUID, size, object count, two
// reserved bytes) before its first child object.
constexpr size_t ASFHeaderPrologue = 30;

struct ASFHeaderFacts {
    bool HasFileProperties = false;
    uint64_t PlayDuration = 0;   // 100 ns units
    uint64_t PrerollMs = 0;      // milliseconds
    uint32_t Flags = 0;          // bit 0: broadcast (durations not valid)
    uint32_t MaxBitrate = 0;     // bits per second
    bool HasStreamBitrates = false;
    uint64_t StreamBitrateSum = 0; // bits per second, every listed stream
};

// Size of the Header Object that Data (of DataSz bytes, the start of a file
// of FileSz bytes) begins with; 0 when Data does not start with one or the
// header claims more bytes than the file holds.
uint64_t ASFHeaderSize(const uint8_t* Data, size_t DataSz, uint64_t FileSz);

// Walks the child objects of a whole Header Object (Header, HeaderSz bytes).
// A child that runs past the header ends the walk; what was found stays.
ASFHeaderFacts ParseASFHeaderFacts(const uint8_t* Header, size_t HeaderSz);

// Reads the whole Header Object of the regular file open on Fd (of FileSz
// bytes) into Header. False when the file is not ASF, is truncated inside
// the header, or cannot be read.
bool ReadASFHeader(int Fd, uint64_t FileSz, std::vector<uint8_t>& Header);

// The play duration the runtime reports, in 100 ns units: play duration less
// preroll, never negative; 0 for a broadcast file.
uint64_t ASFReportedDuration(const ASFHeaderFacts& Facts);
// The bit rate the runtime reports: the File Properties maximum bit rate, or
// when that is unset (0 or all ones) the sum of the Stream Bitrate
// Properties. 0 when neither is known.
uint32_t ASFReportedBitrate(const ASFHeaderFacts& Facts);
