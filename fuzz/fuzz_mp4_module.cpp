// Fuzzes the MP4 file module: the input becomes a file in memory, which is
// opened, asked every question for every track, and read sample by sample;
// then the AAC engine plays it over the module's entry points (prepare, a
// few frames through the decoder, a seek, a few more, unprepare).
#include "aac_decode.h"
#include "memory_file.h"
#include "zeb_mp4.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" {
MP4FileHandle MP4Read(const char* FileName, uint32_t Verbosity);
uint32_t MP4GetNumberOfTracks(MP4FileHandle File, const char* Type, uint8_t SubType);
MP4TrackId MP4FindTrackId(MP4FileHandle File, uint16_t Index, const char* Type, uint8_t SubType);
const char* MP4GetTrackType(MP4FileHandle File, MP4TrackId Track);
bool MP4GetTrackESConfiguration(MP4FileHandle File, MP4TrackId Track, uint8_t** Config, uint32_t* ConfigSize);
void rtlFree(void* Buffer);
bool MP4GetTrackDurationEx(MP4FileHandle File, MP4TrackId Track, MP4Duration* Duration);
bool MP4ConvertFromTrackDurationEx(MP4FileHandle File, MP4TrackId Track, MP4Duration* Duration, uint32_t TimeScale);
uint32_t MP4GetTrackBitRate(MP4FileHandle File, MP4TrackId Track);
uint32_t MP4GetTrackNumberOfSamples(MP4FileHandle File, MP4TrackId Track);
bool MP4ReadSample(MP4FileHandle File, MP4TrackId Track, MP4SampleId Sample, uint8_t** Bytes, uint32_t* NumBytes,
                   MP4Timestamp* StartTime, MP4Duration* Duration, MP4Duration* RenderingOffset, bool* IsSyncSample);
MP4SampleId MP4GetSampleIdFromMsTime(MP4FileHandle File, MP4TrackId Track, uint64_t MsTime, bool WantSyncSample);
void MP4Close(MP4FileHandle File);
}

namespace {

// Keeps one run short when a tiny file declares millions of samples; the
// last sample is read as well.
constexpr MP4SampleId MaxSamplesRead = 1 << 16;

volatile uint8_t Sink;

void ReadSample(MP4FileHandle File, MP4TrackId Track, MP4SampleId Id)
{
    uint8_t* Bytes = nullptr;
    uint32_t Count = 0;
    MP4Timestamp Start;
    MP4Duration Duration, Offset;
    bool Sync;
    if (MP4ReadSample(File, Track, Id, &Bytes, &Count, &Start, &Duration, &Offset, &Sync)) {
        Sink = Count ? Bytes[0] ^ Bytes[Count - 1] : 0; // ASan sees a short buffer
        rtlFree(Bytes);
    }
}

void WalkTrack(MP4FileHandle File, MP4TrackId Track)
{
    MP4GetTrackType(File, Track);
    uint8_t* Config = nullptr;
    uint32_t ConfigSize = 0;
    if (MP4GetTrackESConfiguration(File, Track, &Config, &ConfigSize) && ConfigSize)
        Sink = Config[ConfigSize - 1];
    rtlFree(Config);
    MP4Duration Duration = 0;
    MP4GetTrackDurationEx(File, Track, &Duration);
    MP4Duration Seconds = Duration;
    MP4ConvertFromTrackDurationEx(File, Track, &Seconds, 1);
    MP4ConvertFromTrackDurationEx(File, Track, &Duration, 1000);
    MP4GetTrackBitRate(File, Track);
    uint32_t Count = MP4GetTrackNumberOfSamples(File, Track);
    MP4GetSampleIdFromMsTime(File, Track, Duration / 2, false);
    MP4GetSampleIdFromMsTime(File, Track, Duration / 3, true);
    MP4GetSampleIdFromMsTime(File, Track, UINT64_MAX, false);
    for (MP4SampleId Id = 1; Id <= Count && Id <= MaxSamplesRead; ++Id)
        ReadSample(File, Track, Id);
    ReadSample(File, Track, Count);
    ReadSample(File, Track, Count + 1);
}

// The decoder library as the engine loads it, and this module's entry points
// (compiled into the target) in place of the module the engine would load.
bool UseModuleInEngine()
{
    if (!GetAACSupport())
        return false;
    *MP4EntryPointsForTesting() = {MP4Read, MP4GetNumberOfTracks, MP4FindTrackId, MP4GetTrackType,
                                   MP4GetTrackESConfiguration, rtlFree, MP4GetTrackDurationEx,
                                   MP4ConvertFromTrackDurationEx, MP4GetTrackBitRate, MP4GetTrackNumberOfSamples,
                                   MP4ReadSample, MP4GetSampleIdFromMsTime, MP4Close};
    return true;
}

void Play(const std::string& Path, uint32_t SeekMs)
{
    static const bool HaveEngine = UseModuleInEngine();
    MPEGFileInfoType* Info = HaveEngine ? PrepareAAC_MP4File(Path.c_str()) : nullptr;
    if (!Info)
        return;
    if (Info->SampleRate == 0 || Info->Channels == 0)
        __builtin_trap();
    DecodeSomeAac(Info);
    SeekAAC_MP4File(Info, SeekMs);
    DecodeSomeAac(Info);
    UnPrepareAAC_MP4File(Info);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    int Fd = MemoryFile("fuzz_mp4_module", Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    if (MP4FileHandle File = MP4Read(Path.c_str(), 0)) {
        uint32_t Tracks = MP4GetNumberOfTracks(File, nullptr, 0);
        MP4GetNumberOfTracks(File, "soun", 0);
        for (uint32_t Index = 0; Index < Tracks && Index <= UINT16_MAX; ++Index)
            WalkTrack(File, MP4FindTrackId(File, static_cast<uint16_t>(Index), nullptr, 0));
        MP4FindTrackId(File, 0, "soun", 0);
        WalkTrack(File, Tracks + 1); // an unknown track
        MP4Close(File);
        Play(Path, Size >= 3 ? static_cast<uint32_t>(Data[Size - 1] | Data[Size - 2] << 8 | Data[Size - 3] << 16) : 0);
    }
    close(Fd);
    return 0;
}
