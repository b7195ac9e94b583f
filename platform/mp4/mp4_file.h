// The MP4 file module's own records: an open file is a descriptor and, per
// track, what the entry points report plus the container's sample table,
// taken from libavformat's index when the file is opened and kept compact:
// the stored sizes, and spans of samples that lie back to back in the file
// and last alike, from which a sample's place and time are worked out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zebmp4 {

// One stored sample: where its bytes lie and when it starts, in the track's
// time scale, counted from the track's first sample.
struct Mp4Sample {
    int64_t Pos = 0;
    uint32_t Size = 0;
    bool Sync = false;
    uint64_t Time = 0;
};

// Up to SpanSamples samples from First on: the first at Pos and Time, each
// next one right behind the one before and Delta later.
struct Mp4Span {
    int64_t Pos = 0;
    uint64_t Time = 0;
    uint64_t Delta = 0;
    size_t First = 0;
};
constexpr size_t SpanSamples = 256;

struct Mp4Track {
    const char* Type = "data"; // "soun", "vide", "text" or "data"
    bool IsAac = false;
    std::vector<uint8_t> Config; // the codec's configuration bytes as stored
    int64_t BitRate = 0;         // as the container declares it, 0 if not
    uint32_t TimeBaseNum = 1;    // seconds per time-scale unit: Num / Den
    uint32_t TimeBaseDen = 1;
    uint64_t Duration = 0;       // in time-scale units
    std::vector<uint32_t> Sizes; // one per sample
    std::vector<bool> Sync;      // one per sample
    std::vector<Mp4Span> Spans;  // in order of First, the first at 0
    uint64_t NextPos = 0;        // where a sample right behind the last would lie
    uint64_t LastTime = 0;       // the last sample's time
};

// Track identifiers are the track's position in Tracks plus 1.
struct Mp4File {
    int Fd = -1;
    int64_t FileSize = 0;
    std::vector<Mp4Track> Tracks;
};

// Opens Path (a regular file only) and reads its tracks and sample tables;
// null when it is not a readable MP4 file.
Mp4File* OpenMp4File(const char* Path);
void CloseMp4File(Mp4File* File);

// The track for an identifier, null for an unknown one.
const Mp4Track* FindTrack(const Mp4File* File, uint32_t TrackId);
size_t SampleCount(const Mp4Track& Track);
// The sample at Index (from 0, below the count).
Mp4Sample SampleAt(const Mp4Track& Track, size_t Index);
// Appends a sample to the table.
void AddSample(Mp4Track& Track, const Mp4Sample& Sample);
// Duration of the sample at Index (from 0), in time-scale units.
uint64_t SampleDuration(const Mp4Track& Track, size_t Index);
// Number of samples that end at or before MsTime.
size_t SamplesEndedBy(const Mp4Track& Track, uint64_t MsTime);
// Track time-scale units rescaled to TimeScale units, truncated, saturated.
uint64_t RescaleDuration(const Mp4Track& Track, uint64_t Value, uint32_t TimeScale);
// True when the sample's bytes lie wholly inside the file.
bool SampleInFile(const Mp4File& File, const Mp4Sample& Sample);
// Reads the sample's bytes into Out (at least Sample.Size bytes).
bool ReadSampleBytes(const Mp4File& File, const Mp4Sample& Sample, uint8_t* Out);

} // namespace zebmp4
