// AAC decoder core: FAAD2's records and name families, ADTS PCM against the
// faad tool, the window, bounded output, frames that change the stream's
// layout (converted to the first frame's), decoder failures, and the MP4 path over a fake module serving the
// frames of an ADTS file (track choice, refusal, seeks, failed reads), then
// the real module when it is there, and the corpus.
#include "aac_core.h"
#include "adts_aac.h"

#include "core/input.h"
#include "support/aac_fixtures.h"
#include "support/host.h"
#include "support/sound.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

// FAAD2's own header, for its record layouts only; its names for the first
// family are macros that would rename this file's uses.
namespace ref {
#include <neaacdec.h>
}
#undef faacDecConfiguration
#undef faacDecFrameInfo
#undef AudioSpecificConfig

namespace {

using zebtest::FaadPcm;
using zebtest::FixturePath;
using zebtest::MakeAac;
using zebtest::HaveTool;
using zebtest::ReadFile;
using zebtest::Run;
using zebtest::WriteFile;

using Bytes = std::vector<uint8_t>;

constexpr size_t MaxSections = 200000;

#define SAME_LAYOUT(Ours, Theirs, Member) \
    static_assert(offsetof(Ours, Member) == offsetof(ref::Theirs, Member), #Member)
static_assert(sizeof(faacDecConfiguration) == sizeof(ref::NeAACDecConfiguration));
SAME_LAYOUT(faacDecConfiguration, NeAACDecConfiguration, defSampleRate);
SAME_LAYOUT(faacDecConfiguration, NeAACDecConfiguration, outputFormat);
static_assert(sizeof(faacDecFrameInfo) == sizeof(ref::NeAACDecFrameInfo));
SAME_LAYOUT(faacDecFrameInfo, NeAACDecFrameInfo, samples);
SAME_LAYOUT(faacDecFrameInfo, NeAACDecFrameInfo, error);
SAME_LAYOUT(faacDecFrameInfo, NeAACDecFrameInfo, samplerate);
SAME_LAYOUT(faacDecFrameInfo, NeAACDecFrameInfo, ps);
static_assert(sizeof(mp4AudioSpecificConfig) == sizeof(ref::mp4AudioSpecificConfig));
SAME_LAYOUT(mp4AudioSpecificConfig, mp4AudioSpecificConfig, downSampledSBR);

// ---- Fixtures ----

// The frames of an ADTS file, headers (and CRC) removed.
std::vector<Bytes> RawFrames(const Bytes& Adts)
{
    std::vector<Bytes> Frames;
    size_t At = 0;
    while (At + 7 <= Adts.size() && Adts[At] == 0xFF && (Adts[At + 1] & 0xF0) == 0xF0) {
        size_t Len = (Adts[At + 3] & 3u) << 11 | Adts[At + 4] << 3 | Adts[At + 5] >> 5;
        size_t Header = (Adts[At + 1] & 1) ? 7 : 9;
        if (Len < Header || At + Len > Adts.size())
            break;
        Frames.emplace_back(Adts.begin() + At + Header, Adts.begin() + At + Len);
        At += Len;
    }
    return Frames;
}

// The two-byte AudioSpecificConfig the first ADTS header describes.
Bytes ConfigOf(const Bytes& Adts)
{
    unsigned ObjectType = (Adts[2] >> 6) + 1, RateIndex = (Adts[2] >> 2) & 15;
    unsigned Channels = (Adts[2] & 1) << 2 | Adts[3] >> 6;
    unsigned Word = ObjectType << 11 | RateIndex << 7 | Channels << 3;
    return {static_cast<uint8_t>(Word >> 8), static_cast<uint8_t>(Word)};
}

// An ADTS record as the ADTS engine leaves it: the stream on the first frame.
struct AdtsFile {
    MPEGFileInfoType* Info = nullptr;
    explicit AdtsFile(const std::string& Path, long Offset = 0)
    {
        Info = NewFileInfo();
        Info->Handle = fopen(Path.c_str(), "rb");
        if (Info->Handle)
            fseek(Info->Handle, Offset, SEEK_SET);
    }
    ~AdtsFile()
    {
        CloseAACDecoder(Info);
        if (Info->Handle)
            fclose(Info->Handle);
        FreeFileInfo(Info);
    }
};

// Every section until 0, each into a buffer of exactly BufSz bytes.
Bytes DecodeAll(MPEGFileInfoType* Info, uint32_t BufSz = OutBufSz, std::vector<uint32_t>* Sizes = nullptr)
{
    Bytes All, Out(BufSz);
    for (size_t i = 0; i < MaxSections; ++i) {
        uint32_t Got = DecodeAACSection(Info, Out.data(), BufSz);
        if (Got == 0)
            break;
        EXPECT_LE(Got, BufSz);
        if (Sizes)
            Sizes->push_back(Got);
        All.insert(All.end(), Out.begin(), Out.begin() + std::min(Got, BufSz));
    }
    return All;
}

Bytes Prefix(const Bytes& B, size_t N) { return Bytes(B.begin(), B.begin() + std::min(N, B.size())); }

// ---- Counting wrappers around the real decoder library ----

FaadEntryPoints RealFaad{};
int Opens = 0, Closes = 0, Decodes = 0;
bool FailInit = false;
bool FailDecodeAt3 = false;
unsigned long ForcedSamples = 0; // when set, every frame claims this many samples
unsigned char ForcedChannels = 0;
unsigned long ForcedRate = 0;

void* CountedOpen() { ++Opens; return RealFaad.Open(); }
void CountedClose(void* H) { ++Closes; RealFaad.Close(H); }
long FailingInit(void*, unsigned char*, unsigned long, unsigned long*, unsigned char*) { return -1; }
void* CountedDecode(void* H, faacDecFrameInfo* Info, unsigned char* Buffer, unsigned long Size)
{
    ++Decodes;
    void* Pcm = RealFaad.Decode(H, Info, Buffer, Size);
    if (FailDecodeAt3 && Decodes == 3)
        Info->error = 1;
    if (ForcedSamples && Info->samples)
        Info->samples = ForcedSamples;
    if (ForcedChannels && Info->samples)
        Info->channels = ForcedChannels;
    if (ForcedRate && Info->samples)
        Info->samplerate = ForcedRate;
    return Pcm;
}

// ---- A fake MP4 module serving the frames of ADTS files as tracks ----

struct FakeTrack {
    std::string Type = "soun";
    bool HasConfig = true;
    Bytes Config;
    std::vector<Bytes> Samples;
    uint32_t BitRate = 96000;
    uint64_t Seconds = 0;
};

struct FakeModule {
    std::vector<FakeTrack> Tracks;
    int Live = 0;          // module buffers not yet freed
    int ConfigCalls = 0;
    int Opened = 0;
    uint32_t FailReadAt = 0; // sample identifier whose read fails
    std::vector<uint64_t> LookedUp;
} Fake;

const FakeTrack* TrackOf(MP4TrackId Id) { return Id >= 1 && Id <= Fake.Tracks.size() ? &Fake.Tracks[Id - 1] : nullptr; }

uint8_t* ModuleCopy(const Bytes& B)
{
    ++Fake.Live;
    uint8_t* P = static_cast<uint8_t*>(malloc(std::max<size_t>(B.size(), 1)));
    memcpy(P, B.data(), B.size());
    return P;
}

MP4FileHandle FakeRead(const char*, uint32_t) { ++Fake.Opened; return &Fake; }
uint32_t FakeTracks(MP4FileHandle, const char*, uint8_t) { return static_cast<uint32_t>(Fake.Tracks.size()); }
MP4TrackId FakeFind(MP4FileHandle, uint16_t Index, const char*, uint8_t) { return Index + 1u; }
const char* FakeType(MP4FileHandle, MP4TrackId Id) { return TrackOf(Id) ? TrackOf(Id)->Type.c_str() : nullptr; }
bool FakeConfig(MP4FileHandle, MP4TrackId Id, uint8_t** Config, uint32_t* Size)
{
    ++Fake.ConfigCalls;
    const FakeTrack* T = TrackOf(Id);
    *Config = T && T->HasConfig ? ModuleCopy(T->Config) : nullptr;
    *Size = *Config ? static_cast<uint32_t>(T->Config.size()) : 0;
    return *Config != nullptr;
}
void FakeFree(void* P) { --Fake.Live; free(P); }
bool FakeDuration(MP4FileHandle, MP4TrackId Id, MP4Duration* D) { *D = TrackOf(Id)->Seconds * 1000; return true; }
bool FakeConvert(MP4FileHandle, MP4TrackId, MP4Duration* D, uint32_t Scale) { *D = *D * Scale / 1000; return true; }
uint32_t FakeBitRate(MP4FileHandle, MP4TrackId Id) { return TrackOf(Id)->BitRate; }
uint32_t FakeCount(MP4FileHandle, MP4TrackId Id) { return static_cast<uint32_t>(TrackOf(Id)->Samples.size()); }
bool FakeSample(MP4FileHandle, MP4TrackId Id, MP4SampleId S, uint8_t** B, uint32_t* N, MP4Timestamp*, MP4Duration*,
                MP4Duration*, bool*)
{
    const FakeTrack* T = TrackOf(Id);
    if (*B != nullptr || *N != 0 || !T || S == 0 || S > T->Samples.size() || S == Fake.FailReadAt)
        return false;
    *B = ModuleCopy(T->Samples[S - 1]);
    *N = static_cast<uint32_t>(T->Samples[S - 1].size());
    return true;
}
MP4SampleId FakeLookup(MP4FileHandle, MP4TrackId, uint64_t Ms, bool) { Fake.LookedUp.push_back(Ms); return 7; }
void FakeClose(MP4FileHandle) { --Fake.Opened; }

const MP4EntryPoints FakeTable = {FakeRead,   FakeTracks,   FakeFind,   FakeType,    FakeConfig,
                                  FakeFree,   FakeDuration, FakeConvert, FakeBitRate, FakeCount,
                                  FakeSample, FakeLookup,   FakeClose};

FakeTrack TrackFrom(const std::string& Adts)
{
    Bytes File = ReadFile(Adts);
    FakeTrack T;
    T.Config = ConfigOf(File);
    T.Samples = RawFrames(File);
    T.Seconds = 2;
    return T;
}

class AacCore : public testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("ffmpeg") || !HaveTool("faad"))
            GTEST_SKIP() << "ffmpeg or faad not available";
        ASSERT_EQ(GetAACSupport(), 1) << "libfaad.so.2 not loadable";
        SavedFaad = *FaadEntryPointsForTesting();
        SavedMp4 = *MP4EntryPointsForTesting();
        RealFaad = SavedFaad;
        Opens = Closes = Decodes = 0;
        FailInit = FailDecodeAt3 = false;
        ForcedSamples = ForcedRate = 0;
        ForcedChannels = 0;
        Fake = FakeModule{};
    }
    void TearDown() override
    {
        *FaadEntryPointsForTesting() = SavedFaad;
        *MP4EntryPointsForTesting() = SavedMp4;
    }
    void CountDecoder()
    {
        FaadEntryPoints* F = FaadEntryPointsForTesting();
        F->Open = CountedOpen;
        F->Close = CountedClose;
        F->Decode = CountedDecode;
    }
    void UseFakeModule() { *MP4EntryPointsForTesting() = FakeTable; }
    FaadEntryPoints SavedFaad{};
    MP4EntryPoints SavedMp4{};
};

struct Unprepare {
    void operator()(MPEGFileInfoType* Info) const { UnPrepareAAC_MP4File(Info); }
};
using Prepared = std::unique_ptr<MPEGFileInfoType, Unprepare>;
Prepared PrepareMp4(const std::string& Path) { return Prepared(PrepareAAC_MP4File(Path.c_str())); }

// ---- Loading ----

void* NamedIn(void* Table, const char* Name)
{
    auto* Names = static_cast<std::map<std::string, void*>*>(Table);
    auto Found = Names->find(Name);
    return Found == Names->end() ? nullptr : Found->second;
}

std::map<std::string, void*> Family(const char* const (&Names)[8], int Base)
{
    std::map<std::string, void*> Table;
    for (int i = 0; i < 8; ++i)
        Table[Names[i]] = reinterpret_cast<void*>(static_cast<uintptr_t>(Base + i));
    return Table;
}

const char* const First[8] = {"faacDecOpen", "faacDecGetCurrentConfiguration", "faacDecSetConfiguration",
                              "faacDecInit", "faacDecDecode", "faacDecClose", "AudioSpecificConfig", "faacDecInit2"};
const char* const Second[8] = {"NeAACDecOpen", "NeAACDecGetCurrentConfiguration", "NeAACDecSetConfiguration",
                               "NeAACDecInit", "NeAACDecDecode", "NeAACDecClose", "NeAACDecAudioSpecificConfig",
                               "NeAACDecInit2"};

TEST(AacCoreLoading, OneNameFamilyIsResolvedWholeAndNeverMixed)
{
    FaadEntryPoints Out{};
    auto OnlySecond = Family(Second, 0x100);
    ASSERT_TRUE(ResolveFaadEntryPoints(NamedIn, &OnlySecond, &Out));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Out.Open), 0x100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Out.Init2), 0x107u);

    auto Both = Family(Second, 0x100);
    Both.merge(Family(First, 0x200));
    ASSERT_TRUE(ResolveFaadEntryPoints(NamedIn, &Both, &Out));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Out.Decode), 0x204u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(Out.AudioSpecificConfig), 0x206u);

    // The first family's open with the rest only under the second names.
    auto Mixed = Family(Second, 0x100);
    Mixed["faacDecOpen"] = reinterpret_cast<void*>(0x200);
    EXPECT_FALSE(ResolveFaadEntryPoints(NamedIn, &Mixed, &Out));
    EXPECT_EQ(Out.Decode, nullptr);

    auto NoInit2 = Family(Second, 0x100);
    NoInit2.erase("NeAACDecInit2");
    EXPECT_TRUE(ResolveFaadEntryPoints(NamedIn, &NoInit2, &Out));
    EXPECT_EQ(Out.Init2, nullptr);
    auto NoParser = Family(Second, 0x100);
    NoParser.erase("NeAACDecAudioSpecificConfig");
    EXPECT_FALSE(ResolveFaadEntryPoints(NamedIn, &NoParser, &Out));
}

TEST(AacCoreLoading, TheModuleNeedsEveryEntryPointButTheLookupByTime)
{
    const char* const Names[] = {"MP4Read", "MP4GetNumberOfTracks", "MP4FindTrackId", "MP4GetTrackType",
                                 "MP4GetTrackESConfiguration", "rtlFree", "MP4GetTrackDurationEx",
                                 "MP4ConvertFromTrackDurationEx", "MP4GetTrackBitRate", "MP4GetTrackNumberOfSamples",
                                 "MP4ReadSample", "MP4GetSampleIdFromMsTime", "MP4Close"};
    std::map<std::string, void*> Table;
    for (const char* Name : Names)
        Table[Name] = reinterpret_cast<void*>(0x10);
    MP4EntryPoints Out{};
    EXPECT_TRUE(ResolveMP4EntryPoints(NamedIn, &Table, &Out));
    Table.erase("MP4GetSampleIdFromMsTime");
    EXPECT_TRUE(ResolveMP4EntryPoints(NamedIn, &Table, &Out));
    EXPECT_EQ(Out.GetSampleIdFromMsTime, nullptr);
    Table.erase("rtlFree");
    EXPECT_FALSE(ResolveMP4EntryPoints(NamedIn, &Table, &Out));
}

// ---- ADTS ----

TEST_F(AacCore, AdtsPcmEqualsTheFaadToolAtEachRateAndLayout)
{
    struct Case { const char* Name; uint32_t Rate; int Channels; uint32_t OutRate; };
    // FAAD2 doubles low rates and plays mono as two channels (implicit SBR
    // and parametric stereo signalling); the record follows the decoder.
    for (Case C : {Case{"aac_s44.aac", 44100, 2, 44100}, Case{"aac_s48.aac", 48000, 2, 48000},
                   Case{"aac_m22.aac", 22050, 1, 44100}}) {
        SCOPED_TRACE(C.Name);
        std::string Path = MakeAac(C.Name, C.Rate, C.Channels, 2.5);
        AdtsFile F(Path);
        ASSERT_EQ(OpenAACDecoder(F.Info), 1);
        EXPECT_EQ(F.Info->SampleRate, C.OutRate);
        EXPECT_EQ(F.Info->Channels, 2);
        std::vector<uint32_t> Sizes;
        Bytes Pcm = DecodeAll(F.Info, OutBufSz, &Sizes);
        Bytes Reference = FaadPcm(Path);
        ASSERT_GT(Reference.size(), 0u);
        EXPECT_TRUE(Pcm == Reference) << Pcm.size() << " vs " << Reference.size();
        for (uint32_t Size : Sizes)
            EXPECT_EQ(Size, C.OutRate == C.Rate ? 4096u : 8192u); // one frame per call
        Bytes Out(OutBufSz);
        EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
        EXPECT_EQ(reinterpret_cast<AACDecodeInfoType*>(F.Info->DecoderPriv)->InBufSz, 0u); // drained
    }
}

TEST_F(AacCore, TheFirstCallReturnsPcmThoughTheFirstFrameYieldsNone)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    CountDecoder();
    AdtsFile F(Path);
    ASSERT_EQ(OpenAACDecoder(F.Info), 1);
    Bytes Out(OutBufSz);
    EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 4096u);
    EXPECT_EQ(Decodes, 2);
}

TEST_F(AacCore, SmallBuffersGetWholeSampleFramesAndAreNeverOverrun)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    Bytes Reference = FaadPcm(Path);
    for (uint32_t BufSz : {4u, 1001u, 4095u}) {
        SCOPED_TRACE(BufSz);
        AdtsFile F(Path);
        ASSERT_EQ(OpenAACDecoder(F.Info), 1);
        std::vector<uint32_t> Sizes;
        Bytes Pcm = DecodeAll(F.Info, BufSz, &Sizes);
        ASSERT_FALSE(Sizes.empty());
        EXPECT_EQ(Sizes[0], BufSz / 4 * 4);
        EXPECT_EQ(Sizes.size(), Reference.size() / 4096); // each frame cut, none lost
        EXPECT_EQ(Prefix(Pcm, Sizes[0]), Prefix(Reference, Sizes[0]));
    }
    AdtsFile F(Path);
    ASSERT_EQ(OpenAACDecoder(F.Info), 1);
    uint8_t Tiny[3];
    EXPECT_EQ(DecodeAACSection(F.Info, Tiny, sizeof Tiny), 0u); // not one sample frame fits
}

TEST_F(AacCore, AnIdTagOrStrayBytesAheadAreTheAdtsEnginesToSkip)
{
    // The decoder starts where the stream stands: after 300 stray bytes at
    // the first frame, the PCM is the clean file's.
    std::string Clean = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    std::string Stray = FixturePath("aac_core_stray.aac");
    Bytes Junk(300, 0xA5);
    Bytes File = ReadFile(Clean);
    Junk.insert(Junk.end(), File.begin(), File.end());
    WriteFile(Stray, Junk);
    AdtsFile F(Stray, 300);
    ASSERT_EQ(OpenAACDecoder(F.Info), 1);
    EXPECT_EQ(DecodeAll(F.Info), FaadPcm(Clean));
}

// A stream whose later frames change rate or channel layout plays on: the
// later part is decoded by a decoder started on its own layout and converted
// to the first part's, at its own pitch, with about its own length.
TEST_F(AacCore, ALaterPartOfAnotherLayoutPlaysInTheStreamsLayout)
{
    std::string S44 = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    std::string M22 = MakeAac("aac_m22.aac", 22050, 1, 2.5);
    std::string S48 = MakeAac("aac_s48.aac", 48000, 2, 2.5);
    struct Case { std::string Second; uint32_t SecondOutRate; double SecondRightHz; };
    for (const Case& C : {Case{M22, 44100, 440.0}, Case{S48, 48000, 660.0}}) {
        SCOPED_TRACE(C.Second);
        std::string Joined = FixturePath("aac_core_joined.aac");
        Bytes A = ReadFile(S44), B = ReadFile(C.Second);
        A.insert(A.end(), B.begin(), B.end());
        WriteFile(Joined, A);
        AdtsFile F(Joined);
        ASSERT_EQ(OpenAACDecoder(F.Info), 1);
        ASSERT_EQ(F.Info->SampleRate, 44100u);
        Bytes Pcm = DecodeAll(F.Info);
        Bytes FirstPart = FaadPcm(S44);
        ASSERT_GT(Pcm.size(), FirstPart.size());
        EXPECT_EQ(Prefix(Pcm, FirstPart.size()), FirstPart);
        // The second decoder's first frame yields nothing, as the first's did.
        double SecondBytes = static_cast<double>(FaadPcm(C.Second).size()) * 44100 / C.SecondOutRate;
        EXPECT_NEAR(static_cast<double>(Pcm.size() - FirstPart.size()), SecondBytes, 2 * 4096.0);
        std::vector<int16_t> Second(Pcm.size() / 2 - FirstPart.size() / 2);
        memcpy(Second.data(), Pcm.data() + FirstPart.size(), Second.size() * 2);
        // Past the decoder's start and the resampler's fill: the tone of the
        // second part's right channel at its own pitch.
        std::vector<int16_t> Right = zebtest::Channel(Second, 2, 1);
        std::vector<int16_t> Steady(Right.begin() + 4410, Right.end() - 4410);
        EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Steady, 44100), C.SecondRightHz, 5.0);
    }
}

TEST_F(AacCore, AFailedInitialisationReleasesEverything)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    CountDecoder();
    FaadEntryPointsForTesting()->Init = FailingInit;
    AdtsFile F(Path);
    EXPECT_EQ(OpenAACDecoder(F.Info), 0);
    EXPECT_EQ(F.Info->DecoderPriv, 0u);
    EXPECT_EQ(Opens, 1);
    EXPECT_EQ(Closes, 1);

    WriteFile(FixturePath("aac_core_junk.aac"), Bytes(4000, 0x11));
    AdtsFile Junk(FixturePath("aac_core_junk.aac"));
    *FaadEntryPointsForTesting() = SavedFaad;
    // FAAD2 takes a stream without a header as raw AAC at its default
    // rate; its first frame then fails to decode.
    Bytes Out(OutBufSz);
    if (OpenAACDecoder(Junk.Info)) {
        EXPECT_EQ(DecodeAACSection(Junk.Info, Out.data(), OutBufSz), 0u);
    }
    AdtsFile Empty("/dev/null");
    EXPECT_EQ(OpenAACDecoder(Empty.Info), 0);
}

TEST_F(AacCore, DecoderErrorsAndImpossibleFramesEndTheStream)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    CountDecoder();
    Bytes Out(OutBufSz);
    {
        FailDecodeAt3 = true;
        AdtsFile F(Path);
        ASSERT_EQ(OpenAACDecoder(F.Info), 1);
        EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 4096u); // calls 1 and 2
        EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
        FailDecodeAt3 = false;
    }
    struct Case { unsigned long Samples; unsigned char Channels; unsigned long Rate; const char* Name; };
    for (Case C : {Case{2047, 0, 0, "odd count"}, Case{2 * 2048 + 2, 0, 0, "more than a frame"},
                   Case{3 * 1024, 3, 0, "more channels than convert"}}) {
        SCOPED_TRACE(C.Name);
        ForcedSamples = C.Samples;
        ForcedChannels = C.Channels;
        ForcedRate = C.Rate;
        AdtsFile F(Path);
        ASSERT_EQ(OpenAACDecoder(F.Info), 1);
        EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
    }
}

TEST_F(AacCore, AReloadAfterASeekRefillsTheWholeWindow)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    Bytes File = ReadFile(Path);
    std::vector<Bytes> Frames = RawFrames(File);
    AdtsFile F(Path);
    ASSERT_EQ(OpenAACDecoder(F.Info), 1);
    Bytes Out(OutBufSz);
    ASSERT_GT(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
    // The stream set on the last frame, as the ADTS engine's seek does.
    size_t Last = File.size() - (Frames.back().size() + 7);
    fseek(F.Info->Handle, static_cast<long>(Last), SEEK_SET);
    PostSeekAACBufferReload(F.Info);
    auto* AAC = reinterpret_cast<AACDecodeInfoType*>(F.Info->DecoderPriv);
    EXPECT_EQ(AAC->InBufSz, File.size() - Last);
    EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 4096u);
    EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
    fseek(F.Info->Handle, 0, SEEK_END); // a seek past the end
    PostSeekAACBufferReload(F.Info);
    EXPECT_EQ(AAC->InBufSz, 0u);
    EXPECT_EQ(DecodeAACSection(F.Info, Out.data(), OutBufSz), 0u);
}

TEST_F(AacCore, WithoutTheDecoderLibraryNothingOpens)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    UseFakeModule();
    Fake.Tracks = {TrackFrom(Path)};
    FaadEntryPointsForTesting()->Decode = nullptr;
    AdtsFile F(Path);
    EXPECT_EQ(OpenAACDecoder(F.Info), 0);
    EXPECT_FALSE(PrepareMp4(Path));
    EXPECT_EQ(Fake.Opened, 0);
}

// ---- MP4 over the fake module ----

TEST_F(AacCore, Mp4SamplesDecodeToTheFaadToolsPcmAndTheRecordDescribesTheTrack)
{
    std::string Path = MakeAac("aac_s48.aac", 48000, 2, 2.5);
    UseFakeModule();
    Fake.Tracks = {TrackFrom(Path)};
    Fake.Tracks[0].BitRate = 0;
    {
        Prepared Info = PrepareMp4(Path);
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->SampleRate, 48000u);
        EXPECT_EQ(Info->Channels, 2);
        EXPECT_EQ(Info->BytesPerSample, 2);
        EXPECT_EQ(Info->TrackLength, 2u);
        EXPECT_EQ(Info->TotalSamples, 2u * 48000); // the track's duration at the delivered rate
        EXPECT_EQ(Info->VBRFlag, 1);
        EXPECT_EQ(Info->FileLength, 0u);
        auto* AAC = reinterpret_cast<AACDecodeInfoType*>(Info->DecoderPriv);
        EXPECT_EQ(AAC->InBuffer, nullptr);
        EXPECT_EQ(AAC->TrackId, 1u);
        EXPECT_EQ(AAC->SampleCount, Fake.Tracks[0].Samples.size());
        EXPECT_EQ(DecodeAll(Info.get()), FaadPcm(Path));
        EXPECT_EQ(Fake.Live, 0);
    }
    EXPECT_EQ(Fake.Opened, 0);
}

TEST_F(AacCore, TheFirstAudioTrackWithAConfigurationDecides)
{
    std::string S44 = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    std::string M22 = MakeAac("aac_m22.aac", 22050, 1, 2.5);
    UseFakeModule();
    FakeTrack Video = TrackFrom(S44), Bare = TrackFrom(S44);
    Video.Type = "vide";
    Bare.HasConfig = false;
    Fake.Tracks = {Video, Bare, TrackFrom(M22), TrackFrom(S44)};
    {
        Prepared Info = PrepareMp4(S44);
        ASSERT_TRUE(Info);
        EXPECT_EQ(reinterpret_cast<AACDecodeInfoType*>(Info->DecoderPriv)->TrackId, 3u);
        EXPECT_EQ(DecodeAll(Info.get()), FaadPcm(M22));
    }
    // A configuration that does not parse refuses the file; the good track
    // after it is not tried, and nothing stays open or allocated.
    CountDecoder();
    Fake.Tracks[2].Config = {0xF8, 0x00}; // object type 31: escape without its extension
    Fake.ConfigCalls = 0;
    EXPECT_FALSE(PrepareMp4(S44));
    EXPECT_EQ(Fake.ConfigCalls, 2);
    EXPECT_EQ(Fake.Opened, 0);
    EXPECT_EQ(Fake.Live, 0);
    EXPECT_EQ(Opens, Closes);
    Fake.Tracks = {Video, Bare};
    EXPECT_FALSE(PrepareMp4(S44));
    EXPECT_EQ(Fake.Opened, 0);
}

TEST_F(AacCore, Mp4SeeksByTheModulesLookupOrByProportion)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    UseFakeModule();
    Fake.Tracks = {TrackFrom(Path)};
    Prepared Info = PrepareMp4(Path);
    ASSERT_TRUE(Info);
    auto* AAC = reinterpret_cast<AACDecodeInfoType*>(Info->DecoderPriv);
    SeekAAC_MP4File(Info.get(), 1234);
    EXPECT_EQ(AAC->Sample, 7u);
    EXPECT_EQ(Fake.LookedUp, std::vector<uint64_t>{1234});

    MP4EntryPointsForTesting()->GetSampleIdFromMsTime = nullptr;
    SeekAAC_MP4File(Info.get(), 1000); // half of the 2-second length
    EXPECT_EQ(AAC->Sample, AAC->SampleCount / 2);
    Bytes Reference = FaadPcm(Path);
    Bytes Out(OutBufSz);
    uint32_t Got = DecodeAACSection(Info.get(), Out.data(), OutBufSz);
    ASSERT_EQ(Got, 4096u); // the decoder is not reset: the next sample's frame
    SeekAAC_MP4File(Info.get(), 60000);
    EXPECT_EQ(AAC->Sample, AAC->SampleCount);
    EXPECT_EQ(DecodeAACSection(Info.get(), Out.data(), OutBufSz), 0u);
    // Scaled by the exact length: a track of 0.5 s (whole seconds 0).
    Info->TrackLength = 0;
    Info->TotalSamples = 22050;
    SeekAAC_MP4File(Info.get(), 250);
    EXPECT_EQ(AAC->Sample, AAC->SampleCount / 2);
    Info->TotalSamples = 0; // no length at all
    SeekAAC_MP4File(Info.get(), 500);
    EXPECT_EQ(AAC->Sample, 0u);
    // The whole track again; the decoder, not reset, delivers the first
    // frame as well this time.
    EXPECT_EQ(DecodeAll(Info.get()).size(), Reference.size() + 4096);
}

TEST_F(AacCore, AFailedSampleReadEndsTheStreamAndFreesNothingTwice)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    UseFakeModule();
    Fake.Tracks = {TrackFrom(Path)};
    Fake.FailReadAt = 10;
    Prepared Info = PrepareMp4(Path);
    ASSERT_TRUE(Info);
    Bytes Pcm = DecodeAll(Info.get());
    EXPECT_EQ(Pcm, Prefix(FaadPcm(Path), 8 * 4096)); // samples 2 to 9
    EXPECT_EQ(Fake.Live, 0);
    Bytes Out(OutBufSz);
    EXPECT_EQ(DecodeAACSection(Info.get(), Out.data(), OutBufSz), 0u);
}

TEST_F(AacCore, Mp4NeedsInit2AndTheWholeModuleWhileAdtsDoesNot)
{
    std::string Path = MakeAac("aac_s44.aac", 44100, 2, 2.5);
    UseFakeModule();
    Fake.Tracks = {TrackFrom(Path)};
    FaadEntryPointsForTesting()->Init2 = nullptr;
    EXPECT_FALSE(PrepareMp4(Path));
    AdtsFile F(Path);
    ASSERT_EQ(OpenAACDecoder(F.Info), 1);
    EXPECT_EQ(DecodeAll(F.Info), FaadPcm(Path));
    *FaadEntryPointsForTesting() = SavedFaad;
    MP4EntryPointsForTesting()->GetTrackBitRate = nullptr;
    EXPECT_FALSE(PrepareMp4(Path));
    EXPECT_EQ(Fake.Opened, 0);
}

// ---- The real module ----

class AacCoreModule : public AacCore {
protected:
    void SetUp() override
    {
        AacCore::SetUp();
        if (IsSkipped())
            return;
        const MP4EntryPoints* M = MP4EntryPointsForTesting();
        if (!M->Read || !M->ReadSample)
            GTEST_SKIP() << "the MP4 module is not there";
    }
};

TEST_F(AacCoreModule, M4aPcmEqualsTheFaadTool)
{
    for (const char* Name : {"aac_s44.m4a", "aac_m22.m4a", "aac_s48.m4a"}) {
        SCOPED_TRACE(Name);
        std::string Path = Name[5] == 'm' ? MakeAac(Name, 22050, 1, 2.5)
                                          : MakeAac(Name, Name[6] == '4' ? 44100 : 48000, 2, 2.5);
        Prepared Info = PrepareMp4(Path);
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->TrackLength, 2u);
        EXPECT_GT(Info->BitRate, 0);
        EXPECT_EQ(DecodeAll(Info.get()), FaadPcm(Path));
    }
}

TEST_F(AacCoreModule, AnAudioTrackOfAnotherCodecIsSkipped)
{
    if (!HaveTool("ffmpeg"))
        GTEST_SKIP();
    std::string Aac = MakeAac("aac_s44.m4a", 44100, 2, 2.5);
    std::string Two = FixturePath("aac_ac3_then_aac.mp4");
    ASSERT_TRUE(zebtest::MakeFixtureOnce(Two, [&](const std::string& Own) {
        return "ffmpeg -v error -nostdin -y -f lavfi -i sine=frequency=300:sample_rate=48000:duration=2 -i " + Aac +
               " -map 0:a -map 1:a -c:a:0 ac3 -c:a:1 copy " + Own;
    }));
    Prepared Info = PrepareMp4(Two);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->SampleRate, 44100u);
    EXPECT_EQ(DecodeAll(Info.get()), FaadPcm(Aac));
}

// ---- The corpus through the core's dispatch ----

TEST_F(AacCore, CorpusFilesPlaySeekAndCloseOrAreRefused)
{
    size_t Tried = 0;
    Bytes Out(OutBufSz);
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        std::string Ext = PathExtension(Path.c_str());
        for (char& C : Ext)
            C = static_cast<char>(tolower(C));
        if (Ext != ".aac" && Ext != ".m4a" && Ext != ".mp4" && Ext != ".m4b")
            return;
        SCOPED_TRACE(Path);
        ++Tried;
        MPEGFileInfoType* Info = nullptr;
        AudioFileFmtType Format = OpenFileStream(Path.c_str(), &Info);
        bool Ours = Info && (Format == AACRAW_FMT || Format == AACMP4_FMT);
        printf("%-8s %s\n", Ours ? (Format == AACRAW_FMT ? "adts" : "mp4") : Info ? "other" : "refused",
               Path.c_str());
        if (!Info)
            return; // refused
        if (!Ours) {
            CloseFileStream(Format, Info);
            return; // .m4b goes elsewhere
        }
        EXPECT_GT(Info->SampleRate, 0u);
        EXPECT_GT(Info->Channels, 0);
        for (size_t i = 0; i < MaxSections && DecodeAACSection(Info, Out.data(), OutBufSz); ++i) {
        }
        for (uint32_t Ms : {0u, Info->TrackLength * 500u, Info->TrackLength * 1000u + 5000u}) {
            if (Format == AACMP4_FMT) {
                SeekAAC_MP4File(Info, Ms);
            } else {
                SeekAAC_ADTSFile(Info, Ms);
                PostSeekAACBufferReload(Info);
            }
            for (int i = 0; i < 5; ++i)
                DecodeAACSection(Info, Out.data(), OutBufSz);
        }
        CloseFileStream(Format, Info);
    });
    if (Tried == 0)
        GTEST_SKIP() << "no AAC files in " << ZEB_CORPUS_DIR;
}

} // namespace
