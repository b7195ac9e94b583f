// The sample table of an open track: durations, time look-ups, rescaling
// and reading a sample's stored bytes.
#include "mp4_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace zebmp4 {

const Mp4Track* FindTrack(const Mp4File* File, uint32_t TrackId)
{
    if (!File || TrackId == 0 || TrackId > File->Tracks.size())
        return nullptr;
    return &File->Tracks[TrackId - 1];
}

uint64_t SampleDuration(const Mp4Track& Track, size_t Index)
{
    const auto& Samples = Track.Samples;
    if (Index + 1 < Samples.size())
        return Samples[Index + 1].Time - Samples[Index].Time;
    if (Index >= Samples.size())
        return 0;
    // The last sample lasts to the track's end, or as long as the one before.
    if (Track.Duration > Samples[Index].Time)
        return Track.Duration - Samples[Index].Time;
    return Index > 0 ? Samples[Index].Time - Samples[Index - 1].Time : 0;
}

size_t SamplesEndedBy(const Mp4Track& Track, uint64_t MsTime)
{
    // A sample ending at E (time-scale units) has ended by MsTime when
    // E * num / den <= MsTime / 1000; compared exactly in 128 bits.
    constexpr unsigned MsPerSecond = 1000;
    const unsigned __int128 Limit = static_cast<unsigned __int128>(MsTime) * Track.TimeBaseDen;
    auto EndedBy = [&](size_t Index) {
        unsigned __int128 End = Track.Samples[Index].Time;
        End += SampleDuration(Track, Index);
        return End * Track.TimeBaseNum * MsPerSecond <= Limit;
    };
    // Sample ends never decrease: find the first sample still playing.
    size_t Low = 0;
    size_t High = Track.Samples.size();
    while (Low < High) {
        size_t Mid = Low + (High - Low) / 2;
        if (EndedBy(Mid))
            Low = Mid + 1;
        else
            High = Mid;
    }
    return Low;
}

uint64_t RescaleDuration(const Mp4Track& Track, uint64_t Value, uint32_t TimeScale)
{
    unsigned __int128 Scaled = static_cast<unsigned __int128>(Value) * Track.TimeBaseNum *
                               TimeScale / Track.TimeBaseDen;
    constexpr uint64_t Max = std::numeric_limits<uint64_t>::max();
    return Scaled > Max ? Max : static_cast<uint64_t>(Scaled);
}

bool SampleInFile(const Mp4File& File, const Mp4Sample& Sample)
{
    return Sample.Size > 0 && Sample.Pos >= 0 && Sample.Pos <= File.FileSize &&
           Sample.Size <= static_cast<uint64_t>(File.FileSize - Sample.Pos);
}

bool ReadSampleBytes(const Mp4File& File, const Mp4Sample& Sample, uint8_t* Out)
{
    size_t Done = 0;
    while (Done < Sample.Size) {
        off_t At = static_cast<off_t>(Sample.Pos + static_cast<int64_t>(Done));
        ssize_t N = pread(File.Fd, Out + Done, Sample.Size - Done, At);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false; // an error, or the file shrank since it was opened
        Done += static_cast<size_t>(N);
    }
    return true;
}

} // namespace zebmp4
