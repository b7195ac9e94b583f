// Ogg Vorbis engine: libvorbisfile decodes through callbacks over a C stream
// the engine opens; each decode call is one library read of interleaved
// 16-bit PCM into the core's buffer, and seeks are by time.
#include "vorbis_engine.h"

#include "zeb_platform.h"

// Only the types and prototypes: the header's static default callbacks
// would be one unused copy per file.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <sys/types.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>

namespace {

const char* const VorbisNames[] = {"libvorbisfile.so.3", nullptr};

// Written only by GetVorbisSupport and CloseVorbisSupport.
void* hDll = nullptr;
decltype(&ov_open_callbacks) OvOpenCallbacks = nullptr;
decltype(&ov_info) OvInfo = nullptr;
decltype(&ov_time_total) OvTimeTotal = nullptr;
decltype(&ov_read) OvRead = nullptr;
decltype(&ov_time_seek) OvTimeSeek = nullptr;
decltype(&ov_clear) OvClear = nullptr;
decltype(&ov_bitrate) OvBitrate = nullptr; // never called; its absence means a library too unlike ours

constexpr uint16_t OutBytesPerSample = 2;
constexpr int LittleEndian = 0;
constexpr int Signed = 1;
constexpr int CurrentLink = -1;
constexpr int WholeFile = -1;
constexpr double SecondsPerMs = 0.001;

const ov_callbacks Callbacks = {VorbisReadFile, VorbisSeekFile, VorbisCloseFile, VorbisTellFile};

// The record the core holds, then the library's decoder state. The library
// owns the file from a successful open until ov_clear closes it.
struct VorbisStream {
    MPEGFileInfoType Info; // first member: the core's record pointer is the stream's
    OggVorbis_File File;
};

VorbisStream* StreamOf(MPEGFileInfoType* Info) { return reinterpret_cast<VorbisStream*>(Info); }

OggVorbis_File* DecoderOf(MPEGFileInfoType* Info) { return &StreamOf(Info)->File; }

template <typename Func> bool Bind(Func* Slot, const char* Name)
{
    *Slot = reinterpret_cast<Func>(GetSupportSymbol(hDll, Name));
    return *Slot != nullptr;
}

bool BindAll()
{
    return Bind(&OvOpenCallbacks, "ov_open_callbacks") && Bind(&OvInfo, "ov_info") &&
           Bind(&OvTimeTotal, "ov_time_total") && Bind(&OvRead, "ov_read") && Bind(&OvTimeSeek, "ov_time_seek") &&
           Bind(&OvClear, "ov_clear") && Bind(&OvBitrate, "ov_bitrate");
}

// A rate and channel count the record can carry and the core can divide by.
bool UsableInfo(const vorbis_info* Vi)
{
    return Vi && Vi->rate > 0 && Vi->rate <= UINT32_MAX && Vi->channels > 0 && Vi->channels <= UINT16_MAX;
}

// Fixed-rate streams carry equal upper and lower limits. Unset limits are
// written as -1 or 0 by encoders; those are not a rate.
int FixedBitRate(const vorbis_info& Vi)
{
    return Vi.bitrate_upper == Vi.bitrate_lower && Vi.bitrate_upper > 0 && Vi.bitrate_upper <= INT_MAX
               ? static_cast<int>(Vi.bitrate_upper)
               : 0;
}

void FillRecord(MPEGFileInfoType* Info, const vorbis_info& Vi, double TotalSeconds)
{
    Info->SampleRate = static_cast<uint32_t>(Vi.rate);
    Info->Channels = static_cast<uint16_t>(Vi.channels);
    Info->BytesPerSample = OutBytesPerSample;
    Info->BitRate = FixedBitRate(Vi);
    // A negative total is the library's error code: no length.
    if (TotalSeconds > 0)
        Info->TrackLength = static_cast<uint32_t>(std::min(TotalSeconds, static_cast<double>(UINT32_MAX)));
}

// The link that produced the last read still has the record's layout. A
// chained file may change rate or channels at a link; that PCM would play
// at the wrong pitch or with the channels scrambled.
bool SameLayout(MPEGFileInfoType* Info, int Link)
{
    const vorbis_info* Vi = OvInfo(DecoderOf(Info), Link);
    return Vi && Vi->rate == static_cast<long>(Info->SampleRate) && Vi->channels == Info->Channels;
}

} // namespace

int GetVorbisSupport(void)
{
    if (hDll)
        return 1;
    hDll = LoadSupportLibrary("vorbis", VorbisNames);
    if (!hDll)
        return 0;
    if (BindAll())
        return 1;
    CloseVorbisSupport();
    return 0;
}

void CloseVorbisSupport(void)
{
    FreeSupportLibrary(hDll);
    hDll = nullptr;
    OvOpenCallbacks = nullptr;
    OvInfo = nullptr;
    OvTimeTotal = nullptr;
    OvRead = nullptr;
    OvTimeSeek = nullptr;
    OvClear = nullptr;
    OvBitrate = nullptr;
}

MPEGFileInfoType* PrepareVorbisFile(const char* Path)
{
    // Regular files only: opening a FIFO without a writer would block.
    if (!hDll || !Path || !IsRegularFile(Path))
        return nullptr;
    VorbisStream* Stream = new (std::nothrow) VorbisStream{};
    if (!Stream)
        return nullptr;
    FILE* File = fopen(Path, "rb");
    if (!File) {
        delete Stream;
        return nullptr;
    }
    // A refused open leaves the file with the caller: the library closes
    // its datasource only through ov_clear after a successful open.
    if (OvOpenCallbacks(File, &Stream->File, nullptr, 0, Callbacks) != 0) {
        fclose(File);
        delete Stream;
        return nullptr;
    }
    const vorbis_info* Vi = OvInfo(&Stream->File, CurrentLink);
    if (!UsableInfo(Vi)) {
        OvClear(&Stream->File);
        delete Stream;
        return nullptr;
    }
    MPEGFileInfoType* Info = &Stream->Info;
    Info->Handle = reinterpret_cast<FILE*>(&Stream->File);
    FillRecord(Info, *Vi, OvTimeTotal(&Stream->File, WholeFile));
    return Info;
}

// One library read into as much of the buffer as an int can name. Every
// negative result ends the stream: a hole (OV_HOLE) or bad link
// (OV_EBADLINK) in damaged data, and an invalid-argument result, which a
// successfully opened stream does not produce; none of them is a byte count.
// A fault inside the library cannot be caught here: a library installs no
// signal handlers in its host.
uint32_t DecodeVorbisSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz)
{
    if (!MPEGFileInfo || !OutBuf || !hDll)
        return 0;
    int Length = static_cast<int>(std::min<uint32_t>(BufSz, INT_MAX));
    int Link = 0;
    long Got = OvRead(DecoderOf(MPEGFileInfo), static_cast<char*>(OutBuf), Length, LittleEndian, OutBytesPerSample,
                      Signed, &Link);
    if (Got <= 0 || Got > Length || !SameLayout(MPEGFileInfo, Link))
        return 0;
    return static_cast<uint32_t>(Got);
}

void SeekVorbisFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !hDll)
        return;
    OvTimeSeek(DecoderOf(MPEGFileInfo), MsOffset * SecondsPerMs);
}

void UnPrepareVorbisFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    if (hDll)
        OvClear(DecoderOf(MPEGFileInfo));
    delete StreamOf(MPEGFileInfo);
}

// ---- I/O callbacks ----

size_t VorbisReadFile(void* ptr, size_t size, size_t nmemb, void* datasource)
{
    return fread(ptr, size, nmemb, static_cast<FILE*>(datasource));
}

// The whole offset: files of 2 GiB and more seek correctly.
int VorbisSeekFile(void* datasource, int64_t offset, int whence)
{
    return fseeko(static_cast<FILE*>(datasource), static_cast<off_t>(offset), whence);
}

int VorbisCloseFile(void* datasource) { return fclose(static_cast<FILE*>(datasource)); }

long VorbisTellFile(void* datasource) { return static_cast<long>(ftello(static_cast<FILE*>(datasource))); }
