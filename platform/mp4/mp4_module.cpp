// The MP4 file module's entry points, in the shape of the mp4v2 interface.
// A handle is an open Mp4File; track identifiers are track positions from 1
// (streams of the container in order, cover pictures left out), so every
// track has a non-zero identifier even where the file's own are damaged.
// Null handles, unknown tracks and missing outputs give 0, false or null.
#include "mp4_file.h"
#include "zeb_mp4.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#define ZEB_MP4_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using zebmp4::FindTrack;
using zebmp4::Mp4File;
using zebmp4::Mp4Track;

constexpr size_t TypeLength = 4;
// No AAC frame exceeds 6144 bits per channel (6144 bytes for 8 channels): a
// larger stored sample of an AAC track is damaged and is not read, so that
// a size the container states is never allocated unchecked.
constexpr uint32_t MaxAacSampleBytes = 64 * 1024;

const Mp4File* AsFile(MP4FileHandle File) { return static_cast<const Mp4File*>(File); }

// A null type matches every track, as in mp4v2.
bool TypeMatches(const Mp4Track& Track, const char* Type)
{
    return !Type || std::strncmp(Track.Type, Type, TypeLength + 1) == 0;
}

uint32_t Saturate32(uint64_t Value)
{
    constexpr uint32_t Max = std::numeric_limits<uint32_t>::max();
    return Value > Max ? Max : static_cast<uint32_t>(Value);
}

// Total stored bytes over the track's length in bits per second.
uint32_t BitRateFromSamples(const Mp4Track& Track)
{
    unsigned __int128 Bits = 0;
    for (uint32_t Size : Track.Sizes)
        Bits += Size;
    Bits *= 8;
    unsigned __int128 Units = static_cast<unsigned __int128>(Track.Duration) * Track.TimeBaseNum;
    if (Units == 0)
        return 0;
    unsigned __int128 Rate = Bits * Track.TimeBaseDen / Units;
    return Rate > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Rate);
}

// Into the caller's buffer (*NumBytes its capacity) or a new one.
bool ReadInto(const Mp4File& File, const zebmp4::Mp4Sample& Sample, uint8_t** Bytes, uint32_t* NumBytes)
{
    if (*Bytes) {
        if (*NumBytes < Sample.Size || !ReadSampleBytes(File, Sample, *Bytes))
            return false;
    } else {
        auto* Buffer = static_cast<uint8_t*>(std::malloc(Sample.Size));
        if (!Buffer)
            return false;
        if (!ReadSampleBytes(File, Sample, Buffer)) {
            std::free(Buffer);
            return false;
        }
        *Bytes = Buffer;
    }
    *NumBytes = Sample.Size;
    return true;
}

} // namespace

ZEB_MP4_EXPORT MP4FileHandle MP4Read(const char* FileName, uint32_t Verbosity)
{
    return zebmp4::OpenMp4File(FileName);
}

ZEB_MP4_EXPORT uint32_t MP4GetNumberOfTracks(MP4FileHandle File, const char* Type, uint8_t SubType)
{
    if (!File)
        return 0;
    uint32_t Count = 0;
    for (const auto& Track : AsFile(File)->Tracks)
        Count += TypeMatches(Track, Type) ? 1 : 0;
    return Count;
}

ZEB_MP4_EXPORT MP4TrackId MP4FindTrackId(MP4FileHandle File, uint16_t Index, const char* Type, uint8_t SubType)
{
    if (!File)
        return MP4_INVALID_TRACK_ID;
    const auto& Tracks = AsFile(File)->Tracks;
    uint32_t Seen = 0;
    for (size_t i = 0; i < Tracks.size(); ++i)
        if (TypeMatches(Tracks[i], Type) && Seen++ == Index)
            return static_cast<MP4TrackId>(i + 1);
    return MP4_INVALID_TRACK_ID;
}

ZEB_MP4_EXPORT const char* MP4GetTrackType(MP4FileHandle File, MP4TrackId TrackId)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    return Track ? Track->Type : nullptr;
}

ZEB_MP4_EXPORT bool MP4GetTrackESConfiguration(MP4FileHandle File, MP4TrackId TrackId, uint8_t** Config,
                                               uint32_t* ConfigSize)
{
    if (!Config || !ConfigSize)
        return false;
    *Config = nullptr;
    *ConfigSize = 0;
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    // Only an AAC track's configuration is its AudioSpecificConfig.
    if (!Track || !Track->IsAac || Track->Config.empty())
        return false;
    auto* Copy = static_cast<uint8_t*>(std::malloc(Track->Config.size()));
    if (!Copy)
        return false;
    std::memcpy(Copy, Track->Config.data(), Track->Config.size());
    *Config = Copy;
    *ConfigSize = static_cast<uint32_t>(Track->Config.size());
    return true;
}

ZEB_MP4_EXPORT void rtlFree(void* Buffer) { std::free(Buffer); }

ZEB_MP4_EXPORT bool MP4GetTrackDurationEx(MP4FileHandle File, MP4TrackId TrackId, MP4Duration* Duration)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    if (!Track || !Duration)
        return false;
    *Duration = Track->Duration;
    return true;
}

ZEB_MP4_EXPORT bool MP4ConvertFromTrackDurationEx(MP4FileHandle File, MP4TrackId TrackId, MP4Duration* Duration,
                                                  uint32_t TimeScale)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    if (!Track || !Duration)
        return false;
    *Duration = zebmp4::RescaleDuration(*Track, *Duration, TimeScale);
    return true;
}

ZEB_MP4_EXPORT uint32_t MP4GetTrackBitRate(MP4FileHandle File, MP4TrackId TrackId)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    if (!Track)
        return 0;
    if (Track->BitRate > 0)
        return Saturate32(static_cast<uint64_t>(Track->BitRate));
    return BitRateFromSamples(*Track);
}

ZEB_MP4_EXPORT uint32_t MP4GetTrackNumberOfSamples(MP4FileHandle File, MP4TrackId TrackId)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    return Track ? Saturate32(zebmp4::SampleCount(*Track)) : 0;
}

ZEB_MP4_EXPORT bool MP4ReadSample(MP4FileHandle File, MP4TrackId TrackId, MP4SampleId SampleId, uint8_t** Bytes,
                                  uint32_t* NumBytes, MP4Timestamp* StartTime, MP4Duration* Duration,
                                  MP4Duration* RenderingOffset, bool* IsSyncSample)
{
    const Mp4File* Open = AsFile(File);
    const Mp4Track* Track = FindTrack(Open, TrackId);
    if (!Track || !Bytes || !NumBytes || SampleId == 0 || SampleId > zebmp4::SampleCount(*Track))
        return false;
    const size_t Index = SampleId - 1;
    const zebmp4::Mp4Sample Sample = zebmp4::SampleAt(*Track, Index);
    if (Track->IsAac && Sample.Size > MaxAacSampleBytes)
        return false;
    if (!zebmp4::SampleInFile(*Open, Sample) || !ReadInto(*Open, Sample, Bytes, NumBytes))
        return false;
    if (StartTime)
        *StartTime = Sample.Time;
    if (Duration)
        *Duration = zebmp4::SampleDuration(*Track, Index);
    if (RenderingOffset)
        *RenderingOffset = 0;
    if (IsSyncSample)
        *IsSyncSample = Sample.Sync;
    return true;
}

ZEB_MP4_EXPORT MP4SampleId MP4GetSampleIdFromMsTime(MP4FileHandle File, MP4TrackId TrackId, uint64_t MsTime,
                                                    bool WantSyncSample)
{
    const Mp4Track* Track = FindTrack(AsFile(File), TrackId);
    if (!Track)
        return 0;
    size_t Index = zebmp4::SamplesEndedBy(*Track, MsTime);
    // A sync sample wanted: the nearest one at or before the playing sample.
    if (WantSyncSample && Index < zebmp4::SampleCount(*Track)) {
        size_t Sync = Index;
        while (Sync > 0 && !Track->Sync[Sync])
            --Sync;
        if (Track->Sync[Sync])
            Index = Sync;
    }
    return Saturate32(Index);
}

ZEB_MP4_EXPORT void MP4Close(MP4FileHandle File) { zebmp4::CloseMp4File(static_cast<Mp4File*>(File)); }
