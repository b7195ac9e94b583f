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

size_t SampleCount(const Mp4Track& Track) { return Track.Sizes.size(); }

namespace {

const Mp4Span& SpanOf(const Mp4Track& Track, size_t Index)
{
    auto After = std::upper_bound(Track.Spans.begin(), Track.Spans.end(), Index,
                                  [](size_t I, const Mp4Span& Span) { return I < Span.First; });
    return *(After - 1);
}

// Times and places are computed modulo 2^64, as stored values may wrap.
uint64_t TimeAt(const Mp4Track& Track, size_t Index)
{
    const Mp4Span& Span = SpanOf(Track, Index);
    return Span.Time + (Index - Span.First) * Span.Delta;
}

} // namespace

Mp4Sample SampleAt(const Mp4Track& Track, size_t Index)
{
    const Mp4Span& Span = SpanOf(Track, Index);
    uint64_t Pos = static_cast<uint64_t>(Span.Pos);
    for (size_t I = Span.First; I < Index; ++I)
        Pos += Track.Sizes[I];
    Mp4Sample Sample;
    Sample.Pos = static_cast<int64_t>(Pos);
    Sample.Size = Track.Sizes[Index];
    Sample.Sync = Track.Sync[Index];
    Sample.Time = Span.Time + (Index - Span.First) * Span.Delta;
    return Sample;
}

void AddSample(Mp4Track& Track, const Mp4Sample& Sample)
{
    size_t Index = Track.Sizes.size();
    bool Joins = false;
    if (!Track.Spans.empty()) {
        Mp4Span& Last = Track.Spans.back();
        size_t InSpan = Index - Last.First;
        uint64_t Delta = Sample.Time - Track.LastTime;
        Joins = InSpan < SpanSamples && static_cast<uint64_t>(Sample.Pos) == Track.NextPos &&
                (InSpan == 1 || Delta == Last.Delta);
        if (Joins && InSpan == 1)
            Last.Delta = Delta;
    }
    if (!Joins)
        Track.Spans.push_back(Mp4Span{Sample.Pos, Sample.Time, 0, Index});
    Track.Sizes.push_back(Sample.Size);
    Track.Sync.push_back(Sample.Sync);
    Track.NextPos = static_cast<uint64_t>(Sample.Pos) + Sample.Size;
    Track.LastTime = Sample.Time;
}

uint64_t SampleDuration(const Mp4Track& Track, size_t Index)
{
    size_t Count = SampleCount(Track);
    if (Index + 1 < Count)
        return TimeAt(Track, Index + 1) - TimeAt(Track, Index);
    if (Index >= Count)
        return 0;
    // The last sample lasts to the track's end, or as long as the one before.
    uint64_t Time = TimeAt(Track, Index);
    if (Track.Duration > Time)
        return Track.Duration - Time;
    return Index > 0 ? Time - TimeAt(Track, Index - 1) : 0;
}

size_t SamplesEndedBy(const Mp4Track& Track, uint64_t MsTime)
{
    // A sample ending at E (time-scale units) has ended by MsTime when
    // E * num / den <= MsTime / 1000; compared exactly in 128 bits.
    constexpr unsigned MsPerSecond = 1000;
    const unsigned __int128 Limit = static_cast<unsigned __int128>(MsTime) * Track.TimeBaseDen;
    auto EndedBy = [&](size_t Index) {
        unsigned __int128 End = TimeAt(Track, Index);
        End += SampleDuration(Track, Index);
        return End * Track.TimeBaseNum * MsPerSecond <= Limit;
    };
    // Sample ends never decrease: find the first sample still playing.
    size_t Low = 0;
    size_t High = SampleCount(Track);
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
