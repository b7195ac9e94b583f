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
    if (!Buffer->Looping)
        Buffer->Playing = false;
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
    return Produced;
}

// Brings the resampler to the buffer's current rate; its memory is dropped
// after a jump of the cursor or a stretch played without it.
bool TuneResampler(DSBuffer* Buffer)
{
    SpeexResamplerState* Resampler = Buffer->Resampler;
    if (!Resampler)
        return false;
    if (Buffer->ResamplerRate != Buffer->Frequency) {
        speex_resampler_set_rate(Resampler, Buffer->Frequency, DSMixRate);
        Buffer->ResamplerRate = Buffer->Frequency;
    }
    if (Buffer->ResamplerFresh) {
        speex_resampler_reset_mem(Resampler);
        speex_resampler_skip_zeros(Resampler);
        Buffer->ResamplerFresh = false;
    }
    return true;
}

uint32_t PullResampled(DSBuffer* Buffer, int16_t* Out, uint32_t Frames)
{
    if (!TuneResampler(Buffer))
        return 0;
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

uint32_t PullBuffer(DSBuffer* Buffer, int16_t* Out, uint32_t Frames)
{
    uint32_t Produced;
    if (Buffer->Frequency == DSMixRate) {
        Buffer->ResamplerFresh = true;
        Produced = PullDirect(Buffer, Out, Frames);
    } else {
        Produced = PullResampled(Buffer, Out, Frames);
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

bool DSMixerInitBuffer(DSBuffer* Buffer)
{
    Buffer->Pulled = static_cast<int16_t*>(malloc(DSMixChunkFrames * Buffer->FrameBytes));
    if (!Buffer->Pulled)
        return false;
    int Error = 0;
    SpeexResamplerState* Resampler =
        speex_resampler_init(Buffer->Channels, Buffer->Frequency, DSMixRate, ResamplerQuality, &Error);
    if (!Resampler)
        return false;
    Buffer->Resampler = Resampler;
    Buffer->ResamplerRate = Buffer->Frequency;
    Buffer->ResamplerFresh = true;
    return true;
}

void DSMixerFreeBuffer(DSBuffer* Buffer)
{
    if (Buffer->Resampler)
        speex_resampler_destroy(Buffer->Resampler);
    Buffer->Resampler = nullptr;
    free(Buffer->Pulled);
    Buffer->Pulled = nullptr;
}

void DSMixerResetBuffer(DSBuffer* Buffer)
{
    Buffer->ResamplerFresh = true;
}

void DSDeviceRender(DSDevice* Device, int16_t* Out, uint32_t Frames)
{
    std::lock_guard<std::mutex> Guard(Device->Lock);
    while (Frames > 0) {
        uint32_t Chunk = Frames < DSMixChunkFrames ? Frames : DSMixChunkFrames;
        MixChunk(Device, Out, Chunk);
        Out += Chunk * DSMixChannels;
        Frames -= Chunk;
    }
}
