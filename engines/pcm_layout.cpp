// Channel conversion first (to the output's channel count), then the rate:
// the resampler always runs at the output's channel count, so one resampler
// serves every input layout.
#include "pcm_layout.h"

#include <speex/speex_resampler.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t MaxChannels = 2;
// Input is converted in blocks of this many frames through a fixed buffer.
constexpr uint32_t BlockFrames = 1024;
// Whole frames the resampler can emit beyond InFrames * OutRate / InRate:
// one for the fraction carried between calls, one to spare.
constexpr uint32_t ResamplerSlackFrames = 2;

bool ValidChannels(uint16_t Channels)
{
    return Channels >= 1 && Channels <= MaxChannels;
}

} // namespace

struct PcmLayoutConverterType {
    uint32_t OutRate;
    uint16_t OutChannels;
    uint32_t ResamplerRate; // input rate the resampler runs at; 0 when it must start afresh
    SpeexResamplerState* Resampler;
    int16_t Block[BlockFrames * MaxChannels]; // input at the output's channels
};

namespace {

// Copies, duplicates (mono to stereo) or averages (stereo to mono) Frames
// frames into the output's channel count.
void ConvertChannels(const int16_t* In, uint16_t InChannels, int16_t* Out, uint16_t OutChannels, uint32_t Frames)
{
    if (InChannels == OutChannels) {
        memcpy(Out, In, static_cast<size_t>(Frames) * InChannels * sizeof(int16_t));
        return;
    }
    for (uint32_t I = 0; I < Frames; ++I) {
        if (OutChannels == 2) {
            Out[2 * I] = In[I];
            Out[2 * I + 1] = In[I];
        } else {
            Out[I] = static_cast<int16_t>((static_cast<int32_t>(In[2 * I]) + In[2 * I + 1]) / 2);
        }
    }
}

// Points the resampler at InRate, starting from empty history so that no
// samples of an earlier part are carried into this one. A new resampler
// rather than speex_resampler_reset_mem: that leaves part of the history of
// every channel but the first in place once the filter has been resized.
bool TuneResampler(PcmLayoutConverterType* Conv, uint32_t InRate)
{
    if (Conv->ResamplerRate == InRate)
        return true;
    int Error = 0;
    SpeexResamplerState* Fresh =
        speex_resampler_init(Conv->OutChannels, InRate, Conv->OutRate, SPEEX_RESAMPLER_QUALITY_DEFAULT, &Error);
    if (!Fresh)
        return false;
    speex_resampler_destroy(Conv->Resampler);
    Conv->Resampler = Fresh;
    speex_resampler_skip_zeros(Fresh);
    Conv->ResamplerRate = InRate;
    return true;
}

// Resamples Frames frames of the block; returns the frames written to Out.
uint32_t ResampleBlock(PcmLayoutConverterType* Conv, uint32_t Frames, int16_t* Out, uint32_t Room)
{
    uint32_t Consumed = 0;
    uint32_t Produced = 0;
    while (Consumed < Frames && Produced < Room) {
        spx_uint32_t InLen = Frames - Consumed;
        spx_uint32_t OutLen = Room - Produced;
        speex_resampler_process_interleaved_int(Conv->Resampler, Conv->Block + Consumed * Conv->OutChannels, &InLen,
                                                Out + static_cast<size_t>(Produced) * Conv->OutChannels, &OutLen);
        Consumed += InLen;
        Produced += OutLen;
        if (InLen == 0 && OutLen == 0)
            break;
    }
    return Produced;
}

} // namespace

PcmLayoutConverterType* NewPcmLayoutConverter(uint32_t OutRate, uint16_t OutChannels)
{
    if (OutRate == 0 || !ValidChannels(OutChannels))
        return nullptr;
    auto* Conv = static_cast<PcmLayoutConverterType*>(calloc(1, sizeof(PcmLayoutConverterType)));
    if (!Conv)
        return nullptr;
    int Error = 0;
    Conv->Resampler = speex_resampler_init(OutChannels, OutRate, OutRate, SPEEX_RESAMPLER_QUALITY_DEFAULT, &Error);
    if (!Conv->Resampler) {
        free(Conv);
        return nullptr;
    }
    Conv->OutRate = OutRate;
    Conv->OutChannels = OutChannels;
    return Conv;
}

void FreePcmLayoutConverter(PcmLayoutConverterType* Conv)
{
    if (!Conv)
        return;
    speex_resampler_destroy(Conv->Resampler);
    free(Conv);
}

void ResetPcmLayoutConverter(PcmLayoutConverterType* Conv)
{
    if (Conv)
        Conv->ResamplerRate = 0;
}

uint32_t PcmLayoutMaxFrames(const PcmLayoutConverterType* Conv, uint32_t InFrames, uint32_t InRate)
{
    if (!Conv || InRate == 0)
        return 0;
    if (InRate == Conv->OutRate)
        return InFrames;
    uint64_t Frames = static_cast<uint64_t>(InFrames) * Conv->OutRate / InRate + ResamplerSlackFrames;
    return Frames > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Frames);
}

uint32_t ConvertPcmLayout(PcmLayoutConverterType* Conv, const int16_t* In, uint32_t InFrames, uint32_t InRate,
                          uint16_t InChannels, int16_t* Out, uint32_t OutRoomFrames)
{
    if (!Conv || InRate == 0 || !ValidChannels(InChannels) || OutRoomFrames < PcmLayoutMaxFrames(Conv, InFrames, InRate))
        return 0;
    bool SameRate = InRate == Conv->OutRate;
    if (SameRate)
        Conv->ResamplerRate = 0; // the resampler's history is stale from here on
    else if (!TuneResampler(Conv, InRate))
        return 0;
    uint32_t Produced = 0;
    for (uint32_t Done = 0; Done < InFrames;) {
        uint32_t Frames = InFrames - Done < BlockFrames ? InFrames - Done : BlockFrames;
        int16_t* Dest = Out + static_cast<size_t>(Produced) * Conv->OutChannels;
        const int16_t* Src = In + static_cast<size_t>(Done) * InChannels;
        if (SameRate) {
            ConvertChannels(Src, InChannels, Dest, Conv->OutChannels, Frames);
            Produced += Frames;
        } else {
            ConvertChannels(Src, InChannels, Conv->Block, Conv->OutChannels, Frames);
            Produced += ResampleBlock(Conv, Frames, Dest, OutRoomFrames - Produced);
        }
        Done += Frames;
    }
    return Produced;
}
