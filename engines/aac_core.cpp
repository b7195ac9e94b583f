// The AAC decoder core: FAAD2 loaded at run time decodes raw ADTS streams fed
// from a 1536-byte window over the file the ADTS engine positioned, and the
// AAC track of an MP4 file fed one whole sample at a time through the MP4
// module. Each decode call delivers one frame of interleaved 16-bit PCM.
#include "aac_core.h"

#include "zeb_platform.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace {

const char* const FaadNames[] = {"libfaad.so.2", nullptr};
const char* const MP4ModuleName = "libzeb-mp4.so";

// The two published name families, in the order of FaadEntryPoints.
constexpr size_t FaadEntryCount = 8;
const char* const FaadFamilies[2][FaadEntryCount] = {
    {"faacDecOpen", "faacDecGetCurrentConfiguration", "faacDecSetConfiguration", "faacDecInit", "faacDecDecode",
     "faacDecClose", "AudioSpecificConfig", "faacDecInit2"},
    {"NeAACDecOpen", "NeAACDecGetCurrentConfiguration", "NeAACDecSetConfiguration", "NeAACDecInit",
     "NeAACDecDecode", "NeAACDecClose", "NeAACDecAudioSpecificConfig", "NeAACDecInit2"},
};

// Written only by GetAACSupport and CloseAACSupport (and tests).
void* hDLL = nullptr;
void* hMp4DLL = nullptr;
FaadEntryPoints Faad{};
MP4EntryPoints Mp4{};

constexpr unsigned long DefaultSampleRate = 44100;
constexpr unsigned char OutputPcm16 = 1;
constexpr uint32_t OutBytesPerSample = 2;
// A frame is 1024 samples per channel, twice that when SBR upsamples.
constexpr unsigned long MaxFrameSamplesPerChannel = 2048;
constexpr uint16_t MaxConvertedChannels = 2; // mono and stereo convert
constexpr uint32_t MaxTrackIndex = UINT16_MAX; // track indices are 16-bit
const char* const AudioTrackType = "soun";

// ADTS header: enough bytes to read the rate index and channel configuration.
constexpr uint32_t LayoutHeaderBytes = 4;
constexpr uint8_t NoLayout = 0xFF;

template <typename Func> void Bind(Func* Slot, SymbolLookup Lookup, void* Library, const char* Name)
{
    *Slot = reinterpret_cast<Func>(Lookup(Library, Name));
}

bool FaadComplete(const FaadEntryPoints& F)
{
    return F.Open && F.GetCurrentConfiguration && F.SetConfiguration && F.Init && F.Decode && F.Close &&
           F.AudioSpecificConfig;
}

bool MP4Complete(const MP4EntryPoints& M)
{
    return M.Read && M.GetNumberOfTracks && M.FindTrackId && M.GetTrackType && M.GetTrackESConfiguration &&
           M.Free && M.GetTrackDurationEx && M.ConvertFromTrackDurationEx && M.GetTrackBitRate &&
           M.GetTrackNumberOfSamples && M.ReadSample && M.Close;
}

bool FaadReady() { return FaadComplete(Faad); }

// MP4 files need the decoder, its initialisation from a configuration, and
// every MP4 entry point but the sample lookup by time.
bool MP4Ready() { return FaadReady() && Faad.Init2 && MP4Complete(Mp4); }

AACDecodeInfoType* DecodeInfoOf(const MPEGFileInfoType* Info)
{
    return reinterpret_cast<AACDecodeInfoType*>(Info->DecoderPriv);
}

MP4FileHandle MP4HandleOf(const MPEGFileInfoType* Info) { return reinterpret_cast<MP4FileHandle>(Info->Handle); }

// The libraries return a C char: negative is an error wherever char is unsigned, too.
bool Failed(char Result) { return static_cast<signed char>(Result) < 0; }

void ReleaseDecodeInfo(AACDecodeInfoType* AAC)
{
    if (!AAC)
        return;
    if (AAC->hDecoder && Faad.Close)
        Faad.Close(AAC->hDecoder);
    FreePcmLayoutConverter(AAC->Converter);
    delete[] AAC->Converted;
    delete[] AAC->InBuffer;
    delete AAC;
}

// 16-bit output and a default rate for streams that do not state one.
bool ConfigureForADTS(void* hDecoder)
{
    faacDecConfiguration* Config = Faad.GetCurrentConfiguration(hDecoder);
    if (!Config)
        return false;
    Config->defSampleRate = DefaultSampleRate;
    Config->outputFormat = OutputPcm16;
    return Faad.SetConfiguration(hDecoder, Config) != 0;
}

bool StartsWithADTSHeader(const uint8_t* Bytes, uint32_t Size)
{
    return Size >= LayoutHeaderBytes && Bytes[0] == 0xFF && (Bytes[1] & 0xF0) == 0xF0 && (Bytes[1] & 0x06) == 0;
}

uint8_t RateIndexOf(const uint8_t* Header) { return (Header[2] >> 2) & 0x0F; }

uint8_t ChannelConfigOf(const uint8_t* Header) { return static_cast<uint8_t>((Header[2] & 0x01) << 2 | Header[3] >> 6); }

void NoteStreamLayout(AACDecodeInfoType* AAC)
{
    bool Known = StartsWithADTSHeader(AAC->InBuffer, AAC->InBufSz);
    AAC->RateIndex = Known ? RateIndexOf(AAC->InBuffer) : NoLayout;
    AAC->ChannelConfig = Known ? ChannelConfigOf(AAC->InBuffer) : NoLayout;
}

bool LayoutChanged(const AACDecodeInfoType* AAC)
{
    if (AAC->RateIndex == NoLayout || !StartsWithADTSHeader(AAC->InBuffer, AAC->InBufSz))
        return false;
    return RateIndexOf(AAC->InBuffer) != AAC->RateIndex || ChannelConfigOf(AAC->InBuffer) != AAC->ChannelConfig;
}

// The decoder keeps the rate of its initialisation whatever a later ADTS
// header says, so a frame of another rate or channel layout would play at
// the wrong pitch: a new decoder is initialised from that frame (its PCM is
// converted to the stream's layout on delivery). False when it cannot be.
bool RestartDecoder(AACDecodeInfoType* AAC, FILE* Fi)
{
    void* Fresh = Faad.Open();
    if (!Fresh)
        return false;
    unsigned long Rate = 0;
    unsigned char Channels = 0;
    long Used = ConfigureForADTS(Fresh) ? Faad.Init(Fresh, AAC->InBuffer, AAC->InBufSz, &Rate, &Channels) : -1;
    if (Used < 0 || static_cast<unsigned long>(Used) > AAC->InBufSz || Rate == 0 || Channels == 0) {
        Faad.Close(Fresh);
        return false;
    }
    Faad.Close(AAC->hDecoder);
    AAC->hDecoder = Fresh;
    NoteStreamLayout(AAC);
    if (AAC->Converter)
        ResetPcmLayoutConverter(AAC->Converter);
    PackInBuffer(AAC, static_cast<uint32_t>(Used), Fi);
    return true;
}

// Decodes from the window until a frame yields samples or the window is
// empty. False on a decoding error or a change of layout that no decoder
// takes.
bool DecodeADTSFrames(MPEGFileInfoType* Info, AACDecodeInfoType* AAC, faacDecFrameInfo* Frame, void** Pcm)
{
    while (Frame->samples == 0 && AAC->InBufSz != 0) {
        if (LayoutChanged(AAC) && !RestartDecoder(AAC, Info->Handle))
            return false;
        *Frame = {};
        *Pcm = Faad.Decode(AAC->hDecoder, Frame, AAC->InBuffer, AAC->InBufSz);
        if (Frame->error || Frame->bytesconsumed > AAC->InBufSz)
            return false;
        // Nothing consumed and nothing produced would repeat forever.
        if (Frame->bytesconsumed == 0 && Frame->samples == 0)
            return false;
        PackInBuffer(AAC, static_cast<uint32_t>(Frame->bytesconsumed), Info->Handle);
    }
    return true;
}

// Decodes whole samples of the track until one yields PCM or the track
// ends. False when a sample cannot be read or does not decode; the sample
// buffer is freed before either is reported, and only once.
bool DecodeMP4Frames(MPEGFileInfoType* Info, AACDecodeInfoType* AAC, faacDecFrameInfo* Frame, void** Pcm)
{
    if (!Mp4.ReadSample || !Mp4.Free)
        return false;
    while (Frame->samples == 0 && AAC->Sample < AAC->SampleCount) {
        uint8_t* Bytes = nullptr;
        uint32_t NumBytes = 0;
        if (!Mp4.ReadSample(MP4HandleOf(Info), AAC->TrackId, AAC->Sample + 1, &Bytes, &NumBytes, nullptr, nullptr,
                            nullptr, nullptr))
            return false;
        *Frame = {};
        if (Bytes && NumBytes != 0)
            *Pcm = Faad.Decode(AAC->hDecoder, Frame, Bytes, NumBytes);
        if (Bytes)
            Mp4.Free(Bytes);
        if (Frame->error)
            return false;
        AAC->Sample += 1;
    }
    return true;
}

// The first whole sample frames of Bytes that fit into OutBuf.
uint32_t CopyWholeFrames(const void* Pcm, uint64_t Bytes, uint32_t FrameBytes, void* OutBuf, uint32_t OutBufSz)
{
    uint32_t Fit = static_cast<uint32_t>(std::min<uint64_t>(Bytes, OutBufSz / FrameBytes * FrameBytes));
    memcpy(OutBuf, Pcm, Fit);
    return Fit;
}

bool ReserveConverted(AACDecodeInfoType* AAC, uint32_t Frames, uint16_t Channels)
{
    if (Frames <= AAC->ConvertedFrames)
        return true;
    delete[] AAC->Converted;
    AAC->Converted = new (std::nothrow) int16_t[static_cast<size_t>(Frames) * Channels];
    AAC->ConvertedFrames = AAC->Converted ? Frames : 0;
    return AAC->Converted != nullptr;
}

// A frame of another rate or channel count, converted to the record's
// layout; *Delivered may be 0 while the resampler fills. False when no
// converter serves the two layouts (more than two channels).
bool ConvertFrame(const MPEGFileInfoType* Info, AACDecodeInfoType* AAC, const faacDecFrameInfo& Frame,
                  const void* Pcm, void* OutBuf, uint32_t OutBufSz, uint32_t* Delivered)
{
    if (Frame.samplerate == 0 || Frame.samplerate > UINT32_MAX || Frame.channels > MaxConvertedChannels)
        return false;
    if (!AAC->Converter)
        AAC->Converter = NewPcmLayoutConverter(Info->SampleRate, Info->Channels);
    if (!AAC->Converter)
        return false;
    uint32_t InFrames = static_cast<uint32_t>(Frame.samples / Frame.channels);
    uint32_t InRate = static_cast<uint32_t>(Frame.samplerate);
    if (!ReserveConverted(AAC, PcmLayoutMaxFrames(AAC->Converter, InFrames, InRate), Info->Channels))
        return false;
    uint32_t Frames = ConvertPcmLayout(AAC->Converter, static_cast<const int16_t*>(Pcm), InFrames, InRate,
                                       Frame.channels, AAC->Converted, AAC->ConvertedFrames);
    uint32_t FrameBytes = Info->Channels * OutBytesPerSample;
    *Delivered = CopyWholeFrames(AAC->Converted, uint64_t{Frames} * FrameBytes, FrameBytes, OutBuf, OutBufSz);
    return true;
}

// The frame's PCM, as far as whole sample frames fit into OutBuf; a frame
// larger than the buffer is cut there. A frame the decoder describes
// impossibly is a decoding error (false); one of another rate or channel
// count than the record's is converted to the record's layout.
bool DeliverFrame(const MPEGFileInfoType* Info, AACDecodeInfoType* AAC, const faacDecFrameInfo& Frame,
                  const void* Pcm, void* OutBuf, uint32_t OutBufSz, uint32_t* Delivered)
{
    *Delivered = 0;
    if (Frame.samples == 0 || !Pcm || Frame.channels == 0)
        return false;
    if (Frame.samples % Frame.channels != 0 || Frame.samples > MaxFrameSamplesPerChannel * Frame.channels)
        return false;
    if (Frame.channels != Info->Channels || Frame.samplerate != Info->SampleRate)
        return ConvertFrame(Info, AAC, Frame, Pcm, OutBuf, OutBufSz, Delivered);
    uint32_t FrameBytes = Frame.channels * OutBytesPerSample;
    *Delivered = CopyWholeFrames(Pcm, uint64_t{Frame.samples} * OutBytesPerSample, FrameBytes, OutBuf, OutBufSz);
    return true;
}

// The track's configuration parsed and the decoder initialised from it.
bool InitFromConfiguration(void* hDecoder, uint8_t* Config, uint32_t Size, unsigned long* Rate,
                           unsigned char* Channels)
{
    mp4AudioSpecificConfig Parsed{};
    if (Failed(Faad.AudioSpecificConfig(Config, Size, &Parsed)))
        return false;
    return !Failed(Faad.Init2(hDecoder, Config, Size, Rate, Channels)) && *Rate != 0 && *Rate <= UINT32_MAX &&
           *Channels != 0;
}

// The first audio track that carries a configuration decides: its
// identifier when the decoder takes it, else MP4_INVALID_TRACK_ID; later
// tracks are not tried.
MP4TrackId ChooseAudioTrack(MP4FileHandle File, void* hDecoder, unsigned long* Rate, unsigned char* Channels)
{
    uint32_t Tracks = std::min(Mp4.GetNumberOfTracks(File, nullptr, 0), MaxTrackIndex + 1);
    for (uint32_t Index = 0; Index < Tracks; ++Index) {
        MP4TrackId Id = Mp4.FindTrackId(File, static_cast<uint16_t>(Index), nullptr, 0);
        const char* Type = Mp4.GetTrackType(File, Id);
        if (!Type || strcmp(Type, AudioTrackType) != 0)
            continue;
        uint8_t* Config = nullptr;
        uint32_t Size = 0;
        Mp4.GetTrackESConfiguration(File, Id, &Config, &Size);
        if (!Config)
            continue;
        if (Size == 0) {
            Mp4.Free(Config);
            continue;
        }
        bool Usable = InitFromConfiguration(hDecoder, Config, Size, Rate, Channels);
        Mp4.Free(Config);
        return Usable ? Id : MP4_INVALID_TRACK_ID;
    }
    return MP4_INVALID_TRACK_ID;
}

// Whole seconds, the low 32 bits; 0 when the module gives no duration.
uint32_t TrackSeconds(MP4FileHandle File, MP4TrackId Track)
{
    MP4Duration Duration = 0;
    if (!Mp4.GetTrackDurationEx(File, Track, &Duration) || !Mp4.ConvertFromTrackDurationEx(File, Track, &Duration, 1))
        return 0;
    return static_cast<uint32_t>(Duration);
}

// The track's length in sample frames at the delivered rate (which differs
// from the track's time scale where the decoder upsamples); 0 when unknown.
uint64_t TrackSamples(MP4FileHandle File, MP4TrackId Track, uint32_t Rate)
{
    MP4Duration Duration = 0;
    if (!Mp4.GetTrackDurationEx(File, Track, &Duration) ||
        !Mp4.ConvertFromTrackDurationEx(File, Track, &Duration, Rate))
        return 0;
    return Duration;
}

void FillMP4Record(MPEGFileInfoType* Info, MP4FileHandle File, MP4TrackId Track, unsigned long Rate,
                   unsigned char Channels)
{
    Info->Handle = reinterpret_cast<FILE*>(File);
    Info->SampleRate = static_cast<uint32_t>(Rate);
    Info->Channels = Channels;
    Info->BytesPerSample = OutBytesPerSample;
    Info->TrackLength = TrackSeconds(File, Track);
    Info->TotalSamples = TrackSamples(File, Track, Info->SampleRate);
    uint32_t BitRate = Mp4.GetTrackBitRate(File, Track);
    Info->BitRate = static_cast<int>(std::min<uint32_t>(BitRate, INT_MAX));
    Info->VBRFlag = BitRate == 0 ? 1 : 0;
}

} // namespace

bool ResolveFaadEntryPoints(SymbolLookup Lookup, void* Library, FaadEntryPoints* Out)
{
    const char* const* Names = FaadFamilies[Lookup(Library, FaadFamilies[0][0]) ? 0 : 1];
    *Out = {};
    Bind(&Out->Open, Lookup, Library, Names[0]);
    Bind(&Out->GetCurrentConfiguration, Lookup, Library, Names[1]);
    Bind(&Out->SetConfiguration, Lookup, Library, Names[2]);
    Bind(&Out->Init, Lookup, Library, Names[3]);
    Bind(&Out->Decode, Lookup, Library, Names[4]);
    Bind(&Out->Close, Lookup, Library, Names[5]);
    Bind(&Out->AudioSpecificConfig, Lookup, Library, Names[6]);
    Bind(&Out->Init2, Lookup, Library, Names[7]);
    return FaadComplete(*Out);
}

bool ResolveMP4EntryPoints(SymbolLookup Lookup, void* Library, MP4EntryPoints* Out)
{
    *Out = {};
    Bind(&Out->Read, Lookup, Library, "MP4Read");
    Bind(&Out->GetNumberOfTracks, Lookup, Library, "MP4GetNumberOfTracks");
    Bind(&Out->FindTrackId, Lookup, Library, "MP4FindTrackId");
    Bind(&Out->GetTrackType, Lookup, Library, "MP4GetTrackType");
    Bind(&Out->GetTrackESConfiguration, Lookup, Library, "MP4GetTrackESConfiguration");
    Bind(&Out->Free, Lookup, Library, "rtlFree");
    Bind(&Out->GetTrackDurationEx, Lookup, Library, "MP4GetTrackDurationEx");
    Bind(&Out->ConvertFromTrackDurationEx, Lookup, Library, "MP4ConvertFromTrackDurationEx");
    Bind(&Out->GetTrackBitRate, Lookup, Library, "MP4GetTrackBitRate");
    Bind(&Out->GetTrackNumberOfSamples, Lookup, Library, "MP4GetTrackNumberOfSamples");
    Bind(&Out->ReadSample, Lookup, Library, "MP4ReadSample");
    Bind(&Out->GetSampleIdFromMsTime, Lookup, Library, "MP4GetSampleIdFromMsTime");
    Bind(&Out->Close, Lookup, Library, "MP4Close");
    return MP4Complete(*Out);
}

FaadEntryPoints* FaadEntryPointsForTesting(void) { return &Faad; }

MP4EntryPoints* MP4EntryPointsForTesting(void) { return &Mp4; }

// Without a complete decoder library nothing is available. A module that
// lacks an entry point MP4 files need is unloaded: raw AAC still plays.
int GetAACSupport(void)
{
    if (hDLL)
        return 1;
    hDLL = LoadSupportLibrary("faad", FaadNames);
    if (!hDLL)
        return 0;
    if (!ResolveFaadEntryPoints(GetSupportSymbol, hDLL, &Faad)) {
        CloseAACSupport();
        return 0;
    }
    hMp4DLL = LoadModuleBesideLibrary("mp4", MP4ModuleName);
    if (hMp4DLL && !ResolveMP4EntryPoints(GetSupportSymbol, hMp4DLL, &Mp4)) {
        FreeSupportLibrary(hMp4DLL);
        hMp4DLL = nullptr;
        Mp4 = {};
    }
    return 1;
}

void CloseAACSupport(void)
{
    FreeSupportLibrary(hDLL);
    hDLL = nullptr;
    Faad = {};
    FreeSupportLibrary(hMp4DLL);
    hMp4DLL = nullptr;
    Mp4 = {};
}

int OpenAACDecoder(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle || !FaadReady())
        return 0;
    AACDecodeInfoType* AAC = new (std::nothrow) AACDecodeInfoType{};
    if (!AAC)
        return 0;
    AAC->hDecoder = Faad.Open();
    AAC->InBuffer = new (std::nothrow) uint8_t[AACInBufferSz]();
    if (!AAC->hDecoder || !AAC->InBuffer || !ConfigureForADTS(AAC->hDecoder)) {
        ReleaseDecodeInfo(AAC);
        return 0;
    }
    AAC->InBufSz = static_cast<uint32_t>(fread(AAC->InBuffer, 1, AACInBufferSz, MPEGFileInfo->Handle));
    NoteStreamLayout(AAC);
    unsigned long Rate = 0;
    unsigned char Channels = 0;
    // Only the bytes read: a short file leaves the rest of the window empty.
    long Used = Faad.Init(AAC->hDecoder, AAC->InBuffer, AAC->InBufSz, &Rate, &Channels);
    MPEGFileInfo->DecoderPriv = reinterpret_cast<uintptr_t>(AAC);
    if (Used < 0 || static_cast<unsigned long>(Used) > AAC->InBufSz || Rate == 0 || Rate > UINT32_MAX ||
        Channels == 0) {
        CloseAACDecoder(MPEGFileInfo);
        return 0;
    }
    MPEGFileInfo->SampleRate = static_cast<uint32_t>(Rate);
    MPEGFileInfo->Channels = Channels;
    PackInBuffer(AAC, static_cast<uint32_t>(Used), MPEGFileInfo->Handle);
    return 1;
}

void CloseAACDecoder(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    ReleaseDecodeInfo(DecodeInfoOf(MPEGFileInfo));
    MPEGFileInfo->DecoderPriv = 0;
}

// Moves the valid bytes after Used to the start and refills behind them, so
// that each call reads only what the decoder consumed.
void PackInBuffer(AACDecodeInfoType* AACInfo, uint32_t Used, FILE* Fi)
{
    if (!AACInfo || !AACInfo->InBuffer || Used == 0)
        return;
    Used = std::min(Used, AACInfo->InBufSz);
    AACInfo->InBufSz -= Used;
    memmove(AACInfo->InBuffer, AACInfo->InBuffer + Used, AACInfo->InBufSz);
    if (Fi)
        AACInfo->InBufSz += static_cast<uint32_t>(
            fread(AACInfo->InBuffer + AACInfo->InBufSz, 1, AACInBufferSz - AACInfo->InBufSz, Fi));
}

// Frames that yield no samples (the decoder's start-up delay) are decoded
// through. A fault inside the decoder library is not contained: a library
// installs no signal handlers in its host.
uint32_t DecodeAACSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t OutBufSz)
{
    if (!MPEGFileInfo || !OutBuf || !MPEGFileInfo->DecoderPriv || !FaadReady())
        return 0;
    AACDecodeInfoType* AAC = DecodeInfoOf(MPEGFileInfo);
    if (OutBufSz < uint32_t{MPEGFileInfo->Channels} * OutBytesPerSample)
        return 0; // not one sample frame fits
    // Every pass consumes input, so the loop ends; it repeats only while a
    // converted frame yields nothing yet.
    for (;;) {
        faacDecFrameInfo Frame{};
        void* Pcm = nullptr;
        bool Decoded = AAC->InBuffer ? DecodeADTSFrames(MPEGFileInfo, AAC, &Frame, &Pcm)
                                     : DecodeMP4Frames(MPEGFileInfo, AAC, &Frame, &Pcm);
        uint32_t Delivered = 0;
        if (!Decoded || !DeliverFrame(MPEGFileInfo, AAC, Frame, Pcm, OutBuf, OutBufSz, &Delivered))
            return 0;
        if (Delivered != 0)
            return Delivered;
    }
}

void PostSeekAACBufferReload(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo || !MPEGFileInfo->DecoderPriv || !MPEGFileInfo->Handle)
        return;
    AACDecodeInfoType* AAC = DecodeInfoOf(MPEGFileInfo);
    if (!AAC->InBuffer)
        return;
    AAC->InBufSz = static_cast<uint32_t>(fread(AAC->InBuffer, 1, AACInBufferSz, MPEGFileInfo->Handle));
    if (AAC->Converter)
        ResetPcmLayoutConverter(AAC->Converter);
}

// The MP4 path keeps the decoder's default configuration: 16-bit PCM.
MPEGFileInfoType* PrepareAAC_MP4File(const char* Pathname)
{
    if (!Pathname || !MP4Ready() || !IsRegularFile(Pathname))
        return nullptr;
    void* hDecoder = Faad.Open();
    if (!hDecoder)
        return nullptr;
    MP4FileHandle File = Mp4.Read(Pathname, 0);
    if (!File) {
        Faad.Close(hDecoder);
        return nullptr;
    }
    unsigned long Rate = 0;
    unsigned char Channels = 0;
    MP4TrackId Track = ChooseAudioTrack(File, hDecoder, &Rate, &Channels);
    MPEGFileInfoType* Info = Track != MP4_INVALID_TRACK_ID ? NewFileInfo() : nullptr;
    AACDecodeInfoType* AAC = Info ? new (std::nothrow) AACDecodeInfoType{} : nullptr;
    if (!AAC) {
        FreeFileInfo(Info);
        Mp4.Close(File);
        Faad.Close(hDecoder);
        return nullptr;
    }
    FillMP4Record(Info, File, Track, Rate, Channels);
    AAC->hDecoder = hDecoder;
    AAC->SampleCount = Mp4.GetTrackNumberOfSamples(File, Track);
    AAC->TrackId = Track;
    Info->DecoderPriv = reinterpret_cast<uintptr_t>(AAC);
    return Info;
}

void UnPrepareAAC_MP4File(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    ReleaseDecodeInfo(DecodeInfoOf(MPEGFileInfo));
    if (MPEGFileInfo->Handle && Mp4.Close)
        Mp4.Close(MP4HandleOf(MPEGFileInfo));
    FreeFileInfo(MPEGFileInfo);
}

// The module's lookup when it has one; otherwise the proportional sample of
// the track's length in milliseconds. A track of unknown length seeks to its
// start. A target past the end leaves nothing to read.
void SeekAAC_MP4File(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !MPEGFileInfo->DecoderPriv)
        return;
    AACDecodeInfoType* AAC = DecodeInfoOf(MPEGFileInfo);
    if (AAC->Converter)
        ResetPcmLayoutConverter(AAC->Converter);
    if (Mp4.GetSampleIdFromMsTime) {
        MP4SampleId Id = Mp4.GetSampleIdFromMsTime(MP4HandleOf(MPEGFileInfo), AAC->TrackId, MsOffset, false);
        AAC->Sample = std::min(Id, AAC->SampleCount);
        return;
    }
    uint32_t TrackMs = TrackMilliseconds(MPEGFileInfo);
    if (TrackMs == 0) {
        AAC->Sample = 0;
        return;
    }
    double Ratio = static_cast<double>(MsOffset) / TrackMs;
    double Target = AAC->SampleCount * Ratio;
    AAC->Sample = Target >= AAC->SampleCount ? AAC->SampleCount : static_cast<uint32_t>(Target);
}
