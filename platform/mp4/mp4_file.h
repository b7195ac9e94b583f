// The MP4 file module's own records: an open file is a descriptor and, per
// track, what the entry points report plus the container's sample table,
// copied out of libavformat when the file is opened.
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

struct Mp4Track {
    const char* Type = "data"; // "soun", "vide", "text" or "data"
    bool IsAac = false;
    std::vector<uint8_t> Config; // the codec's configuration bytes as stored
    int64_t BitRate = 0;         // as the container declares it, 0 if not
    uint32_t TimeBaseNum = 1;    // seconds per time-scale unit: Num / Den
    uint32_t TimeBaseDen = 1;
    uint64_t Duration = 0;       // in time-scale units
    std::vector<Mp4Sample> Samples;
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
