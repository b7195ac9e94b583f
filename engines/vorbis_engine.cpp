// Ogg Vorbis engine: libvorbisfile decodes through callbacks over a C stream
// the engine opens; each decode call is one library read of interleaved
// 16-bit PCM into the core's buffer, and seeks are by time. A chained file
// whose later links change rate or channels goes through the layout
// converter, so that every link plays at the first link's layout.
#include "vorbis_engine.h"

#include "pcm_layout.h"
#include "zeb_platform.h"

// Only the types and prototypes: the header's static default callbacks
// would be one unused copy per file.
#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
decltype(&ov_streams) OvStreams = nullptr;
decltype(&ov_pcm_total) OvPcmTotal = nullptr;
decltype(&ov_raw_seek) OvRawSeek = nullptr;
decltype(&ov_raw_tell) OvRawTell = nullptr;
decltype(&ov_pcm_tell) OvPcmTell = nullptr;

constexpr uint16_t OutBytesPerSample = 2;
constexpr int LittleEndian = 0;
constexpr int Signed = 1;
constexpr int CurrentLink = -1;
constexpr int WholeFile = -1;
constexpr double SecondsPerMs = 0.001;
constexpr uint16_t MaxConvertedChannels = 2;
// Converted PCM waiting for the core, in frames at the record's layout; a
// read of a converted link takes at most what converts into this.
constexpr uint32_t PendingCapacity = 8192;
// Library reads one decode call makes without output (holes, bad links,
// a resampler still filling): every read consumes input, so this only
// bounds a library that stopped making progress.
constexpr uint32_t MaxEmptyReads = 65536;

// What the library may read while it seeks (see the seek guard below).
struct SeekGuard {
    bool Active;      // a library seek is running
    bool Watching;    // its read pass began at a link's first audio page
    bool Refusing;    // its read pass gets no more bytes
    int64_t NextPage; // in a watched pass: the page the library takes next
    int64_t PageEnd;  // and its end once checked intact, else 0
};

// The record the core holds, then the library's decoder state. The library
// owns the file from a successful open until ov_clear closes it. The
// conversion fields are set only for a chain with a link of another layout.
struct VorbisStream {
    MPEGFileInfoType Info; // first member: the core's record pointer is the stream's
    OggVorbis_File File;
    FILE* Source;          // the library's datasource is the stream itself
    SeekGuard Guard;
    PcmLayoutConverterType* Converter;
    int16_t* Scratch;       // one read, in its link's layout
    uint32_t ReadBytes;     // the most one read takes
    int16_t* Pending;       // converted frames not yet delivered
    uint32_t PendingFrames; // frames in Pending
    uint32_t PendingAt;     // the first frame not yet delivered
    int LastLink;           // link of the last read; -1 after a seek
    uint32_t Holes;         // holes and bad links skipped, for the trace
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
           Bind(&OvClear, "ov_clear") && Bind(&OvBitrate, "ov_bitrate") && Bind(&OvStreams, "ov_streams") &&
           Bind(&OvPcmTotal, "ov_pcm_total") && Bind(&OvRawSeek, "ov_raw_seek") && Bind(&OvRawTell, "ov_raw_tell") &&
           Bind(&OvPcmTell, "ov_pcm_tell");
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

bool SameLayout(const MPEGFileInfoType* Info, const vorbis_info* Vi)
{
    return Vi && Vi->rate == static_cast<long>(Info->SampleRate) && Vi->channels == Info->Channels;
}

// Link frames whose conversion fits the pending buffer; 0 for a link the
// converter cannot take (more than two channels on either side, a rate so
// low that one frame would overflow it).
uint32_t ConvertibleFrames(const MPEGFileInfoType* Info, const vorbis_info* Vi)
{
    if (!UsableInfo(Vi) || Vi->channels > MaxConvertedChannels || Info->Channels > MaxConvertedChannels)
        return 0;
    constexpr uint32_t Slack = 2; // the resampler's fraction carried between reads
    uint64_t Frames = uint64_t{PendingCapacity - Slack} * static_cast<uint64_t>(Vi->rate) / Info->SampleRate;
    return static_cast<uint32_t>(std::min<uint64_t>(Frames, PendingCapacity));
}

// Frames of the whole file at the record's rate, up to the first link that
// cannot be played (another layout the converter cannot take); 0 unknown,
// also for lengths no real file has (granule positions come from the file).
uint64_t PlayableFrames(VorbisStream* Stream)
{
    constexpr uint64_t MaxFrames = uint64_t{1} << 48; // years of audio at any rate
    const MPEGFileInfoType* Info = &Stream->Info;
    uint64_t Total = 0;
    for (long Link = 0; Link < OvStreams(&Stream->File); ++Link) {
        const vorbis_info* Vi = OvInfo(&Stream->File, static_cast<int>(Link));
        ogg_int64_t Frames = OvPcmTotal(&Stream->File, static_cast<int>(Link));
        if (Frames < 0 || static_cast<uint64_t>(Frames) > MaxFrames || !UsableInfo(Vi))
            return 0;
        if (!SameLayout(Info, Vi) && ConvertibleFrames(Info, Vi) == 0)
            break;
        // Split so that no product overflows: a convertible link's rate is
        // at most PendingCapacity times below the record's.
        uint64_t Rate = static_cast<uint64_t>(Vi->rate);
        uint64_t Count = static_cast<uint64_t>(Frames);
        Total += Count / Rate * Info->SampleRate + Count % Rate * Info->SampleRate / Rate;
        if (Total > MaxFrames)
            return 0;
    }
    return Total;
}

// The largest read (in bytes) that converts into the pending buffer from
// every link, or 0 when no link needs converting.
uint32_t ConversionReadBytes(VorbisStream* Stream)
{
    const MPEGFileInfoType* Info = &Stream->Info;
    bool Needed = false;
    uint32_t Bytes = PendingCapacity * MaxConvertedChannels * OutBytesPerSample;
    for (long Link = 0; Link < OvStreams(&Stream->File); ++Link) {
        const vorbis_info* Vi = OvInfo(&Stream->File, static_cast<int>(Link));
        uint32_t Frames = ConvertibleFrames(Info, Vi);
        if (Frames == 0)
            continue;
        Needed |= !SameLayout(Info, Vi);
        Bytes = std::min<uint32_t>(Bytes, Frames * static_cast<uint32_t>(Vi->channels) * OutBytesPerSample);
    }
    return Needed ? Bytes : 0;
}

void FreeConversion(VorbisStream* Stream)
{
    FreePcmLayoutConverter(Stream->Converter);
    free(Stream->Scratch);
    free(Stream->Pending);
}

// Sets up the converter when a later link has another layout; false when
// that is needed but memory is short.
bool SetUpConversion(VorbisStream* Stream)
{
    Stream->LastLink = -1;
    Stream->ReadBytes = ConversionReadBytes(Stream);
    if (Stream->ReadBytes == 0)
        return true;
    const MPEGFileInfoType* Info = &Stream->Info;
    Stream->Converter = NewPcmLayoutConverter(Info->SampleRate, Info->Channels);
    Stream->Scratch = static_cast<int16_t*>(malloc(Stream->ReadBytes));
    Stream->Pending = static_cast<int16_t*>(malloc(size_t{PendingCapacity} * Info->Channels * OutBytesPerSample));
    return Stream->Converter && Stream->Scratch && Stream->Pending;
}

void Destroy(VorbisStream* Stream)
{
    FreeConversion(Stream);
    delete Stream;
}

// One library read; holes (a lost or damaged page) and bad links are
// skipped, as the library goes on after them. Returns the bytes read, 0 at
// the end or on a failure, and the link they came from in Link.
long ReadSkippingHoles(VorbisStream* Stream, char* Out, int Length, int* Link)
{
    for (uint32_t Read = 0; Read < MaxEmptyReads; ++Read) {
        long Got = OvRead(&Stream->File, Out, Length, LittleEndian, OutBytesPerSample, Signed, Link);
        if (Got != OV_HOLE && Got != OV_EBADLINK)
            return Got > 0 && Got <= Length ? Got : 0;
        db_printf("Vorbis: skipped a hole or bad link (%u so far)\n", ++Stream->Holes);
    }
    return 0;
}

// Straight into the core's buffer: every playable link has the record's
// layout. A link of another layout ends the stream (the converter could not
// take it): its PCM would play at the wrong pitch or with the channels
// scrambled.
uint32_t DecodeDirect(VorbisStream* Stream, void* OutBuf, uint32_t BufSz)
{
    int Length = static_cast<int>(std::min<uint32_t>(BufSz, INT_MAX));
    int Link = 0;
    long Got = ReadSkippingHoles(Stream, static_cast<char*>(OutBuf), Length, &Link);
    if (Got == 0 || !SameLayout(&Stream->Info, OvInfo(&Stream->File, Link)))
        return 0;
    return static_cast<uint32_t>(Got);
}

uint32_t DeliverPending(VorbisStream* Stream, void* OutBuf, uint32_t BufSz)
{
    uint32_t FrameBytes = Stream->Info.Channels * uint32_t{OutBytesPerSample};
    uint32_t Frames = std::min(Stream->PendingFrames - Stream->PendingAt, BufSz / FrameBytes);
    memcpy(OutBuf, Stream->Pending + size_t{Stream->PendingAt} * Stream->Info.Channels, size_t{Frames} * FrameBytes);
    Stream->PendingAt += Frames;
    return Frames * FrameBytes;
}

// One read through the converter into the pending buffer; false at the end,
// on a failure or at a link the converter cannot take. A read may convert
// to no frames while the resampler fills at a new link.
bool ConvertNextRead(VorbisStream* Stream)
{
    int Link = 0;
    long Got = ReadSkippingHoles(Stream, reinterpret_cast<char*>(Stream->Scratch), static_cast<int>(Stream->ReadBytes),
                                 &Link);
    const vorbis_info* Vi = Got ? OvInfo(&Stream->File, Link) : nullptr;
    if (!Vi || ConvertibleFrames(&Stream->Info, Vi) == 0)
        return false;
    if (Link != Stream->LastLink)
        ResetPcmLayoutConverter(Stream->Converter);
    Stream->LastLink = Link;
    uint32_t Frames = static_cast<uint32_t>(Got) / (static_cast<uint32_t>(Vi->channels) * OutBytesPerSample);
    Stream->PendingAt = 0;
    Stream->PendingFrames = ConvertPcmLayout(Stream->Converter, Stream->Scratch, Frames, static_cast<uint32_t>(Vi->rate),
                                             static_cast<uint16_t>(Vi->channels), Stream->Pending, PendingCapacity);
    return true;
}

uint32_t DecodeConverted(VorbisStream* Stream, void* OutBuf, uint32_t BufSz)
{
    for (uint32_t Read = 0; Read < MaxEmptyReads; ++Read) {
        if (Stream->PendingAt < Stream->PendingFrames)
            return DeliverPending(Stream, OutBuf, BufSz);
        if (!ConvertNextRead(Stream))
            return 0;
    }
    return 0;
}

// ---- Seek guard ----
//
// libvorbisfile 1.3.7's page seek (under ov_time_seek) bisects a link with
// one page record. When its search gives up before finding a page ahead of
// the target, it hands libogg the last page it read, even when its buffer
// has been refilled since: libogg then counts more segment bytes than it
// holds and moves memory by a negative length. It gives up that way only in
// a read pass (the reads after one of its seeks) that began at the link's
// first audio page or one byte after it. So while the library seeks, a pass
// that began one byte after a link's first audio page gets no bytes, and
// one that began at that page gets bytes only while the page it takes next
// is intact: it then always has a fresh page before it could give up. A
// refused read fails the seek cleanly. Opening and plain reads never use a
// page past a later read. The links' first audio pages are the library's
// own record of them.

constexpr size_t PageHeaderBytes = 27;
constexpr size_t SegmentCountByte = 26;
constexpr size_t CrcByte = 22;
constexpr size_t CrcBytes = 4;
constexpr size_t CheckChunk = 4096;

// The Ogg page checksum: CRC-32, polynomial 0x04c11db7, MSB first, no
// reflection, initial value and final XOR 0.
struct CrcTable {
    uint32_t Entry[256];
};

constexpr CrcTable MakeCrcTable()
{
    CrcTable T{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t R = i << 24;
        for (int Bit = 0; Bit < 8; ++Bit)
            R = R & 0x80000000u ? R << 1 ^ 0x04c11db7u : R << 1;
        T.Entry[i] = R;
    }
    return T;
}

constexpr CrcTable PageCrc = MakeCrcTable();

uint32_t AddToChecksum(uint32_t Crc, const uint8_t* Bytes, size_t Length)
{
    for (size_t i = 0; i < Length; ++i)
        Crc = Crc << 8 ^ PageCrc.Entry[(Crc >> 24 ^ Bytes[i]) & 0xff];
    return Crc;
}

uint32_t Le32(const uint8_t* P) { return uint32_t{P[0]} | uint32_t{P[1]} << 8 | uint32_t{P[2]} << 16 | uint32_t{P[3]} << 24; }

// Length of the intact page (capture pattern, version 0, whole, checksum)
// at Offset of the file, 0 when none starts there; the file position is
// moved.
size_t IntactPageAt(FILE* File, int64_t Offset)
{
    uint8_t Header[PageHeaderBytes + 255];
    if (Offset < 0 || fseeko(File, static_cast<off_t>(Offset), SEEK_SET) != 0 ||
        fread(Header, 1, PageHeaderBytes, File) != PageHeaderBytes || memcmp(Header, "OggS", 4) != 0 || Header[4] != 0)
        return 0;
    size_t Segments = Header[SegmentCountByte];
    if (fread(Header + PageHeaderBytes, 1, Segments, File) != Segments)
        return 0;
    size_t Body = 0;
    for (size_t i = 0; i < Segments; ++i)
        Body += Header[PageHeaderBytes + i];
    uint32_t Stored = Le32(Header + CrcByte);
    memset(Header + CrcByte, 0, CrcBytes);
    uint32_t Crc = AddToChecksum(0, Header, PageHeaderBytes + Segments);
    uint8_t Chunk[CheckChunk];
    for (size_t Left = Body; Left > 0;) {
        size_t Take = std::min(Left, sizeof Chunk);
        if (fread(Chunk, 1, Take, File) != Take)
            return 0;
        Crc = AddToChecksum(Crc, Chunk, Take);
        Left -= Take;
    }
    return Crc == Stored ? PageHeaderBytes + Segments + Body : 0;
}

// A read pass of the library begins at At: a seek, or where the bytes it
// holds begin when it starts seeking (a seek to where it already is reads
// on from its buffer).
void StartPass(VorbisStream* Stream, int64_t At)
{
    SeekGuard* G = &Stream->Guard;
    G->Watching = G->Refusing = false;
    for (int Link = 0; Link < Stream->File.links; ++Link) {
        int64_t First = Stream->File.dataoffsets[Link];
        G->Watching |= First >= 0 && At == First;
        G->Refusing |= First >= 0 && At == First + 1;
    }
    G->NextPage = At;
    G->PageEnd = 0;
}

// The library reads only when the bytes it holds end inside the page it
// takes next: every page ending before its read position is consumed.
bool NextPageIntact(VorbisStream* Stream)
{
    SeekGuard* G = &Stream->Guard;
    int64_t ReadAt = ftello(Stream->Source);
    bool Intact = ReadAt >= 0, Moved = false;
    while (Intact && (G->PageEnd == 0 || G->PageEnd <= ReadAt)) {
        if (G->PageEnd != 0) {
            G->NextPage = G->PageEnd;
            G->PageEnd = 0;
        }
        size_t Length = IntactPageAt(Stream->Source, G->NextPage);
        Moved = true;
        Intact = Length != 0;
        G->PageEnd = G->NextPage + static_cast<int64_t>(Length);
    }
    // The check read ahead: back to where the library reads.
    bool Back = !Moved || fseeko(Stream->Source, static_cast<off_t>(ReadAt), SEEK_SET) == 0;
    return Intact && Back;
}

bool PassMayRead(VorbisStream* Stream)
{
    SeekGuard* G = &Stream->Guard;
    if (!G->Active)
        return true;
    if (G->Watching && !G->Refusing)
        G->Refusing = !NextPageIntact(Stream);
    return !G->Refusing;
}

// The callbacks the library gets: the engine's stream is the datasource.
size_t GuardedRead(void* Ptr, size_t Size, size_t Count, void* Source)
{
    VorbisStream* Stream = static_cast<VorbisStream*>(Source);
    if (!PassMayRead(Stream)) {
        errno = EIO; // a read error: the library's seek fails
        return 0;
    }
    return VorbisReadFile(Ptr, Size, Count, Stream->Source);
}

int GuardedSeek(void* Source, int64_t Offset, int Whence)
{
    VorbisStream* Stream = static_cast<VorbisStream*>(Source);
    int Result = VorbisSeekFile(Stream->Source, Offset, Whence);
    if (Result == 0 && Stream->Guard.Active)
        StartPass(Stream, ftello(Stream->Source));
    return Result;
}

int StreamClose(void* Source) { return VorbisCloseFile(static_cast<VorbisStream*>(Source)->Source); }

long StreamTell(void* Source) { return VorbisTellFile(static_cast<VorbisStream*>(Source)->Source); }

const ov_callbacks Callbacks = {GuardedRead, GuardedSeek, StreamClose, StreamTell};

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
    OvStreams = nullptr;
    OvPcmTotal = nullptr;
    OvRawSeek = nullptr;
    OvRawTell = nullptr;
    OvPcmTell = nullptr;
}

MPEGFileInfoType* PrepareVorbisFile(const char* Path)
{
    if (!hDll || !Path)
        return nullptr;
    FILE* File = OpenRegularFile(Path);
    return File ? PrepareVorbisStream(File) : nullptr;
}

MPEGFileInfoType* PrepareVorbisStream(FILE* File)
{
    VorbisStream* Stream = hDll ? new (std::nothrow) VorbisStream{} : nullptr;
    if (!Stream) {
        fclose(File);
        return nullptr;
    }
    // A refused open leaves the file with the caller: the library closes
    // its datasource only through ov_clear after a successful open.
    Stream->Source = File;
    if (OvOpenCallbacks(Stream, &Stream->File, nullptr, 0, Callbacks) != 0) {
        fclose(File);
        delete Stream;
        return nullptr;
    }
    const vorbis_info* Vi = OvInfo(&Stream->File, CurrentLink);
    MPEGFileInfoType* Info = &Stream->Info;
    if (UsableInfo(Vi))
        FillRecord(Info, *Vi, OvTimeTotal(&Stream->File, WholeFile));
    if (!UsableInfo(Vi) || !SetUpConversion(Stream)) {
        OvClear(&Stream->File);
        Destroy(Stream);
        return nullptr;
    }
    Info->Handle = reinterpret_cast<FILE*>(&Stream->File);
    Info->TotalSamples = PlayableFrames(Stream);
    return Info;
}

// A fault inside the library cannot be caught here: a library installs no
// signal handlers in its host.
uint32_t DecodeVorbisSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz)
{
    if (!MPEGFileInfo || !OutBuf || !hDll)
        return 0;
    VorbisStream* Stream = StreamOf(MPEGFileInfo);
    return Stream->Converter ? DecodeConverted(Stream, OutBuf, BufSz) : DecodeDirect(Stream, OutBuf, BufSz);
}

void SeekVorbisFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !hDll)
        return;
    VorbisStream* Stream = StreamOf(MPEGFileInfo);
    ogg_int64_t Before = OvRawTell(&Stream->File);
    Stream->Guard = SeekGuard{};
    Stream->Guard.Active = true;
    StartPass(Stream, Before); // the bytes the library holds begin there
    int Result = OvTimeSeek(&Stream->File, MsOffset * SecondsPerMs);
    Stream->Guard.Active = false;
    // A seek that failed inside the library has dropped its position
    // (no PCM position): go on from the page it was reading.
    if (Result != 0 && (OvPcmTell(&Stream->File) >= 0 || OvRawSeek(&Stream->File, Before) != 0))
        return;
    Stream->PendingFrames = Stream->PendingAt = 0;
    Stream->LastLink = -1;
}

void UnPrepareVorbisFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    if (hDll)
        OvClear(DecoderOf(MPEGFileInfo));
    Destroy(StreamOf(MPEGFileInfo));
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
