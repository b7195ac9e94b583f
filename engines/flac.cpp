// FLAC engine: libFLAC's stream decoder reads a C stream the engine opened;
// the engine turns each decoded frame into interleaved 16-bit PCM in the
// core's output buffer and maps millisecond seek positions to sample numbers.
#include "flac.h"

#include "zeb_platform.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

const char* const FlacNames[] = {"libFLAC.so.12", "libFLAC.so.14", "libFLAC.so.8", nullptr};

// Written only by GetFlacSupport and CloseFlacSupport.
void* hDll = nullptr;
decltype(&FLAC__stream_decoder_new) stream_decoder_new = nullptr;
decltype(&FLAC__stream_decoder_init_FILE) stream_decoder_init_FILE = nullptr;
decltype(&FLAC__stream_decoder_finish) stream_decoder_finish = nullptr;
decltype(&FLAC__stream_decoder_delete) stream_decoder_delete = nullptr;
decltype(&FLAC__stream_decoder_process_single) stream_decoder_process_single = nullptr;
decltype(&FLAC__stream_decoder_process_until_end_of_metadata) stream_decoder_process_until_end_of_metadata = nullptr;
decltype(&FLAC__stream_decoder_get_state) stream_decoder_get_state = nullptr;
decltype(&FLAC__stream_decoder_seek_absolute) stream_decoder_seek_absolute = nullptr;
decltype(&FLAC__stream_decoder_reset) stream_decoder_reset = nullptr;

constexpr uint16_t OutBytesPerSample = 2;
constexpr int OutBits = 16;
// Sample widths the conversion to 16 bits handles.
constexpr uint32_t MinSampleBits = 1;
constexpr uint32_t MaxSampleBits = 32;
// Decoder steps without a delivered frame (a damaged frame skipped, one too
// large for the output buffer) that one decode call takes before it ends the
// stream. Every step consumes input, so this only bounds a decoder that
// stopped making progress.
constexpr uint32_t MaxEmptySteps = 65536;

// The record the core holds, followed by what only this engine keeps.
struct FlacStream {
    MPEGFileInfoType Info; // first member: the core's record pointer is the stream's
    uint64_t SeekTarget;   // sample the next decode seeks to first, when SeekPending
    bool SeekPending;
    bool AtEnd;            // a seek reached the end: nothing to decode until the next seek
};

FlacStream* StreamOf(MPEGFileInfoType* Info) { return reinterpret_cast<FlacStream*>(Info); }

FLAC__StreamDecoder* DecoderOf(const MPEGFileInfoType* Info)
{
    return reinterpret_cast<FLAC__StreamDecoder*>(Info->Handle);
}

template <typename Func> bool Bind(Func* Slot, const char* Name)
{
    *Slot = reinterpret_cast<Func>(GetSupportSymbol(hDll, Name));
    return *Slot != nullptr;
}

bool BindAll()
{
    return Bind(&stream_decoder_new, "FLAC__stream_decoder_new") &&
           Bind(&stream_decoder_init_FILE, "FLAC__stream_decoder_init_FILE") &&
           Bind(&stream_decoder_finish, "FLAC__stream_decoder_finish") &&
           Bind(&stream_decoder_delete, "FLAC__stream_decoder_delete") &&
           Bind(&stream_decoder_process_single, "FLAC__stream_decoder_process_single") &&
           Bind(&stream_decoder_process_until_end_of_metadata, "FLAC__stream_decoder_process_until_end_of_metadata") &&
           Bind(&stream_decoder_get_state, "FLAC__stream_decoder_get_state") &&
           Bind(&stream_decoder_seek_absolute, "FLAC__stream_decoder_seek_absolute") &&
           Bind(&stream_decoder_reset, "FLAC__stream_decoder_reset");
}

// ---- Frame to PCM ----

// Count samples of one channel into every Stride-th 16-bit slot from Out:
// the top 16 bits of a wider sample (Shift > 0), a narrower one widened
// (Shift < 0). The shift is chosen once, not per sample.
void PutChannel(uint8_t* Out, size_t Stride, const FLAC__int32* Samples, uint32_t Count, int Shift)
{
    int Right = Shift > 0 ? Shift : 0;
    int Left = Shift < 0 ? -Shift : 0;
    for (uint32_t i = 0; i < Count; ++i, Out += Stride) {
        uint16_t Value = static_cast<uint16_t>(static_cast<uint32_t>(Samples[i] >> Right) << Left);
        Out[0] = static_cast<uint8_t>(Value);
        Out[1] = static_cast<uint8_t>(Value >> 8);
    }
}

// Bytes the frame takes as 16-bit PCM in the record's channel layout, or 0
// when it cannot be delivered: a sample width outside 1..32 bits, or more
// than the output buffer holds.
uint32_t DeliverableBytes(const MPEGFileInfoType& Info, const FLAC__FrameHeader& Header)
{
    uint64_t Bytes = static_cast<uint64_t>(Info.Channels) * Header.blocksize * OutBytesPerSample;
    bool Width = Header.bits_per_sample >= MinSampleBits && Header.bits_per_sample <= MaxSampleBits;
    return Width && Bytes <= OutBufSz ? static_cast<uint32_t>(Bytes) : 0;
}

// The frame interleaved in the record's channel layout: channels the frame
// lacks are silent, channels the record lacks are left out.
void WriteInterleaved(uint8_t* Out, uint16_t Channels, const FLAC__Frame& Frame, const FLAC__int32* const Buffer[])
{
    size_t Stride = static_cast<size_t>(Channels) * OutBytesPerSample;
    int Shift = static_cast<int>(Frame.header.bits_per_sample) - OutBits;
    uint16_t Present = std::min<uint16_t>(Channels, static_cast<uint16_t>(Frame.header.channels));
    if (Present < Channels)
        memset(Out, 0, Stride * Frame.header.blocksize);
    for (uint16_t c = 0; c < Present; ++c)
        PutChannel(Out + static_cast<size_t>(c) * OutBytesPerSample, Stride, Buffer[c], Frame.header.blocksize, Shift);
}

// ---- Decoder steps ----

bool IsDecoding(FLAC__StreamDecoderState State)
{
    return State == FLAC__STREAM_DECODER_SEARCH_FOR_FRAME_SYNC || State == FLAC__STREAM_DECODER_READ_FRAME;
}

// Steps the decoder until a frame has been written to DecoderPriv. False at
// the end of the stream or when the decoder fails.
bool DecodeNextFrame(MPEGFileInfoType* Info)
{
    FLAC__StreamDecoder* Decoder = DecoderOf(Info);
    Info->FrameSize = 0;
    for (uint32_t Step = 0; Step < MaxEmptySteps; ++Step) {
        if (!IsDecoding(stream_decoder_get_state(Decoder)) || !stream_decoder_process_single(Decoder))
            return false;
        if (Info->FrameSize)
            return true;
    }
    return false;
}

// The sample MsOffset milliseconds from the start; at most the total where
// STREAMINFO gives one.
uint64_t TargetSample(const MPEGFileInfoType& Info, uint32_t MsOffset)
{
    uint64_t Sample = SampleAtMs(&Info, MsOffset);
    return Info.TotalSamples ? std::min(Sample, Info.TotalSamples) : Sample;
}

// The decoder's own states from which it can seek; any other (a refused or
// failed seek, an aborted read) needs a reset first.
bool CanSeek(FLAC__StreamDecoderState State)
{
    return IsDecoding(State) || State == FLAC__STREAM_DECODER_END_OF_STREAM;
}

// Seeks to Sample; a decoder a refused seek left unusable is reset (back
// to the start of the file) and asked once more.
bool SeekDecoder(FLAC__StreamDecoder* Decoder, uint64_t Sample)
{
    if (CanSeek(stream_decoder_get_state(Decoder)) && stream_decoder_seek_absolute(Decoder, Sample))
        return true;
    return stream_decoder_reset(Decoder) && stream_decoder_seek_absolute(Decoder, Sample);
}

// Makes the pending seek with DecoderPriv set; true when the target
// frame's PCM was written there. A target at the end (which the decoder
// refuses) or one the decoder cannot reach ends the stream there, but the
// decoder stays usable: the next seek plays from its own target.
bool SeekNow(FlacStream* Stream)
{
    MPEGFileInfoType* Info = &Stream->Info;
    Stream->SeekPending = false;
    Info->FrameSize = 0;
    bool Sought = !(Info->TotalSamples && Stream->SeekTarget >= Info->TotalSamples) &&
                  SeekDecoder(DecoderOf(Info), Stream->SeekTarget);
    Stream->AtEnd = !Sought;
    return Sought && Info->FrameSize != 0;
}

// ---- Opening and closing ----

// STREAMINFO was read, with the channels and the rate the core divides by.
bool HasStreamInfo(const MPEGFileInfoType& Info) { return Info.Channels != 0 && Info.SampleRate != 0; }

// The decoder owns File from a successful init (finishing it closes File);
// a refused init leaves it with the caller.
bool OpenStream(FLAC__StreamDecoder* Decoder, FILE* File, MPEGFileInfoType* Info)
{
    if (stream_decoder_init_FILE(Decoder, File, DecoderWriteCallback, MetadataCallback, ErrorCallback, Info) !=
        FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        fclose(File);
        return false;
    }
    return stream_decoder_process_until_end_of_metadata(Decoder) && HasStreamInfo(*Info);
}

void Release(FlacStream* Stream)
{
    FLAC__StreamDecoder* Decoder = DecoderOf(&Stream->Info);
    if (Decoder && hDll) {
        if (stream_decoder_get_state(Decoder) != FLAC__STREAM_DECODER_UNINITIALIZED)
            stream_decoder_finish(Decoder);
        stream_decoder_delete(Decoder);
    }
    delete Stream;
}

} // namespace

int GetFlacSupport(void)
{
    if (hDll)
        return 1;
    hDll = LoadSupportLibrary("flac", FlacNames);
    if (!hDll)
        return 0;
    if (BindAll())
        return 1;
    CloseFlacSupport();
    return 0;
}

void CloseFlacSupport(void)
{
    FreeSupportLibrary(hDll);
    hDll = nullptr;
    stream_decoder_new = nullptr;
    stream_decoder_init_FILE = nullptr;
    stream_decoder_finish = nullptr;
    stream_decoder_delete = nullptr;
    stream_decoder_process_single = nullptr;
    stream_decoder_process_until_end_of_metadata = nullptr;
    stream_decoder_get_state = nullptr;
    stream_decoder_seek_absolute = nullptr;
    stream_decoder_reset = nullptr;
}

MPEGFileInfoType* PrepareFlacFile(const char* Path)
{
    if (!hDll || !Path)
        return nullptr;
    FILE* File = OpenRegularFile(Path);
    return File ? PrepareFlacStream(File) : nullptr;
}

MPEGFileInfoType* PrepareFlacStream(FILE* File)
{
    FLAC__StreamDecoder* Decoder = hDll ? stream_decoder_new() : nullptr;
    FlacStream* Stream = Decoder ? new (std::nothrow) FlacStream{} : nullptr;
    if (!Stream) {
        if (Decoder)
            stream_decoder_delete(Decoder);
        fclose(File);
        return nullptr;
    }
    MPEGFileInfoType* Info = &Stream->Info;
    Info->Handle = reinterpret_cast<FILE*>(Decoder);
    Info->VBRFlag = 1;
    if (!OpenStream(Decoder, File, Info)) {
        Release(Stream);
        return nullptr;
    }
    return Info;
}

// One frame per call. A step that delivers nothing in the middle of the
// stream is followed by the next, so that 0 means the end or a failure.
// The decoder stays open at the end: a later seek plays again.
uint32_t DecodeFlacSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf)
{
    if (!MPEGFileInfo || !OutBuf || !hDll)
        return 0;
    FlacStream* Stream = StreamOf(MPEGFileInfo);
    MPEGFileInfo->DecoderPriv = reinterpret_cast<uintptr_t>(OutBuf);
    bool Delivered = Stream->SeekPending && SeekNow(Stream);
    if (!Delivered && !Stream->AtEnd)
        Delivered = DecodeNextFrame(MPEGFileInfo);
    MPEGFileInfo->DecoderPriv = 0;
    return Delivered ? MPEGFileInfo->FrameSize : 0;
}

// The seek itself is made by the next decode call, into the core's buffer:
// the decoder hands over the part of the target frame from the target
// sample on while it seeks, so playback resumes at the target and a seek
// to 0 loses nothing. Only the last of several seeks is made.
void SeekFlacFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !hDll)
        return;
    FlacStream* Stream = StreamOf(MPEGFileInfo);
    Stream->SeekTarget = TargetSample(*MPEGFileInfo, MsOffset);
    Stream->SeekPending = true;
    Stream->AtEnd = false;
}

void UnPrepareFlacFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (MPEGFileInfo)
        Release(StreamOf(MPEGFileInfo));
}

// ---- Decoder callbacks ----

FLAC__StreamDecoderWriteStatus DecoderWriteCallback(const FLAC__StreamDecoder* decoder, const FLAC__Frame* frame,
                                                    const FLAC__int32* const buffer[], void* client_data)
{
    auto* Info = static_cast<MPEGFileInfoType*>(client_data);
    auto* Out = reinterpret_cast<uint8_t*>(Info->DecoderPriv);
    if (!Out)
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    Info->FrameSize = DeliverableBytes(*Info, frame->header);
    if (Info->FrameSize)
        WriteInterleaved(Out, Info->Channels, *frame, buffer);
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

// Only the first STREAMINFO describes the stream: the PCM layout the core
// was given stays fixed for the life of the record.
void MetadataCallback(const FLAC__StreamDecoder* decoder, const FLAC__StreamMetadata* metadata, void* client_data)
{
    auto* Info = static_cast<MPEGFileInfoType*>(client_data);
    if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO || Info->Channels != 0)
        return;
    const FLAC__StreamMetadata_StreamInfo& StreamInfo = metadata->data.stream_info;
    Info->SampleRate = StreamInfo.sample_rate;
    Info->Channels = static_cast<uint16_t>(StreamInfo.channels);
    Info->BytesPerSample = OutBytesPerSample;
    Info->FileLength = StreamInfo.total_samples;
    Info->TotalSamples = StreamInfo.total_samples;
    uint64_t Seconds = StreamInfo.sample_rate ? StreamInfo.total_samples / StreamInfo.sample_rate : 0;
    Info->TrackLength = static_cast<uint32_t>(std::min<uint64_t>(Seconds, UINT32_MAX));
}

// The decoder resynchronises by its own rules; nothing to record.
void ErrorCallback(const FLAC__StreamDecoder* decoder, FLAC__StreamDecoderErrorStatus status, void* client_data) {}
