// General sound-file engine: libsndfile reads a descriptor the engine opened
// and converts every encoding to interleaved 16-bit samples; the engine reads
// a quarter second per call and maps millisecond seeks to frame numbers.
#include "sndfile.h"

#include "zeb_platform.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

namespace {

// The part of libsndfile's stable interface the engine uses. Declared here
// rather than taken from <sndfile.h>, which this engine's own header shadows
// on the include path; the values are the library's published ones.
struct SNDFILE;
typedef int64_t sf_count_t;
struct SF_INFO {
    sf_count_t frames; // SF_COUNT_MAX when the library cannot tell
    int samplerate;
    int channels;
    int format;
    int sections;
    int seekable;
};
constexpr int SFM_READ = 0x10;
constexpr int SF_FALSE = 0;
constexpr int SF_FORMAT_SUBMASK = 0xFFFF;
constexpr int SF_FORMAT_FLOAT = 0x0006;
constexpr int SF_FORMAT_DOUBLE = 0x0007;
constexpr int SFC_SET_SCALE_FLOAT_INT_READ = 0x1014;
constexpr int SF_TRUE = 1;
constexpr int SEEK_FROM_START = 0;
constexpr sf_count_t SF_COUNT_MAX = INT64_MAX;

typedef SNDFILE* (*SFOpenFdFunc)(int Fd, int Mode, SF_INFO* Info, int CloseDesc);
typedef sf_count_t (*SFSeekFunc)(SNDFILE* File, sf_count_t Frames, int Whence);
typedef int (*SFCloseFunc)(SNDFILE* File);
typedef int (*SFCommandFunc)(SNDFILE* File, int Command, void* Data, int DataSize);
typedef sf_count_t (*SFReadShortFunc)(SNDFILE* File, short* Out, sf_count_t Frames);

const char* const SndFileNames[] = {"libsndfile.so.1", nullptr};

// Written only by GetSndFileSupport and CloseSndFileSupport.
void* hDll = nullptr;
SFOpenFdFunc SFOpenFd = nullptr;
std::mutex OpenLock; // serialises SFOpenFd
SFSeekFunc SFSeek = nullptr;
SFCloseFunc SFClose = nullptr;
SFCommandFunc SFCommand = nullptr;
SFReadShortFunc SFReadShort = nullptr;

constexpr uint32_t BytesPerSample = 2;
constexpr uint32_t ReadsPerSecond = 4; // each decode delivers a quarter second

template <typename Func> bool Bind(Func* Slot, const char* Name)
{
    *Slot = reinterpret_cast<Func>(GetSupportSymbol(hDll, Name));
    return *Slot != nullptr;
}

SNDFILE* Sf(const MPEGFileInfoType* Info) { return reinterpret_cast<SNDFILE*>(Info->Handle); }

// The engine's descriptor, which the library reads and never closes.
int FdOf(const MPEGFileInfoType* Info) { return static_cast<int>(Info->DecoderPriv); }

// A stream the record can describe and every later division can rely on.
// An unknown length (a stream the library cannot measure) is refused, as
// neither the track length nor seeking could work.
bool UsableStream(const SF_INFO& Info)
{
    return Info.samplerate > 0 && Info.channels > 0 && Info.channels <= UINT16_MAX && Info.frames >= 0 &&
           Info.frames != SF_COUNT_MAX;
}

bool IsFloatingPoint(const SF_INFO& Info)
{
    int Subtype = Info.format & SF_FORMAT_SUBMASK;
    return Subtype == SF_FORMAT_FLOAT || Subtype == SF_FORMAT_DOUBLE;
}

MPEGFileInfoType* NewSndFileInfo(SNDFILE* File, int Fd, const SF_INFO& Sf)
{
    MPEGFileInfoType* Info = NewFileInfo();
    if (!Info)
        return nullptr;
    uint64_t Frames = static_cast<uint64_t>(Sf.frames);
    Info->Handle = reinterpret_cast<FILE*>(File);
    Info->DecoderPriv = static_cast<uintptr_t>(Fd);
    Info->SampleRate = static_cast<uint32_t>(Sf.samplerate);
    Info->Channels = static_cast<uint16_t>(Sf.channels);
    Info->BytesPerSample = BytesPerSample;
    Info->FileLength = Frames;
    Info->TotalSamples = Frames;
    Info->TrackLength = static_cast<uint32_t>(std::min<uint64_t>(Frames / Info->SampleRate, UINT32_MAX));
    return Info;
}

// Frames for one call: a quarter second, but at least one frame so that a
// very low rate still plays out, and never more than BufSz holds (0 when it
// cannot hold a single frame).
uint64_t FramesPerCall(const MPEGFileInfoType* Info, uint32_t BufSz)
{
    uint64_t FrameBytes = static_cast<uint64_t>(BytesPerSample) * Info->Channels;
    uint64_t QuarterSecond = static_cast<uint64_t>(Info->SampleRate) * FrameBytes / ReadsPerSecond;
    uint64_t Frames = std::max<uint64_t>(QuarterSecond / FrameBytes, 1);
    return std::min<uint64_t>(Frames, BufSz / FrameBytes);
}

// The frame MsOffset milliseconds from the start; beyond the end is the end.
sf_count_t SeekTarget(const MPEGFileInfoType* Info, uint32_t MsOffset)
{
    return static_cast<sf_count_t>(std::min(SampleAtMs(Info, MsOffset), Info->TotalSamples));
}

// The library's open writes a process-wide error buffer: players opening
// files at the same time take turns.
SNDFILE* OpenLocked(int Fd, SF_INFO* Info)
{
    std::lock_guard<std::mutex> Guard(OpenLock);
    return SFOpenFd(Fd, SFM_READ, Info, SF_FALSE);
}

} // namespace

void CloseSndFileSupport(void)
{
    FreeSupportLibrary(hDll);
    hDll = nullptr;
    SFOpenFd = nullptr;
    SFSeek = nullptr;
    SFClose = nullptr;
    SFCommand = nullptr;
    SFReadShort = nullptr;
}

int GetSndFileSupport(void)
{
    if (hDll)
        return 1;
    hDll = LoadSupportLibrary("sndfile", SndFileNames);
    if (!hDll)
        return 0;
    if (Bind(&SFOpenFd, "sf_open_fd") && Bind(&SFSeek, "sf_seek") && Bind(&SFClose, "sf_close") &&
        Bind(&SFCommand, "sf_command") && Bind(&SFReadShort, "sf_readf_short"))
        return 1;
    CloseSndFileSupport();
    return 0;
}

// The engine opens the file once and keeps the descriptor: the library is
// told not to close it, so that every path out of a refused open closes it
// here, exactly once.
MPEGFileInfoType* PrepareLibSndFile(const char* Path)
{
    if (!hDll || !Path)
        return nullptr;
    int Fd = OpenRegularFd(Path);
    if (Fd < 0)
        return nullptr;
    SF_INFO Info{};
    SNDFILE* File = OpenLocked(Fd, &Info);
    MPEGFileInfoType* Record = File && UsableStream(Info) ? NewSndFileInfo(File, Fd, Info) : nullptr;
    if (!Record) {
        if (File)
            SFClose(File);
        close(Fd);
        return nullptr;
    }
    // Floating-point samples are scaled to the full 16-bit range when read
    // as integers; unscaled they would all round to -1, 0 or 1.
    if (IsFloatingPoint(Info))
        SFCommand(File, SFC_SET_SCALE_FLOAT_INT_READ, nullptr, SF_TRUE);
    return Record;
}

uint32_t DecodeLibSndSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz)
{
    if (!MPEGFileInfo || !OutBuf || MPEGFileInfo->Channels == 0 || !hDll)
        return 0;
    uint64_t Frames = FramesPerCall(MPEGFileInfo, BufSz);
    if (Frames == 0)
        return 0;
    sf_count_t Read = SFReadShort(Sf(MPEGFileInfo), static_cast<short*>(OutBuf), static_cast<sf_count_t>(Frames));
    if (Read <= 0)
        return 0;
    // Bounded by the frames asked for, which fit in BufSz.
    return static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(Read), Frames) * BytesPerSample *
                                 MPEGFileInfo->Channels);
}

void SeekLibSndFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !hDll)
        return;
    SFSeek(Sf(MPEGFileInfo), SeekTarget(MPEGFileInfo, MsOffset), SEEK_FROM_START);
}

void UnPrepareLibSndFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    if (hDll)
        SFClose(Sf(MPEGFileInfo));
    close(FdOf(MPEGFileInfo));
    FreeFileInfo(MPEGFileInfo);
}
