// Conversion of decoded 16-bit PCM to the layout a stream was opened with,
// for inputs whose later parts change rate or channel count (a chained Ogg
// file's next link, an ADTS frame with another configuration). Channels are
// duplicated (mono to stereo) or mixed down (stereo to mono); the rate is
// converted with the resampler the output layer uses (speexdsp).
#pragma once

#include <cstdint>

struct PcmLayoutConverterType;

// A converter to OutRate Hz and OutChannels (1 or 2) channels, or null.
PcmLayoutConverterType* NewPcmLayoutConverter(uint32_t OutRate, uint16_t OutChannels);
void FreePcmLayoutConverter(PcmLayoutConverterType* Conv);
// Forgets the resampler's history (after a seek or at a new part).
void ResetPcmLayoutConverter(PcmLayoutConverterType* Conv);

// The most frames ConvertPcmLayout can write for InFrames frames at InRate.
uint32_t PcmLayoutMaxFrames(const PcmLayoutConverterType* Conv, uint32_t InFrames, uint32_t InRate);

// Converts InFrames interleaved frames at InRate Hz with InChannels (1 or 2)
// channels and writes them at the output layout to Out, which has room for
// OutRoomFrames frames (at least PcmLayoutMaxFrames). Every input frame is
// consumed; returns the frames written. A layout equal to the output is
// copied unchanged. InRate 0, a channel count outside 1..2 or too little room
// write nothing and return 0.
uint32_t ConvertPcmLayout(PcmLayoutConverterType* Conv, const int16_t* In, uint32_t InFrames, uint32_t InRate,
                          uint16_t InChannels, int16_t* Out, uint32_t OutRoomFrames);
