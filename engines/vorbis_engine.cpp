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

const ov_callbacks Callbacks = {VorbisReadFile, VorbisSeekFile, VorbisCloseFile, VorbisTellFile};

// The record the core holds, then the library's decoder state. The library
// owns the file from a successful open until ov_clear closes it. The
// conversion fields are set only for a chain with a link of another layout.
struct VorbisStream {
    MPEGFileInfoType Info; // first member: the core's record pointer is the stream's
    OggVorbis_File File;
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
           Bind(&OvPcmTotal, "ov_pcm_total");
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

// ---- Page structure, checked before the library sees the file ----
//
// libvorbisfile 1.3.7, seeking in a link, passes libogg the last page it
// read even when that page was skipped (another stream's, or one with no
// granule position) and its buffer has since been refilled from damaged
// bytes: libogg then counts more segment bytes than it holds and moves
// memory by a negative length. So a link's pages stay together: its
// streams' first pages come first, no page of another stream follows, the
// next link reuses none of its serial numbers; and a link that can make
// the library skip pages (several streams, an audio page without a
// granule position) is taken only from a file of intact pages throughout.
// Intact pages are those libogg accepts; damaged or lost pages are holes
// the library skips.

constexpr size_t PageHeaderBytes = 27;
constexpr size_t SegmentCountByte = 26;
constexpr size_t MaxPageBytes = PageHeaderBytes + 255 + 255 * 255;
constexpr size_t WindowBytes = 2 * MaxPageBytes;
constexpr uint32_t VorbisHeaderPackets = 3;
constexpr uint32_t MaxLinkStreams = 16;
constexpr uint8_t BeginOfStream = 0x02;

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

uint32_t PageChecksum(const uint8_t* Page, size_t Length)
{
    constexpr size_t CrcByte = 22, CrcBytes = 4;
    uint32_t Crc = 0;
    for (size_t i = 0; i < Length; ++i) {
        uint8_t Byte = i >= CrcByte && i < CrcByte + CrcBytes ? 0 : Page[i];
        Crc = Crc << 8 ^ PageCrc.Entry[(Crc >> 24 ^ Byte) & 0xff];
    }
    return Crc;
}

uint32_t Le32(const uint8_t* P) { return uint32_t{P[0]} | uint32_t{P[1]} << 8 | uint32_t{P[2]} << 16 | uint32_t{P[3]} << 24; }

// The file's bytes through a window that always holds one whole page.
struct PageWindow {
    FILE* File;
    uint8_t* Bytes; // WindowBytes
    size_t Start;
    size_t End;
    bool AtEof;
};

// True when Need bytes from Start are in the window.
bool Buffer(PageWindow* W, size_t Need)
{
    if (W->End - W->Start >= Need || W->AtEof)
        return W->End - W->Start >= Need;
    memmove(W->Bytes, W->Bytes + W->Start, W->End - W->Start);
    W->End -= W->Start;
    W->Start = 0;
    while (!W->AtEof && W->End < Need) {
        size_t Got = fread(W->Bytes + W->End, 1, WindowBytes - W->End, W->File);
        W->AtEof = Got == 0;
        W->End += Got;
    }
    return W->End >= Need;
}

// Length of an intact page (capture pattern, version 0, checksum) at the
// window's start; 0 when none starts there.
size_t IntactPageAt(PageWindow* W)
{
    if (!Buffer(W, PageHeaderBytes) || memcmp(W->Bytes + W->Start, "OggS", 4) != 0 || W->Bytes[W->Start + 4] != 0)
        return 0;
    size_t Header = PageHeaderBytes + W->Bytes[W->Start + SegmentCountByte];
    if (!Buffer(W, Header))
        return 0;
    size_t Length = Header;
    for (size_t i = PageHeaderBytes; i < Header; ++i)
        Length += W->Bytes[W->Start + i];
    if (!Buffer(W, Length))
        return 0;
    constexpr size_t CrcByte = 22;
    const uint8_t* Page = W->Bytes + W->Start;
    return PageChecksum(Page, Length) == Le32(Page + CrcByte) ? Length : 0;
}

// As libogg resyncs: on to the next possible capture pattern.
void SkipToNextCapture(PageWindow* W)
{
    const void* Next = memchr(W->Bytes + W->Start + 1, 'O', W->End - W->Start - 1);
    W->Start = Next ? static_cast<size_t>(static_cast<const uint8_t*>(Next) - W->Bytes) : W->End;
}

// The current link: its streams' serial numbers and the packets ended so
// far in a link of one stream.
struct LinkPages {
    bool Open;
    bool PastFirstPages;
    uint32_t Serials[MaxLinkStreams];
    uint32_t Count;
    uint32_t PacketsEnded; // counted up to the header packets
    bool SkipsPages;       // the library may skip a page while seeking
};

bool InLink(const LinkPages* L, uint32_t Serial)
{
    return std::find(L->Serials, L->Serials + L->Count, Serial) != L->Serials + L->Count;
}

uint32_t PacketsEndingOn(const uint8_t* Page)
{
    uint32_t Ends = 0;
    for (size_t i = 0; i < Page[SegmentCountByte]; ++i)
        Ends += Page[PageHeaderBytes + i] < 255;
    return Ends;
}

bool FirstPageFits(LinkPages* L, uint32_t Serial)
{
    if (L->Open && L->PastFirstPages) {
        if (InLink(L, Serial))
            return false; // the next link reuses a serial number
        bool Skips = L->SkipsPages;
        *L = LinkPages{};
        L->SkipsPages = Skips;
    }
    if (InLink(L, Serial) || L->Count == MaxLinkStreams)
        return false;
    L->SkipsPages |= L->Count > 0;
    L->Serials[L->Count++] = Serial;
    L->Open = true;
    return true;
}

bool PageFitsLink(LinkPages* L, const uint8_t* Page)
{
    constexpr size_t FlagsByte = 5, GranuleByte = 6, SerialByte = 14;
    constexpr uint8_t NoGranule[8] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    uint32_t Serial = Le32(Page + SerialByte);
    if (Page[FlagsByte] & BeginOfStream) {
        if (!FirstPageFits(L, Serial))
            return false;
    } else {
        if (!InLink(L, Serial))
            return false;
        L->PastFirstPages = true;
        L->SkipsPages |= L->PacketsEnded >= VorbisHeaderPackets &&
                         memcmp(Page + GranuleByte, NoGranule, sizeof NoGranule) == 0;
    }
    L->PacketsEnded = std::min(L->PacketsEnded + PacketsEndingOn(Page), VorbisHeaderPackets);
    return true;
}

// Reads the file once from its start; false when a page breaks the link
// rules above or on a read error. Leaves the file at its start.
bool PagesKeepToTheirLinks(FILE* File)
{
    PageWindow W{File, static_cast<uint8_t*>(malloc(WindowBytes)), 0, 0, false};
    bool Fits = W.Bytes != nullptr && fseeko(File, 0, SEEK_SET) == 0;
    LinkPages Link{};
    bool Damaged = false;
    while (Fits && Buffer(&W, PageHeaderBytes)) {
        size_t Length = IntactPageAt(&W);
        if (Length == 0) {
            Damaged = true;
            SkipToNextCapture(&W);
            continue;
        }
        Fits = PageFitsLink(&Link, W.Bytes + W.Start);
        W.Start += Length;
    }
    free(W.Bytes);
    Damaged |= W.Start != W.End; // a page cut short at the end
    return Fits && !(Link.SkipsPages && Damaged) && !ferror(File) && fseeko(File, 0, SEEK_SET) == 0;
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
    OvStreams = nullptr;
    OvPcmTotal = nullptr;
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
    if (!PagesKeepToTheirLinks(File) || OvOpenCallbacks(File, &Stream->File, nullptr, 0, Callbacks) != 0) {
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
    if (OvTimeSeek(&Stream->File, MsOffset * SecondsPerMs) != 0)
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
