// Opening an MP4 file: the descriptor is opened here (regular files only)
// and handed to libavformat's mov demuxer through our own I/O callbacks;
// the demuxer builds the sample tables, which are copied compactly into the
// module's records before the demuxer is closed again.
#include "mp4_file.h"

#include <cstdint>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>

namespace zebmp4 {
namespace {

constexpr int IoBufferSize = 32768;
constexpr int BoxHeaderSize = 8;
constexpr int LargeBoxHeaderSize = 16;
constexpr int MaxWalkedBoxes = 1 << 20;
// A "trun" box: header, version and flags, sample count; then by its flags
// a data offset and first-sample flags, and per sample up to four fields.
constexpr int TrunFixedBytes = 16;
constexpr uint32_t TrunDataOffset = 0x1;
constexpr uint32_t TrunFirstSampleFlags = 0x4;
constexpr uint32_t TrunPerSampleFields = 0xF00;
// Samples of a fragment without entries of their own (all from defaults).
constexpr uint64_t MaxDefaultedSamples = 1 << 16;
// A fragmented file is indexed by reading it through to its end when it is
// opened (on the player's audio thread): a larger one is refused rather
// than read whole. 128 MiB is about an hour of AAC at 256 kbit/s.
constexpr int64_t MaxFragmentedFileBytes = int64_t{128} << 20;

// The demuxer's view of the file: reads at its own offset with pread, so
// the descriptor's offset is never relied on.
struct IoCursor {
    int Fd;
    int64_t Pos;
    int64_t Size;
};

int ReadAt(int Fd, int64_t Pos, uint8_t* Buf, size_t Count)
{
    size_t Done = 0;
    while (Done < Count) {
        ssize_t N = pread(Fd, Buf + Done, Count - Done, static_cast<off_t>(Pos + static_cast<int64_t>(Done)));
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Done += static_cast<size_t>(N);
    }
    return static_cast<int>(Done);
}

int IoRead(void* Opaque, uint8_t* Buf, int BufSize)
{
    auto* Cursor = static_cast<IoCursor*>(Opaque);
    if (BufSize <= 0 || Cursor->Pos >= Cursor->Size)
        return AVERROR_EOF;
    int64_t Left = Cursor->Size - Cursor->Pos;
    size_t Want = static_cast<size_t>(Left < BufSize ? Left : BufSize);
    int Got = ReadAt(Cursor->Fd, Cursor->Pos, Buf, Want);
    if (Got <= 0)
        return AVERROR_EOF;
    Cursor->Pos += Got;
    return Got;
}

int64_t IoSeek(void* Opaque, int64_t Offset, int Whence)
{
    auto* Cursor = static_cast<IoCursor*>(Opaque);
    Whence &= ~AVSEEK_FORCE;
    if (Whence == AVSEEK_SIZE)
        return Cursor->Size;
    int64_t Base = Whence == SEEK_SET ? 0 : Whence == SEEK_CUR ? Cursor->Pos : Whence == SEEK_END ? Cursor->Size : -1;
    if (Base < 0 || (Offset > 0 && Offset > INT64_MAX - Base))
        return AVERROR(EINVAL);
    int64_t Target = Base + Offset;
    if (Target < 0)
        return AVERROR(EINVAL);
    Cursor->Pos = Target;
    return Target;
}

// The demuxer never opens another file (external data references).
int RefuseIoOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**)
{
    return AVERROR(EPERM);
}

uint32_t BigEndian32(const uint8_t* P)
{
    return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | P[3];
}

uint64_t BigEndian64(const uint8_t* P) { return (uint64_t{BigEndian32(P)} << 32) | BigEndian32(P + 4); }

// The walk over the file's top-level boxes and its fragments' boxes.
struct BoxWalk {
    int Fd;
    int Boxes = 0;
    bool Fragmented = false; // a top-level "moof" box was seen
};

// Type and total size of the box at Pos, which must end by End.
bool ReadBox(int Fd, int64_t Pos, int64_t End, char* Type, uint64_t* Size, uint64_t* HeaderSize)
{
    uint8_t Header[LargeBoxHeaderSize];
    if (ReadAt(Fd, Pos, Header, BoxHeaderSize) != BoxHeaderSize)
        return false;
    std::memcpy(Type, Header + 4, 4);
    *Size = BigEndian32(Header);
    *HeaderSize = BoxHeaderSize;
    if (*Size == 1) {
        if (ReadAt(Fd, Pos + BoxHeaderSize, Header + BoxHeaderSize, BoxHeaderSize) != BoxHeaderSize)
            return false;
        *Size = BigEndian64(Header + BoxHeaderSize);
        *HeaderSize = LargeBoxHeaderSize;
    }
    return *Size >= *HeaderSize && *Size <= static_cast<uint64_t>(End - Pos);
}

// True when the samples a "trun" box declares fit its body: the demuxer
// reserves its index for the declared count before it reads the entries.
bool TrunFits(int Fd, int64_t Pos, uint64_t Size)
{
    uint8_t Body[TrunFixedBytes];
    if (Size < TrunFixedBytes || ReadAt(Fd, Pos, Body, TrunFixedBytes) != TrunFixedBytes)
        return false;
    uint32_t Flags = BigEndian32(Body + BoxHeaderSize) & 0xFFFFFF;
    uint64_t Count = BigEndian32(Body + BoxHeaderSize + 4);
    uint64_t Fixed = TrunFixedBytes + ((Flags & TrunDataOffset) ? 4 : 0) + ((Flags & TrunFirstSampleFlags) ? 4 : 0);
    uint64_t EntryBytes = 4u * static_cast<unsigned>(__builtin_popcount(Flags & TrunPerSampleFields));
    if (EntryBytes == 0)
        return Count <= MaxDefaultedSamples;
    return Fixed <= Size && Count <= (Size - Fixed) / EntryBytes;
}

// Walks the boxes in [Pos, End), into fragments and their track fragments.
// False when a fragment declares more samples than it holds; a walk that
// loses its way stops there and leaves the rest to the demuxer.
bool FragmentsFit(BoxWalk& Walk, int64_t Pos, int64_t End, int Depth)
{
    while (End - Pos >= BoxHeaderSize && Walk.Boxes++ < MaxWalkedBoxes) {
        char Type[4];
        uint64_t Size = 0, HeaderSize = 0;
        if (!ReadBox(Walk.Fd, Pos, End, Type, &Size, &HeaderSize))
            return true;
        bool Moof = std::memcmp(Type, "moof", 4) == 0;
        Walk.Fragmented |= Moof && Depth == 0;
        int64_t BoxEnd = Pos + static_cast<int64_t>(Size);
        if ((Moof || std::memcmp(Type, "traf", 4) == 0) &&
            !FragmentsFit(Walk, Pos + static_cast<int64_t>(HeaderSize), BoxEnd, Depth + 1))
            return false;
        if (std::memcmp(Type, "trun", 4) == 0 && !TrunFits(Walk.Fd, Pos, Size))
            return false;
        Pos = BoxEnd;
    }
    return true;
}

// Reads every packet so that the demuxer indexes every fragment; the
// packets' payloads are discarded unread where the demuxer can skip them.
void IndexAllFragments(AVFormatContext* Ctx)
{
    for (unsigned i = 0; i < Ctx->nb_streams; ++i)
        Ctx->streams[i]->discard = AVDISCARD_ALL;
    AVPacket* Packet = av_packet_alloc();
    if (!Packet)
        return;
    while (av_read_frame(Ctx, Packet) >= 0)
        av_packet_unref(Packet);
    av_packet_free(&Packet);
}

const char* TrackType(AVMediaType Type)
{
    switch (Type) {
    case AVMEDIA_TYPE_AUDIO:
        return "soun";
    case AVMEDIA_TYPE_VIDEO:
        return "vide";
    case AVMEDIA_TYPE_SUBTITLE:
        return "text";
    default:
        return "data";
    }
}

void CopySamples(AVStream* St, Mp4Track& Track)
{
    int Count = avformat_index_get_entries_count(St);
    if (Count <= 0)
        return;
    Track.Sizes.reserve(static_cast<size_t>(Count));
    Track.Sync.reserve(static_cast<size_t>(Count));
    const AVIndexEntry* First = avformat_index_get_entry(St, 0);
    for (int i = 0; i < Count; ++i) {
        const AVIndexEntry* Entry = avformat_index_get_entry(St, i);
        Mp4Sample Sample;
        Sample.Pos = Entry->pos;
        Sample.Size = Entry->size > 0 ? static_cast<uint32_t>(Entry->size) : 0;
        Sample.Sync = (Entry->flags & AVINDEX_KEYFRAME) != 0;
        // Unsigned difference: defined for any stored values, exact when sorted.
        Sample.Time = static_cast<uint64_t>(Entry->timestamp) - static_cast<uint64_t>(First->timestamp);
        AddSample(Track, Sample);
    }
}

// The track's length: the container's declared duration, or where its
// sample table ends.
uint64_t TrackDuration(const AVStream* St, const Mp4Track& Track)
{
    if (St->duration != AV_NOPTS_VALUE && St->duration > 0)
        return static_cast<uint64_t>(St->duration);
    size_t Count = SampleCount(Track);
    if (Count == 0)
        return 0;
    uint64_t LastTime = SampleAt(Track, Count - 1).Time;
    uint64_t LastDuration = Count > 1 ? LastTime - SampleAt(Track, Count - 2).Time : 0;
    return LastTime + LastDuration;
}

Mp4Track MakeTrack(AVStream* St)
{
    Mp4Track Track;
    const AVCodecParameters* Par = St->codecpar;
    Track.Type = TrackType(Par->codec_type);
    Track.IsAac = Par->codec_id == AV_CODEC_ID_AAC;
    if (Par->extradata && Par->extradata_size > 0)
        Track.Config.assign(Par->extradata, Par->extradata + Par->extradata_size);
    Track.BitRate = Par->bit_rate > 0 ? Par->bit_rate : 0;
    if (St->time_base.num > 0 && St->time_base.den > 0) {
        Track.TimeBaseNum = static_cast<uint32_t>(St->time_base.num);
        Track.TimeBaseDen = static_cast<uint32_t>(St->time_base.den);
    }
    CopySamples(St, Track);
    Track.Duration = TrackDuration(St, Track);
    return Track;
}

// Cover pictures become streams of the demuxer but are no tracks of the file.
bool IsTrack(const AVStream* St) { return !(St->disposition & AV_DISPOSITION_ATTACHED_PIC); }

struct DemuxerDeleter {
    void operator()(AVFormatContext* Ctx) const { avformat_close_input(&Ctx); }
};
struct IoDeleter {
    void operator()(AVIOContext* Io) const
    {
        av_freep(&Io->buffer);
        avio_context_free(&Io);
    }
};
using Demuxer = std::unique_ptr<AVFormatContext, DemuxerDeleter>;
using IoContext = std::unique_ptr<AVIOContext, IoDeleter>;

IoContext MakeIo(IoCursor* Cursor)
{
    auto* Buffer = static_cast<uint8_t*>(av_malloc(IoBufferSize));
    if (!Buffer)
        return nullptr;
    AVIOContext* Io = avio_alloc_context(Buffer, IoBufferSize, 0, Cursor, IoRead, nullptr, IoSeek);
    if (!Io)
        av_free(Buffer);
    return IoContext(Io);
}

// The mov demuxer over Io: stored samples exactly (no edit-list trimming),
// no chapter reading, no other files opened.
Demuxer OpenDemuxer(AVIOContext* Io)
{
    const AVInputFormat* Mov = av_find_input_format("mov");
    AVFormatContext* Ctx = avformat_alloc_context();
    if (!Mov || !Ctx) {
        avformat_free_context(Ctx);
        return nullptr;
    }
    Ctx->pb = Io;
    Ctx->io_open = RefuseIoOpen;
    AVDictionary* Options = nullptr;
    av_dict_set(&Options, "ignore_editlist", "1", 0);
    av_dict_set(&Options, "ignore_chapters", "1", 0);
    av_dict_set(&Options, "enable_drefs", "0", 0);
    int Result = avformat_open_input(&Ctx, nullptr, Mov, &Options); // frees Ctx on failure
    av_dict_free(&Options);
    return Result < 0 ? nullptr : Demuxer(Ctx);
}

bool ReadTracks(Mp4File& File)
{
    BoxWalk Walk{File.Fd};
    if (!FragmentsFit(Walk, 0, File.FileSize, 0))
        return false;
    // The demuxer indexes a fragmented file's later fragments only while
    // packets are read.
    bool Fragmented = Walk.Fragmented;
    if (Fragmented && File.FileSize > MaxFragmentedFileBytes)
        return false;
    IoCursor Cursor{File.Fd, 0, File.FileSize};
    IoContext Io = MakeIo(&Cursor);
    if (!Io)
        return false;
    Demuxer Ctx = OpenDemuxer(Io.get());
    if (!Ctx)
        return false;
    if (Fragmented)
        IndexAllFragments(Ctx.get());
    for (unsigned i = 0; i < Ctx->nb_streams; ++i)
        if (IsTrack(Ctx->streams[i]))
            File.Tracks.push_back(MakeTrack(Ctx->streams[i]));
    return true;
}

int OpenRegularFile(const char* Path, int64_t* Size)
{
    // Non-blocking, so that opening a FIFO returns at once; refused below.
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (Fd < 0)
        return -1;
    struct stat St;
    if (fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        close(Fd);
        return -1;
    }
    *Size = St.st_size;
    return Fd;
}

bool ReadTracksOrFail(Mp4File* File)
{
    try {
        return ReadTracks(*File);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The demuxer's index of every sample (24 bytes each: most of a megabyte
// for ten minutes of AAC) lives only while the file opens. Read on a thread
// of its own, it comes from that thread's malloc arena, which the next such
// thread takes over: what one open freed serves the next, instead of
// staying resident in the arena of every player that ever opened a file.
bool ReadTracksAside(Mp4File* File)
{
    bool Ok = false;
    try {
        std::thread Reader([File, &Ok] { Ok = ReadTracksOrFail(File); });
        Reader.join();
        return Ok;
    } catch (const std::system_error&) {
        return ReadTracksOrFail(File); // no thread to be had: read here
    }
}

} // namespace

Mp4File* OpenMp4File(const char* Path)
{
    if (!Path)
        return nullptr;
    auto* File = new (std::nothrow) Mp4File;
    if (!File)
        return nullptr;
    File->Fd = OpenRegularFile(Path, &File->FileSize);
    if (File->Fd < 0 || !ReadTracksAside(File)) {
        CloseMp4File(File);
        return nullptr;
    }
    return File;
}

void CloseMp4File(Mp4File* File)
{
    if (!File)
        return;
    if (File->Fd >= 0)
        close(File->Fd);
    delete File;
}

} // namespace zebmp4
