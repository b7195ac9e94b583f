// The software mixer of a device: every playing secondary buffer is pulled at
// its own rate (resampled to the mix rate, mono spread to both channels),
// scaled by its gain and summed; the sum takes the primary gain and is
// clipped to 16 bits.
#include "dsdevice_impl.h"

#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// Speex quality 3: clean enough for playback, and sixteen players at mixed
// rates cost about 3 % of a core.
constexpr int ResamplerQuality = 3;
constexpr float SampleMax = 32767.0f;
constexpr float SampleMin = -32768.0f;

uint32_t TotalFrames(const DSBuffer* Buffer)
{
    return Buffer->Size / Buffer->FrameBytes;
}

// Moves the play cursor by Frames, wrapping a looping buffer and stopping a
// one-shot buffer at its end.
void AdvanceCursor(DSBuffer* Buffer, uint32_t Frames)
{
    Buffer->PlayPos += Frames * Buffer->FrameBytes;
    if (Buffer->PlayPos < Buffer->Size)
        return;
    Buffer->PlayPos = 0;
    if (!Buffer->Looping) {
        Buffer->Playing = false;
        Buffer->StopFrame = Buffer->Device->RenderedFrames;
    }
}

// Keeps the last frames copied directly: they are the left half of the
// resampler's filter when the resampler takes over.
void RememberHistory(DSBuffer* Buffer, const int16_t* Out, uint32_t Frames)
{
    uint32_t Keep = Buffer->HistoryFrames;
    uint32_t Samples = Buffer->Channels;
    if (Frames >= Keep) {
        memcpy(Buffer->History, Out + (Frames - Keep) * Samples, Keep * Buffer->FrameBytes);
        return;
    }
    memmove(Buffer->History, Buffer->History + Frames * Samples, (Keep - Frames) * Buffer->FrameBytes);
    memcpy(Buffer->History + (Keep - Frames) * Samples, Out, Frames * Buffer->FrameBytes);
}

// A buffer at the mix rate is copied as it stands.
uint32_t PullDirect(DSBuffer* Buffer, int16_t* Out, uint32_t Frames)
{
    uint32_t Produced = 0;
    while (Produced < Frames && Buffer->Playing) {
        uint32_t Available = TotalFrames(Buffer) - Buffer->PlayPos / Buffer->FrameBytes;
        uint32_t Take = Frames - Produced < Available ? Frames - Produced : Available;
        memcpy(Out + Produced * Buffer->Channels, Buffer->Data + Buffer->PlayPos, Take * Buffer->FrameBytes);
        Produced += Take;
        AdvanceCursor(Buffer, Take);
    }
    RememberHistory(Buffer, Out, Produced);
    return Produced;
}

// Runs the resampler over the buffer from its cursor until Frames frames
// came out (or a one-shot buffer ended).
uint32_t Resample(DSBuffer* Buffer, int16_t* Out, uint32_t Frames)
{
    SpeexResamplerState* Resampler = Buffer->Resampler;
    uint32_t Produced = 0;
    while (Produced < Frames && Buffer->Playing) {
        spx_uint32_t InLen = TotalFrames(Buffer) - Buffer->PlayPos / Buffer->FrameBytes;
        spx_uint32_t OutLen = Frames - Produced;
        const int16_t* In = reinterpret_cast<const int16_t*>(Buffer->Data + Buffer->PlayPos);
        speex_resampler_process_interleaved_int(Resampler, In, &InLen, Out + Produced * Buffer->Channels, &OutLen);
        Produced += OutLen;
        AdvanceCursor(Buffer, InLen);
        if (InLen == 0 && OutLen == 0)
            break;
    }
    return Produced;
}

// Hands the buffer from the direct copy to the resampler without a seam.
// At 1:1 the resampler is fed the frames just played and then as many frames
// ahead of the cursor, and the outputs for the played frames are dropped:
// its next output is the frame that the direct copy would have given next,
// with the filter's memory filled by the real signal rather than silence.
// The buffer's Pulled block takes the dropped outputs.
void StartResampling(DSBuffer* Buffer)
{
    SpeexResamplerState* Resampler = Buffer->Resampler;
    speex_resampler_set_rate(Resampler, DSMixRate, DSMixRate);
    speex_resampler_reset_mem(Resampler);
    speex_resampler_skip_zeros(Resampler);
    spx_uint32_t InLen = Buffer->HistoryFrames;
    spx_uint32_t OutLen = Buffer->HistoryFrames; // half a filter of input gives no output yet
    speex_resampler_process_interleaved_int(Resampler, Buffer->History, &InLen, Buffer->Pulled, &OutLen);
    Resample(Buffer, Buffer->Pulled, Buffer->HistoryFrames);
    Buffer->ResamplerRate = DSMixRate;
    Buffer->Resampling = true;
}

// Follows the buffer's rate; speex keeps its memory and fractional position
// across the change, so the output stays continuous.
void TuneResampler(DSBuffer* Buffer)
{
    if (Buffer->ResamplerRate == Buffer->Frequency)
        return;
    speex_resampler_set_rate(Buffer->Resampler, Buffer->Frequency, DSMixRate);
    Buffer->ResamplerRate = Buffer->Frequency;
}

uint32_t PullBuffer(DSBuffer* Buffer, int16_t* Out, uint32_t Frames)
{
    uint32_t Produced;
    if (!Buffer->Resampling && Buffer->Frequency == DSMixRate) {
        Produced = PullDirect(Buffer, Out, Frames);
    } else {
        if (!Buffer->Resampling)
            StartResampling(Buffer);
        TuneResampler(Buffer);
        Produced = Resample(Buffer, Out, Frames);
    }
    memset(Out + Produced * Buffer->Channels, 0, (Frames - Produced) * Buffer->FrameBytes);
    return Produced;
}

void AddStereo(float* Accum, const int16_t* In, uint32_t Frames, float Gain)
{
    for (uint32_t I = 0; I < Frames * 2; ++I)
        Accum[I] += static_cast<float>(In[I]) * Gain;
}

void AddMono(float* Accum, const int16_t* In, uint32_t Frames, float Gain)
{
    for (uint32_t I = 0; I < Frames; ++I) {
        float Sample = static_cast<float>(In[I]) * Gain;
        Accum[2 * I] += Sample;
        Accum[2 * I + 1] += Sample;
    }
}

// Primary gain, clipping and rounding to the nearest integer.
void Finish(const float* Accum, int16_t* Out, uint32_t Samples, float Gain)
{
    for (uint32_t I = 0; I < Samples; ++I) {
        float Value = Accum[I] * Gain;
        Value = Value > SampleMax ? SampleMax : (Value < SampleMin ? SampleMin : Value);
        Out[I] = static_cast<int16_t>(Value + std::copysign(0.5f, Value));
    }
}

void MixChunk(DSDevice* Device, int16_t* Out, uint32_t Frames)
{
    float* Accum = Device->Accum;
    memset(Accum, 0, Frames * DSMixChannels * sizeof(float));
    for (DSBuffer* Buffer = Device->Buffers; Buffer; Buffer = Buffer->Next) {
        if (!Buffer->Playing)
            continue;
        // A silent buffer still advances: its cursor is what its writer waits on.
        PullBuffer(Buffer, Buffer->Pulled, Frames);
        if (Buffer->Gain == 0.0f)
            continue;
        if (Buffer->Channels == 2)
            AddStereo(Accum, Buffer->Pulled, Frames, Buffer->Gain);
        else
            AddMono(Accum, Buffer->Pulled, Frames, Buffer->Gain);
    }
    Finish(Accum, Out, Frames * DSMixChannels, Device->PrimaryGain);
}

} // namespace

// The resampler starts at 1:1, the rate it is handed over at; its filter's
// half length there is the history a buffer keeps.
bool DSMixerInitBuffer(DSBuffer* Buffer)
{
    Buffer->Pulled = static_cast<int16_t*>(malloc(DSMixChunkFrames * Buffer->FrameBytes));
    int Error = 0;
    Buffer->Resampler = speex_resampler_init(Buffer->Channels, DSMixRate, DSMixRate, ResamplerQuality, &Error);
    if (!Buffer->Pulled || !Buffer->Resampler)
        return false;
    Buffer->ResamplerRate = DSMixRate;
    Buffer->HistoryFrames = speex_resampler_get_input_latency(Buffer->Resampler);
    Buffer->History = static_cast<int16_t*>(calloc(Buffer->HistoryFrames, Buffer->FrameBytes));
    return Buffer->History != nullptr && Buffer->HistoryFrames <= DSMixChunkFrames;
}

void DSMixerFreeBuffer(DSBuffer* Buffer)
{
    if (Buffer->Resampler)
        speex_resampler_destroy(Buffer->Resampler);
    Buffer->Resampler = nullptr;
    free(Buffer->Pulled);
    Buffer->Pulled = nullptr;
    free(Buffer->History);
    Buffer->History = nullptr;
}

// After a jump nothing leads into the new position: the history is silence
// and a buffer at the mix rate goes back to the exact copy.
void DSMixerResetBuffer(DSBuffer* Buffer)
{
    Buffer->Resampling = false;
    memset(Buffer->History, 0, Buffer->HistoryFrames * Buffer->FrameBytes);
}

void DSDeviceRender(DSDevice* Device, int16_t* Out, uint32_t Frames)
{
    std::lock_guard<std::mutex> Guard(Device->Lock);
    while (Frames > 0) {
        uint32_t Chunk = Frames < DSMixChunkFrames ? Frames : DSMixChunkFrames;
        MixChunk(Device, Out, Chunk);
        Device->RenderedFrames += Chunk;
        Out += Chunk * DSMixChannels;
        Frames -= Chunk;
    }
}
