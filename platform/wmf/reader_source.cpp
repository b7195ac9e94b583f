// The reader's media side: ASF demuxing, decoding and 16-bit conversion with
// FFmpeg. Decoding follows the ffmpeg program: a packet the decoder refuses
// is skipped, a read error ends the file like its end, and the decoders are
// drained at the end. A start at the beginning reopens the file. A start at
// a position seeks the demuxer to a packet a little before it, lets the
// decoder settle on the first packets (Windows Media Audio frames overlap
// their neighbours and may begin in the packet before), places the first
// settled frame on the stream's frame grid from its time stamp, and
// discards what lies before the position; where the audio cannot be placed
// that way, the file is decoded from its beginning instead. Either way a
// start anywhere gives the samples of an uninterrupted decode (noise-filled
// bands of very low bit rate streams aside: their noise generator runs on
// from the start of the stream).
// FFmpeg would report a damaged file on standard error: when the module
// loads, a log level still at FFmpeg's default becomes quiet, while a level
// the host chose and the host's callback are left alone.
#include "reader_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

namespace {

constexpr int64_t UnitsPerSecond = 10000000; // 100 ns units
// The demuxer reads packets of a few KiB and reads longer runs directly:
// a larger buffer would only add memory to every open file.
constexpr size_t IoBufferSize = 4096;
// Largest PCM delivery; longer decoded frames are split.
constexpr size_t MaxSampleBytes = 65536;
// Decoded frames are gathered into deliveries of about this size: each
// delivery is a hand-over between threads, and a frame is only a few KiB;
// the delivery, and its copy in the player, are held by every playing file.
constexpr size_t GatherBytes = 16384;
// Audio formats a wave format can describe and the conversion accepts.
constexpr int MaxChannels = 64;
constexpr int MaxRate = 1536000;
constexpr uint16_t PcmBits = 16;
constexpr uint16_t WaveFormatPcm = 1;
// A start at a position seeks this far before it first, and four times as
// far each time the first settled frame still began after it; beyond the
// longest lead the file is decoded from its beginning.
constexpr int64_t FirstSeekLeadMs = 2000;
constexpr int64_t LongestSeekLeadMs = 128000;
// Decoded packets dropped after a seek before a frame is placed: the first
// lacks its predecessor's overlap and the frame begun in the packet before.
constexpr int SettlePackets = 2;
// Samples beyond this (some years) are not placed by seeking.
constexpr int64_t MaxPlacedSample = int64_t{1} << 50;
// Packets read from the beginning at most to learn an output's reference.
constexpr int ReferencePackets = 256;

struct OutputState {
    int Stream = -1;
    ReaderOutput Info{};
    AVCodecContext* Decoder = nullptr; // audio outputs FFmpeg can decode
    SwrContext* Convert = nullptr;     // set up for ConvertFrom
    bool Direct = false;               // ConvertFrom needs no converter: see DirectFormat
    AVSampleFormat ConvertFormat = AV_SAMPLE_FMT_NONE;
    int ConvertRate = 0;
    AVChannelLayout ConvertLayout{};
    uint64_t Produced = 0; // samples decoded since the start of the stream
    uint64_t Target = 0;   // first sample to deliver
    // Placing decoded frames after a seek: frames come in whole multiples of
    // Grid samples (0: the codec's frames are not known, no seeking); the
    // frame of the second packet of the stream starts at RefSample and is
    // stamped RefPts (learnt once, HaveRef).
    uint64_t Grid = 0;
    bool HaveRef = false;
    int64_t RefPts = 0;
    uint64_t RefSample = 0;
    int Settling = 0;     // frames still to drop after a seek
    bool Placed = true;   // Produced counts from the start of the stream
    bool Overshot = false; // the first settled frame began after Target
};

} // namespace

// Where the demuxer reads: a regular file's descriptor, or bytes in memory.
struct ByteInput {
    int Fd = -1;
    const uint8_t* Data = nullptr; // in memory when set
    size_t Size = 0;
    size_t Pos = 0;
};

struct ReaderSource {
    ByteInput In;
    AVIOContext* Io = nullptr;
    AVFormatContext* Format = nullptr;
    AVPacket* Packet = nullptr;
    AVFrame* Frame = nullptr;
    std::vector<ReaderOutput> Infos;
    std::vector<OutputState> Outputs;
    std::vector<int> OutputOfStream; // stream index -> output number or -1
    std::deque<ReaderSample> Ready;
    std::vector<int16_t> Pcm; // the latest frame converted without a converter
    uint64_t StartTime = 0;
    int64_t SeekLeadMs = 0; // how far before the position the last seek went
    bool Fresh = true; // nothing read since the file was opened
    bool Ended = false;
    bool ReadFailed = false;
};

namespace {

// ---- Logging ----

__attribute__((constructor)) void QuietFFmpegByDefault()
{
    if (av_log_get_level() == AV_LOG_INFO)
        av_log_set_level(AV_LOG_QUIET);
}

// ---- The file through the regular-file descriptor, or from memory ----

int ReadFd(void* Opaque, uint8_t* Buf, int Size)
{
    int Fd = static_cast<ByteInput*>(Opaque)->Fd;
    for (;;) {
        ssize_t N = read(Fd, Buf, static_cast<size_t>(Size));
        if (N > 0)
            return static_cast<int>(N);
        if (N == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

int64_t SeekFd(void* Opaque, int64_t Offset, int Whence)
{
    int Fd = static_cast<ByteInput*>(Opaque)->Fd;
    if (Whence & AVSEEK_SIZE) {
        struct stat St;
        return fstat(Fd, &St) == 0 ? static_cast<int64_t>(St.st_size) : AVERROR(errno);
    }
    off_t At = lseek(Fd, static_cast<off_t>(Offset), Whence & ~AVSEEK_FORCE);
    return At < 0 ? AVERROR(errno) : static_cast<int64_t>(At);
}

int ReadMemory(void* Opaque, uint8_t* Buf, int Size)
{
    ByteInput& In = *static_cast<ByteInput*>(Opaque);
    size_t Left = In.Size - In.Pos;
    if (Left == 0)
        return AVERROR_EOF;
    size_t N = static_cast<size_t>(Size) < Left ? static_cast<size_t>(Size) : Left;
    memcpy(Buf, In.Data + In.Pos, N);
    In.Pos += N;
    return static_cast<int>(N);
}

int64_t SeekMemory(void* Opaque, int64_t Offset, int Whence)
{
    ByteInput& In = *static_cast<ByteInput*>(Opaque);
    int64_t Base = 0;
    switch (Whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return static_cast<int64_t>(In.Size);
    case SEEK_SET:
        break;
    case SEEK_CUR:
        Base = static_cast<int64_t>(In.Pos);
        break;
    case SEEK_END:
        Base = static_cast<int64_t>(In.Size);
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (Offset < -Base || Offset > static_cast<int64_t>(In.Size) - Base)
        return AVERROR(EINVAL);
    In.Pos = static_cast<size_t>(Base + Offset);
    return static_cast<int64_t>(In.Pos);
}

// Back to the first byte; false when that is not possible.
bool Rewind(ByteInput& In)
{
    if (In.Data) {
        In.Pos = 0;
        return true;
    }
    return lseek(In.Fd, 0, SEEK_SET) == 0;
}

// A descriptor of a regular file (never blocks on a FIFO or device), or -1.
int OpenRegularFile(const char* Path)
{
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0)
        return -1;
    struct stat St;
    if (fstat(Fd, &St) != 0 || !S_ISREG(St.st_mode)) {
        close(Fd);
        return -1;
    }
    fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) & ~O_NONBLOCK);
    return Fd;
}

void CloseDemuxer(ReaderSource& S)
{
    avformat_close_input(&S.Format);
    if (S.Io) {
        av_freep(&S.Io->buffer);
        avio_context_free(&S.Io);
    }
}

// Opens the demuxer at the start of the file, as a fresh open would.
bool OpenDemuxer(ReaderSource& S)
{
    if (!Rewind(S.In))
        return false;
    auto* Buffer = static_cast<unsigned char*>(av_malloc(IoBufferSize));
    if (!Buffer)
        return false;
    bool Memory = S.In.Data != nullptr;
    S.Io = avio_alloc_context(Buffer, IoBufferSize, 0, &S.In, Memory ? ReadMemory : ReadFd, nullptr,
                              Memory ? SeekMemory : SeekFd);
    if (!S.Io) {
        av_free(Buffer);
        return false;
    }
    S.Format = avformat_alloc_context();
    if (!S.Format) {
        CloseDemuxer(S);
        return false;
    }
    S.Format->pb = S.Io;
    S.Format->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&S.Format, nullptr, av_find_input_format("asf"), nullptr) < 0) {
        CloseDemuxer(S); // avformat_open_input freed the format context
        return false;
    }
    avformat_find_stream_info(S.Format, nullptr); // partial information is fine
    return true;
}

// ---- Outputs ----

bool UsableAudio(const AVCodecParameters* Par)
{
    return Par->sample_rate > 0 && Par->sample_rate <= MaxRate && Par->ch_layout.nb_channels > 0 &&
           Par->ch_layout.nb_channels <= MaxChannels;
}

tWAVEFORMATEX PcmWave(const AVCodecParameters* Par)
{
    tWAVEFORMATEX W{};
    W.wFormatTag = WaveFormatPcm;
    W.nChannels = static_cast<uint16_t>(Par->ch_layout.nb_channels);
    W.nSamplesPerSec = static_cast<uint32_t>(Par->sample_rate);
    W.wBitsPerSample = PcmBits;
    W.nBlockAlign = static_cast<uint16_t>(W.nChannels * (PcmBits / 8));
    W.nAvgBytesPerSec = W.nSamplesPerSec * W.nBlockAlign;
    W.cbSize = 0;
    return W;
}

ReaderOutput DescribeStream(const AVStream* St)
{
    ReaderOutput Out{};
    switch (St->codecpar->codec_type) {
    case AVMEDIA_TYPE_AUDIO:
        // An audio stream without a describable format is listed but unknown.
        if (UsableAudio(St->codecpar)) {
            Out.Major = WMMEDIATYPE_Audio;
            Out.Audio = true;
            Out.Wave = PcmWave(St->codecpar);
        }
        break;
    case AVMEDIA_TYPE_VIDEO:
        Out.Major = WMMEDIATYPE_Video;
        break;
    case AVMEDIA_TYPE_DATA:
    case AVMEDIA_TYPE_SUBTITLE:
        Out.Major = WMMEDIATYPE_Script;
        break;
    default:
        break;
    }
    return Out;
}

// Cover pictures that the demuxer shows as streams are not streams of the file.
bool IsOutputStream(const AVStream* St) { return !(St->disposition & AV_DISPOSITION_ATTACHED_PIC); }

void ListOutputs(ReaderSource& S)
{
    S.OutputOfStream.assign(S.Format->nb_streams, -1);
    for (unsigned i = 0; i < S.Format->nb_streams; ++i) {
        const AVStream* St = S.Format->streams[i];
        if (!IsOutputStream(St))
            continue;
        OutputState O;
        O.Stream = static_cast<int>(i);
        O.Info = DescribeStream(St);
        S.OutputOfStream[i] = static_cast<int>(S.Outputs.size());
        S.Outputs.push_back(O);
        S.Infos.push_back(O.Info);
    }
}

// After a reopen the streams must be those the outputs were listed from.
bool SameOutputs(const ReaderSource& S)
{
    if (S.OutputOfStream.size() != S.Format->nb_streams)
        return false;
    for (const OutputState& O : S.Outputs) {
        ReaderOutput Now = DescribeStream(S.Format->streams[O.Stream]);
        if (!(Now.Major == O.Info.Major) || Now.Audio != O.Info.Audio ||
            (Now.Audio && (Now.Wave.nChannels != O.Info.Wave.nChannels ||
                           Now.Wave.nSamplesPerSec != O.Info.Wave.nSamplesPerSec)))
            return false;
    }
    return true;
}

// ---- Decoders and conversion ----

// Samples per frame of the Windows Media Audio 1 and 2 decoders at the
// stream's rate; 0 for other codecs, whose frames are not placed.
uint64_t FrameGrid(const AVCodecParameters* Par)
{
    bool V1 = Par->codec_id == AV_CODEC_ID_WMAV1;
    if (!V1 && Par->codec_id != AV_CODEC_ID_WMAV2)
        return 0;
    if (Par->sample_rate <= 16000)
        return 512;
    if (Par->sample_rate <= 22050 || (V1 && Par->sample_rate <= 32000))
        return 1024;
    return 2048;
}


void CloseCodec(OutputState& O)
{
    avcodec_free_context(&O.Decoder);
    swr_free(&O.Convert);
    O.Direct = false;
    av_channel_layout_uninit(&O.ConvertLayout);
    O.ConvertFormat = AV_SAMPLE_FMT_NONE;
    O.ConvertRate = 0;
}

void OpenCodec(ReaderSource& S, OutputState& O)
{
    CloseCodec(O);
    if (!O.Info.Audio)
        return;
    const AVStream* St = S.Format->streams[O.Stream];
    const AVCodec* Codec = avcodec_find_decoder(St->codecpar->codec_id);
    if (!Codec)
        return;
    O.Decoder = avcodec_alloc_context3(Codec);
    if (!O.Decoder)
        return;
    O.Decoder->pkt_timebase = St->time_base;
    if (avcodec_parameters_to_context(O.Decoder, St->codecpar) < 0 || avcodec_open2(O.Decoder, Codec, nullptr) < 0)
        avcodec_free_context(&O.Decoder);
    else if (!O.HaveRef)
        O.Grid = FrameGrid(St->codecpar);
}

void OpenCodecs(ReaderSource& S)
{
    for (OutputState& O : S.Outputs)
        OpenCodec(S, O);
}

// ---- Conversion to 16 bits without a converter ----

// Frames in these formats, at the output's rate and channel count, are
// converted here exactly as the converter would (it holds some 90 KiB per
// output); any other frame goes through the converter.
bool DirectFormat(AVSampleFormat Format)
{
    return Format == AV_SAMPLE_FMT_FLT || Format == AV_SAMPLE_FMT_FLTP || Format == AV_SAMPLE_FMT_S16 ||
           Format == AV_SAMPLE_FMT_S16P;
}

// As the converter: scaled by 2^15, rounded to nearest (ties to even) and
// saturated; beyond 32 bits, and NaN, the lowest value, as its vector code
// gives.
int16_t S16OfFloat(float X)
{
    float Scaled = X * 32768.0f;
    // Saturated first (the same as after rounding), without branches.
    float Clamped = Scaled > 32767.0f ? 32767.0f : Scaled;
    Clamped = Clamped < -32768.0f ? -32768.0f : Clamped;
    Clamped = Scaled < 2147483648.0f ? Clamped : -32768.0f;
    // Adding and taking away 1.5 * 2^23 leaves no fraction bits in single
    // precision: rounded to nearest, ties to even, without a call per sample.
    return static_cast<int16_t>(static_cast<int32_t>((Clamped + 12582912.0f) - 12582912.0f));
}

int16_t S16OfS16(int16_t X) { return X; }

template <typename T, int16_t (*Convert)(T)>
void Interleave(const uint8_t* const* In, bool Planar, size_t Frames, size_t Channels, int16_t* Out)
{
    if (!Planar) {
        const T* Packed = reinterpret_cast<const T*>(In[0]);
        for (size_t I = 0; I < Frames * Channels; ++I)
            Out[I] = Convert(Packed[I]);
        return;
    }
    for (size_t C = 0; C < Channels; ++C) {
        const T* Plane = reinterpret_cast<const T*>(In[C]);
        for (size_t F = 0; F < Frames; ++F)
            Out[F * Channels + C] = Convert(Plane[F]);
    }
}

void ConvertDirect(AVSampleFormat Format, const uint8_t* const* In, size_t Frames, size_t Channels, int16_t* Out)
{
    bool Planar = av_sample_fmt_is_planar(Format) != 0;
    if (av_get_packed_sample_fmt(Format) == AV_SAMPLE_FMT_FLT)
        Interleave<float, S16OfFloat>(In, Planar, Frames, Channels, Out);
    else
        Interleave<int16_t, S16OfS16>(In, Planar, Frames, Channels, Out);
}

// The layout of Channels channels as the converter sees it: the frame's own
// when it has Channels channels, else the default one.
void LayoutFor(const AVChannelLayout& Frame, int Channels, AVChannelLayout* Out)
{
    if (Frame.nb_channels == Channels && Frame.order != AV_CHANNEL_ORDER_UNSPEC &&
        av_channel_layout_copy(Out, &Frame) == 0)
        return;
    av_channel_layout_default(Out, Channels);
}

// Sets the converter up for the frame's format, unless it already is.
bool ConverterFor(OutputState& O, const AVFrame* F)
{
    AVSampleFormat Format = static_cast<AVSampleFormat>(F->format);
    if ((O.Convert || O.Direct) && O.ConvertFormat == Format && O.ConvertRate == F->sample_rate &&
        av_channel_layout_compare(&O.ConvertLayout, &F->ch_layout) == 0)
        return true;
    swr_free(&O.Convert);
    O.Direct = false;
    av_channel_layout_uninit(&O.ConvertLayout);
    if (F->sample_rate <= 0 || F->ch_layout.nb_channels <= 0 || av_channel_layout_copy(&O.ConvertLayout, &F->ch_layout) < 0)
        return false;
    O.ConvertFormat = Format;
    O.ConvertRate = F->sample_rate;
    if (DirectFormat(Format) && F->sample_rate == static_cast<int>(O.Info.Wave.nSamplesPerSec) &&
        F->ch_layout.nb_channels == O.Info.Wave.nChannels) {
        O.Direct = true;
        return true;
    }
    AVChannelLayout In{}, Out{};
    LayoutFor(F->ch_layout, F->ch_layout.nb_channels, &In);
    LayoutFor(F->ch_layout, O.Info.Wave.nChannels, &Out);
    int Ret = swr_alloc_set_opts2(&O.Convert, &Out, AV_SAMPLE_FMT_S16, static_cast<int>(O.Info.Wave.nSamplesPerSec),
                                  &In, Format, F->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&In);
    av_channel_layout_uninit(&Out);
    if (Ret < 0 || swr_init(O.Convert) < 0) {
        swr_free(&O.Convert);
        return false;
    }
    return true;
}

uint64_t SampleTime(const OutputState& O, uint64_t Sample)
{
    return static_cast<uint64_t>(av_rescale_rnd(static_cast<int64_t>(Sample), UnitsPerSecond,
                                                O.Info.Wave.nSamplesPerSec, AV_ROUND_DOWN));
}

// The newest queued delivery is PCM of this output still short of the
// gathering size, so the next frame may join it.
bool CanGather(const ReaderSource& S, uint32_t OutputNum)
{
    if (S.Ready.empty())
        return false;
    const ReaderSample& Last = S.Ready.back();
    return Last.Output == OutputNum && S.Outputs[OutputNum].Info.Audio && Last.Bytes.size() < GatherBytes;
}

// A delivery may go once nothing more can join it.
bool FrontIsComplete(const ReaderSource& S)
{
    return S.Ready.size() > 1 || S.Ended || !CanGather(S, S.Ready.front().Output);
}

// Queues Frames converted frames, less what lies before the start target,
// joined to the newest delivery while it is short, in deliveries of at most
// MaxSampleBytes.
void QueuePcm(ReaderSource& S, uint32_t OutputNum, const uint8_t* Pcm, uint64_t Frames)
{
    OutputState& O = S.Outputs[OutputNum];
    uint64_t First = O.Produced;
    O.Produced += Frames;
    if (O.Produced <= O.Target)
        return;
    uint64_t Skip = O.Target > First ? O.Target - First : 0;
    const size_t Align = O.Info.Wave.nBlockAlign;
    const uint64_t PerSample = MaxSampleBytes / Align > 0 ? MaxSampleBytes / Align : 1;
    uint64_t At = Skip;
    if (CanGather(S, OutputNum)) {
        ReaderSample& Last = S.Ready.back();
        uint64_t Room = (MaxSampleBytes - Last.Bytes.size()) / Align;
        uint64_t Count = Frames - At < Room ? Frames - At : Room;
        Last.Bytes.insert(Last.Bytes.end(), Pcm + At * Align, Pcm + (At + Count) * Align);
        Last.Duration = SampleTime(O, First + At + Count) - Last.Time;
        At += Count;
    }
    for (; At < Frames;) {
        uint64_t Count = Frames - At < PerSample ? Frames - At : PerSample;
        ReaderSample Out;
        Out.Output = OutputNum;
        Out.Time = SampleTime(O, First + At);
        Out.Duration = SampleTime(O, First + At + Count) - Out.Time;
        // Room for the frames that may join it, so that it never grows.
        Out.Bytes.reserve(Count * Align < GatherBytes ? GatherBytes : Count * Align);
        Out.Bytes.assign(Pcm + At * Align, Pcm + (At + Count) * Align);
        S.Ready.push_back(std::move(Out));
        At += Count;
    }
}

// Converts In frames (null: what the converter still holds) and queues them.
void ConvertAndQueue(ReaderSource& S, uint32_t OutputNum, const uint8_t** In, int InFrames)
{
    OutputState& O = S.Outputs[OutputNum];
    if (O.Direct) {
        if (!In || InFrames <= 0)
            return;
        // Frames wholly before the start target are only counted.
        if (O.Produced + static_cast<uint64_t>(InFrames) <= O.Target) {
            O.Produced += static_cast<uint64_t>(InFrames);
            return;
        }
        S.Pcm.resize(static_cast<size_t>(InFrames) * O.Info.Wave.nChannels);
        ConvertDirect(O.ConvertFormat, In, static_cast<size_t>(InFrames), O.Info.Wave.nChannels, S.Pcm.data());
        QueuePcm(S, OutputNum, reinterpret_cast<const uint8_t*>(S.Pcm.data()), static_cast<uint64_t>(InFrames));
        return;
    }
    int Room = swr_get_out_samples(O.Convert, InFrames);
    if (Room <= 0)
        return;
    std::vector<uint8_t> Pcm(static_cast<size_t>(Room) * O.Info.Wave.nBlockAlign);
    uint8_t* Dst = Pcm.data();
    int Got = swr_convert(O.Convert, &Dst, Room, In, InFrames);
    if (Got > 0)
        QueuePcm(S, OutputNum, Pcm.data(), static_cast<uint64_t>(Got));
}

// The sample of the uninterrupted decode at which a frame stamped Pts
// begins: the reference moved by whole frames of the grid.
bool SampleOfPts(const ReaderSource& S, const OutputState& O, int64_t Pts, uint64_t* Sample)
{
    int64_t Since = 0;
    if (Pts == AV_NOPTS_VALUE || __builtin_sub_overflow(Pts, O.RefPts, &Since))
        return false;
    const AVStream* St = S.Format->streams[O.Stream];
    const AVRational PerSample{1, static_cast<int>(O.Info.Wave.nSamplesPerSec)};
    int64_t Delta = av_rescale_q(Since, St->time_base, PerSample);
    if (Delta > MaxPlacedSample || Delta < -MaxPlacedSample)
        return false;
    int64_t Grid = static_cast<int64_t>(O.Grid);
    int64_t Frames = Delta >= 0 ? (Delta + Grid / 2) / Grid : -((Grid / 2 - Delta) / Grid);
    int64_t At = static_cast<int64_t>(O.RefSample) + Frames * Grid;
    if (At < 0)
        return false;
    *Sample = static_cast<uint64_t>(At);
    return true;
}

// After a seek: drops the settling frames, then places the first settled
// one. False while the frame is not to be delivered.
bool PlaceFrame(ReaderSource& S, OutputState& O, const AVFrame* F)
{
    if (O.Placed)
        return !O.Overshot;
    if (O.Settling > 0) {
        --O.Settling;
        return false;
    }
    O.Placed = true;
    O.Overshot = !SampleOfPts(S, O, F->best_effort_timestamp, &O.Produced) || O.Produced > O.Target;
    return !O.Overshot;
}

void ReceiveFrames(ReaderSource& S, uint32_t OutputNum)
{
    OutputState& O = S.Outputs[OutputNum];
    while (avcodec_receive_frame(O.Decoder, S.Frame) >= 0) {
        if (S.Frame->nb_samples > 0 && PlaceFrame(S, O, S.Frame) && ConverterFor(O, S.Frame))
            ConvertAndQueue(S, OutputNum, const_cast<const uint8_t**>(S.Frame->extended_data),
                            S.Frame->nb_samples);
        av_frame_unref(S.Frame);
    }
}

// A packet the decoder refuses is skipped, and decoding goes on.
void DecodePacket(ReaderSource& S, uint32_t OutputNum, const AVPacket* Pkt)
{
    int Ret = avcodec_send_packet(S.Outputs[OutputNum].Decoder, Pkt);
    if (Ret < 0 && Ret != AVERROR_EOF)
        return;
    ReceiveFrames(S, OutputNum);
}

void DrainDecoders(ReaderSource& S)
{
    for (uint32_t i = 0; i < S.Outputs.size(); ++i) {
        OutputState& O = S.Outputs[i];
        if (!O.Decoder)
            continue;
        DecodePacket(S, i, nullptr);
        if (O.Convert && swr_get_delay(O.Convert, O.Info.Wave.nSamplesPerSec) > 0)
            ConvertAndQueue(S, i, nullptr, 0);
    }
}

uint64_t PacketTime(const AVStream* St, const AVPacket* Pkt)
{
    int64_t Ts = Pkt->pts != AV_NOPTS_VALUE ? Pkt->pts : Pkt->dts;
    if (Ts == AV_NOPTS_VALUE)
        return 0;
    int64_t T = av_rescale_q(Ts, St->time_base, AVRational{1, UnitsPerSecond});
    return T > 0 ? static_cast<uint64_t>(T) : 0;
}

// A packet of an output that is not decoded is delivered as it is.
void QueuePacket(ReaderSource& S, uint32_t OutputNum, const AVPacket* Pkt)
{
    const AVStream* St = S.Format->streams[S.Outputs[OutputNum].Stream];
    uint64_t Time = PacketTime(St, Pkt);
    if (Time < S.StartTime || Pkt->size <= 0)
        return;
    ReaderSample Out;
    Out.Output = OutputNum;
    Out.Time = Time;
    if (Pkt->duration > 0)
        Out.Duration = static_cast<uint64_t>(av_rescale_q(Pkt->duration, St->time_base, AVRational{1, UnitsPerSecond}));
    Out.Bytes.assign(Pkt->data, Pkt->data + Pkt->size);
    S.Ready.push_back(std::move(Out));
}

void HandlePacket(ReaderSource& S, const AVPacket* Pkt)
{
    if (Pkt->stream_index < 0 || static_cast<size_t>(Pkt->stream_index) >= S.OutputOfStream.size())
        return;
    int OutputNum = S.OutputOfStream[Pkt->stream_index];
    if (OutputNum < 0)
        return;
    // An audio output without a decoder delivers nothing.
    const OutputState& O = S.Outputs[OutputNum];
    if (O.Decoder)
        DecodePacket(S, static_cast<uint32_t>(OutputNum), Pkt);
    else if (!O.Info.Audio)
        QueuePacket(S, static_cast<uint32_t>(OutputNum), Pkt);
}

// ---- Starting at a position ----

bool NeedsReference(const OutputState& O) { return O.Decoder && O.Grid > 0 && !O.HaveRef; }

// Notes the second decoded frame of the stream as the output's reference;
// an output whose frames do not fall on the grid is not placed.
void LearnFromFrames(ReaderSource& S, OutputState& O, uint64_t* Decoded, int* Frames)
{
    while (avcodec_receive_frame(O.Decoder, S.Frame) >= 0) {
        if (S.Frame->nb_samples > 0 && ++*Frames == 2 && NeedsReference(O)) {
            O.RefPts = S.Frame->best_effort_timestamp;
            O.RefSample = *Decoded;
            O.HaveRef = true;
            if (O.RefPts == AV_NOPTS_VALUE || O.RefSample % O.Grid != 0)
                O.Grid = 0;
        }
        if (S.Frame->nb_samples > 0)
            *Decoded += static_cast<uint64_t>(S.Frame->nb_samples);
        av_frame_unref(S.Frame);
    }
}

// Decodes the first packets of the file (reopened at its beginning) until
// every placeable output has its reference; outputs still without one are
// not placed. The decoders are flushed afterwards.
void LearnReferences(ReaderSource& S)
{
    std::vector<uint64_t> Decoded(S.Outputs.size());
    std::vector<int> Frames(S.Outputs.size());
    for (int Read = 0; Read < ReferencePackets; ++Read) {
        bool Missing = false;
        for (const OutputState& O : S.Outputs)
            Missing |= NeedsReference(O);
        if (!Missing || av_read_frame(S.Format, S.Packet) < 0)
            break;
        int Num = S.Packet->stream_index >= 0 && static_cast<size_t>(S.Packet->stream_index) < S.OutputOfStream.size()
                      ? S.OutputOfStream[S.Packet->stream_index]
                      : -1;
        if (Num >= 0 && NeedsReference(S.Outputs[Num]) &&
            avcodec_send_packet(S.Outputs[Num].Decoder, S.Packet) >= 0)
            LearnFromFrames(S, S.Outputs[Num], &Decoded[Num], &Frames[Num]);
        av_packet_unref(S.Packet);
    }
    for (OutputState& O : S.Outputs) {
        if (NeedsReference(O))
            O.Grid = 0;
        O.HaveRef = true;
        if (O.Decoder)
            avcodec_flush_buffers(O.Decoder);
    }
}

// Every decoded output can be placed after a seek.
bool Placeable(const ReaderSource& S)
{
    bool Audio = false;
    for (const OutputState& O : S.Outputs) {
        if (O.Decoder && O.Grid == 0)
            return false;
        Audio |= O.Decoder != nullptr;
    }
    return Audio;
}

// The stamp of the first decoded output's Target sample, less the lead, in
// its stream's time base; false when that lies at the stream's beginning.
bool SeekStamp(const ReaderSource& S, int64_t LeadMs, int* Stream, int64_t* Stamp)
{
    for (const OutputState& O : S.Outputs) {
        if (!O.Decoder)
            continue;
        const AVStream* St = S.Format->streams[O.Stream];
        const AVRational PerSample{1, static_cast<int>(O.Info.Wave.nSamplesPerSec)};
        if (O.Target > static_cast<uint64_t>(MaxPlacedSample))
            return false;
        int64_t Ahead = static_cast<int64_t>(O.Target) - static_cast<int64_t>(O.RefSample);
        int64_t Lead = av_rescale_q(LeadMs, AVRational{1, 1000}, St->time_base);
        int64_t Pts = 0;
        if (__builtin_add_overflow(O.RefPts, av_rescale_q(Ahead, PerSample, St->time_base), &Pts) ||
            __builtin_sub_overflow(Pts, Lead, &Pts))
            return false;
        *Stream = O.Stream;
        *Stamp = Pts;
        return Pts > O.RefPts;
    }
    return false;
}

// Seeks every stream to a packet LeadMs or more before the targets and
// readies the decoders to settle; false when the file is to be decoded
// from its beginning instead.
bool SeekBeforeTargets(ReaderSource& S, int64_t LeadMs)
{
    int Stream = -1;
    int64_t Stamp = 0;
    if (LeadMs > LongestSeekLeadMs || !SeekStamp(S, LeadMs, &Stream, &Stamp) ||
        av_seek_frame(S.Format, Stream, Stamp, AVSEEK_FLAG_BACKWARD) < 0)
        return false;
    S.SeekLeadMs = LeadMs;
    S.Ready.clear();
    for (OutputState& O : S.Outputs) {
        if (!O.Decoder)
            continue;
        avcodec_flush_buffers(O.Decoder);
        swr_free(&O.Convert); // set up afresh for the first delivered frame
        O.Direct = false;
        O.Settling = SettlePackets;
        O.Placed = O.Overshot = false;
    }
    return true;
}

// Reopens the file at its beginning with decoders of the same streams.
bool Reopen(ReaderSource& S)
{
    for (OutputState& O : S.Outputs)
        CloseCodec(O);
    CloseDemuxer(S);
    if (!OpenDemuxer(S) || !SameOutputs(S))
        return false;
    for (OutputState& O : S.Outputs) {
        OpenCodec(S, O);
        O.Placed = true;
        O.Overshot = false;
    }
    S.Fresh = true;
    return true;
}

// The file ended before a seek's settling was over: the seek went too late.
void NoteUnplacedAtEnd(ReaderSource& S)
{
    if (S.ReadFailed)
        return;
    for (OutputState& O : S.Outputs)
        if (O.Decoder && !O.Placed)
            O.Overshot = true;
}

bool AnyOvershot(const ReaderSource& S)
{
    for (const OutputState& O : S.Outputs)
        if (O.Overshot)
            return true;
    return false;
}

} // namespace

namespace {

// Opens the demuxer over S's input and lists its outputs; S is freed on
// failure.
ReaderSource* StartSource(ReaderSource* S, WMStatus* Status)
{
    *Status = WM_E_INVALID_DATA;
    if ((S->In.Fd >= 0 || S->In.Data) && OpenDemuxer(*S)) {
        S->Packet = av_packet_alloc();
        S->Frame = av_frame_alloc();
        if (S->Packet && S->Frame) {
            ListOutputs(*S);
            OpenCodecs(*S);
            *Status = WM_S_OK;
            return S;
        }
        *Status = WM_E_OUTOFMEMORY;
    }
    CloseReaderSource(S);
    return nullptr;
}

} // namespace

ReaderSource* OpenReaderSource(const char* Path, WMStatus* Status)
{
    auto* S = new ReaderSource;
    S->In.Fd = OpenRegularFile(Path);
    return StartSource(S, Status);
}

ReaderSource* OpenReaderSourceFromMemory(const uint8_t* Data, size_t Size, WMStatus* Status)
{
    if (!Data) {
        *Status = WM_E_POINTER;
        return nullptr;
    }
    auto* S = new ReaderSource;
    S->In.Data = Data;
    S->In.Size = Size;
    return StartSource(S, Status);
}

void CloseReaderSource(ReaderSource* S)
{
    if (!S)
        return;
    for (OutputState& O : S->Outputs)
        CloseCodec(O);
    av_packet_free(&S->Packet);
    av_frame_free(&S->Frame);
    CloseDemuxer(*S);
    if (S->In.Fd >= 0)
        close(S->In.Fd);
    delete S;
}

const std::vector<ReaderOutput>& ReaderSourceOutputs(const ReaderSource* S) { return S->Infos; }

bool ReaderSourceMissingCodec(const ReaderSource* S)
{
    for (const OutputState& O : S->Outputs)
        if (O.Info.Audio)
            return O.Decoder == nullptr;
    return false;
}

uint64_t ReaderSourceDuration(const ReaderSource* S)
{
    int64_t D = S->Format->duration;
    if (D == AV_NOPTS_VALUE || D <= 0)
        return 0;
    return static_cast<uint64_t>(av_rescale(D, UnitsPerSecond, AV_TIME_BASE));
}

namespace {

void SetTargets(ReaderSource& S, uint64_t Time)
{
    S.StartTime = Time;
    for (OutputState& O : S.Outputs) {
        O.Produced = 0;
        O.Placed = true;
        O.Overshot = false;
        O.Target = O.Info.Audio ? static_cast<uint64_t>(av_rescale_rnd(static_cast<int64_t>(Time),
                                                                       O.Info.Wave.nSamplesPerSec, UnitsPerSecond,
                                                                       AV_ROUND_UP))
                                : 0;
    }
}

bool NeedsAnyReference(const ReaderSource& S)
{
    for (const OutputState& O : S.Outputs)
        if (NeedsReference(O))
            return true;
    return false;
}

// From the beginning of the file: reopened unless nothing was read yet.
bool StartFromBeginning(ReaderSource& S)
{
    if (!S.Fresh && !Reopen(S))
        return false;
    for (OutputState& O : S.Outputs) {
        O.Produced = 0;
        O.Placed = true;
        O.Overshot = false;
    }
    return true;
}

// Seeks before the targets when every decoded output can be placed,
// learning the references first if needed.
bool SeekToTargets(ReaderSource& S, int64_t LeadMs)
{
    if (!Placeable(S))
        return false;
    if (NeedsAnyReference(S)) {
        if (!StartFromBeginning(S))
            return false;
        S.Fresh = false;
        LearnReferences(S);
        if (!Placeable(S))
            return false;
    }
    S.Fresh = false;
    return SeekBeforeTargets(S, LeadMs);
}

bool Fail(ReaderSource& S)
{
    S.Ended = S.ReadFailed = true;
    return false;
}

} // namespace

bool ReaderSourceStart(ReaderSource* S, uint64_t Time)
{
    S->Ready.clear();
    S->Ended = false;
    S->ReadFailed = false;
    SetTargets(*S, Time);
    if (Time > 0 && SeekToTargets(*S, FirstSeekLeadMs))
        return true;
    return StartFromBeginning(*S) || Fail(*S);
}

SourceStep ReaderSourceNext(ReaderSource* S, ReaderSample* Out)
{
    if (!S->Ready.empty() && FrontIsComplete(*S)) {
        *Out = std::move(S->Ready.front());
        S->Ready.pop_front();
        return SourceStep::Sample;
    }
    if (S->Ended)
        return S->ReadFailed ? SourceStep::Failed : SourceStep::End;
    S->Fresh = false;
    int Ret = av_read_frame(S->Format, S->Packet);
    if (Ret < 0) {
        // Like the end of the file, but reported as a failure afterwards.
        DrainDecoders(*S);
        S->Ended = true;
        S->ReadFailed = Ret != AVERROR_EOF;
        NoteUnplacedAtEnd(*S);
    } else {
        HandlePacket(*S, S->Packet);
        av_packet_unref(S->Packet);
    }
    // The seek went too near the position for the decoder to settle before
    // it: further back, or from the beginning.
    if (AnyOvershot(*S)) {
        S->Ended = S->ReadFailed = false;
        if (!SeekBeforeTargets(*S, S->SeekLeadMs * 4) && !StartFromBeginning(*S))
            Fail(*S);
    }
    return SourceStep::Working;
}
