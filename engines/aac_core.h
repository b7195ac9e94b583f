// The AAC decoder core over FAAD2, loaded at run time: raw ADTS streams fed
// from a 1536-byte window over the file, and AAC tracks of MP4 files fed
// whole samples through the project's MP4 module (libzeb-mp4.so).
#pragma once

#include "engine.h"
#include "pcm_layout.h"
#include "platform/mp4/zeb_mp4.h"

#include <cstdint>

// The engine's private state, in the record's DecoderPriv.
struct AACDecodeInfoType {
    void* hDecoder;      // the decoder library's handle
    uint8_t* InBuffer;   // ADTS: the input window; null for MP4
    uint32_t InBufSz;    // ADTS: valid bytes in InBuffer
    uint32_t SampleCount; // MP4: samples in the track
    uint32_t Sample;     // MP4: samples consumed; the next read is Sample + 1
    uint32_t TrackId;    // MP4: the audio track
    // ADTS: the sampling-frequency index and channel configuration the
    // decoder was initialised with; a frame that changes them restarts it.
    uint8_t RateIndex;
    uint8_t ChannelConfig;
    // Frames of another rate or channel count than the record's are
    // converted to the record's layout through these (null until needed).
    PcmLayoutConverterType* Converter;
    int16_t* Converted;
    uint32_t ConvertedFrames; // capacity of Converted, in frames
};

constexpr uint32_t AACInBufferSz = 1536;

// Loads the decoder library and then the MP4 module from the zeb-audio folder beside this library.
// Non-zero when AAC decoding is available.
int GetAACSupport(void);
void CloseAACSupport(void);

// ADTS only: a decoder on the stream the ADTS engine positioned at the first
// frame. Non-zero on success; on failure nothing it created stays.
int OpenAACDecoder(MPEGFileInfoType* MPEGFileInfo);
void CloseAACDecoder(MPEGFileInfoType* MPEGFileInfo);
// Drops the first Used bytes of the window and refills its tail from Fi.
void PackInBuffer(AACDecodeInfoType* AACInfo, uint32_t Used, FILE* Fi);
// One decoded frame of interleaved 16-bit PCM into OutBuf (never more than
// OutBufSz bytes); 0 at the end of the stream or on a decoding error.
uint32_t DecodeAACSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t OutBufSz);
// ADTS only: refills the whole window from the stream after a seek.
void PostSeekAACBufferReload(MPEGFileInfoType* MPEGFileInfo);

// MP4: opens the file, picks the first usable AAC track, opens a decoder.
MPEGFileInfoType* PrepareAAC_MP4File(const char* Pathname);
void UnPrepareAAC_MP4File(MPEGFileInfoType* MPEGFileInfo);
void SeekAAC_MP4File(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset);

// ---- The decoder library's records, laid out as FAAD2's neaacdec.h ----

struct faacDecConfiguration {
    unsigned char defObjectType;
    unsigned long defSampleRate;
    unsigned char outputFormat; // 1: 16-bit signed PCM
    unsigned char downMatrix;
    unsigned char useOldADTSFormat;
    unsigned char dontUpSampleImplicitSBR;
};

struct faacDecFrameInfo {
    unsigned long bytesconsumed;
    unsigned long samples; // over all channels
    unsigned char channels;
    unsigned char error;   // non-zero on error
    unsigned long samplerate;
    unsigned char sbr;
    unsigned char object_type;
    unsigned char header_type;
    unsigned char num_front_channels;
    unsigned char num_side_channels;
    unsigned char num_back_channels;
    unsigned char num_lfe_channels;
    unsigned char channel_position[64];
    unsigned char ps;
};

struct mp4AudioSpecificConfig {
    unsigned char objectTypeIndex;
    unsigned char samplingFrequencyIndex;
    unsigned long samplingFrequency;
    unsigned char channelsConfiguration;
    unsigned char frameLengthFlag;
    unsigned char dependsOnCoreCoder;
    unsigned short coreCoderDelay;
    unsigned char extensionFlag;
    unsigned char aacSectionDataResilienceFlag;
    unsigned char aacScalefactorDataResilienceFlag;
    unsigned char aacSpectralDataResilienceFlag;
    unsigned char epConfig;
    char sbr_present_flag;
    char forceUpSampling;
    char downSampledSBR;
};

// ---- Entry-point tables ----

// The decoder library's entry points, of one name family.
struct FaadEntryPoints {
    void* (*Open)(void);
    faacDecConfiguration* (*GetCurrentConfiguration)(void* hDecoder);
    unsigned char (*SetConfiguration)(void* hDecoder, faacDecConfiguration* Config);
    long (*Init)(void* hDecoder, unsigned char* Buffer, unsigned long Size, unsigned long* SampleRate,
                 unsigned char* Channels);
    void* (*Decode)(void* hDecoder, faacDecFrameInfo* Info, unsigned char* Buffer, unsigned long Size);
    void (*Close)(void* hDecoder);
    char (*AudioSpecificConfig)(unsigned char* Buffer, unsigned long Size, mp4AudioSpecificConfig* Config);
    char (*Init2)(void* hDecoder, unsigned char* Buffer, unsigned long Size, unsigned long* SampleRate,
                  unsigned char* Channels); // MP4 only; may be missing
};

// The MP4 module's entry points; SampleIdFromMsTime may be missing.
struct MP4EntryPoints {
    MP4ReadFn Read;
    MP4GetNumberOfTracksFn GetNumberOfTracks;
    MP4FindTrackIdFn FindTrackId;
    MP4GetTrackTypeFn GetTrackType;
    MP4GetTrackESConfigurationFn GetTrackESConfiguration;
    rtlFreeFn Free;
    MP4GetTrackDurationExFn GetTrackDurationEx;
    MP4ConvertFromTrackDurationExFn ConvertFromTrackDurationEx;
    MP4GetTrackBitRateFn GetTrackBitRate;
    MP4GetTrackNumberOfSamplesFn GetTrackNumberOfSamples;
    MP4ReadSampleFn ReadSample;
    MP4GetSampleIdFromMsTimeFn GetSampleIdFromMsTime;
    MP4CloseFn Close;
};

using SymbolLookup = void* (*)(void* Library, const char* Name);

// Resolves one family of names: the first ("faacDec...") when its open
// exists, else the second ("NeAACDec..."), never a mix. True when the seven
// entry points every AAC file needs are there; Out is filled either way.
bool ResolveFaadEntryPoints(SymbolLookup Lookup, void* Library, FaadEntryPoints* Out);
// True when the twelve entry points an MP4 file needs are there.
bool ResolveMP4EntryPoints(SymbolLookup Lookup, void* Library, MP4EntryPoints* Out);

// The live tables, for tests that substitute entry points. Changed only
// while no file is open; GetAACSupport and CloseAACSupport rewrite them.
FaadEntryPoints* FaadEntryPointsForTesting(void);
MP4EntryPoints* MP4EntryPointsForTesting(void);
