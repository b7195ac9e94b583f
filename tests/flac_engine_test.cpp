// FLAC engine: PCM against the flac tool's own decode, sample widths,
// seeking, the end of the stream, frames that disagree with STREAMINFO,
// refused files, a missing library and the corpus.
#include "flac.h"

#include "support/host.h"
#include "zeb_platform.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using zebtest::FixturePath;
using zebtest::HaveTool;
using zebtest::ReadFile;
using zebtest::Run;
using zebtest::WriteFile;

constexpr size_t MaxSections = 100000;
// STREAMINFO as the flac tool writes it: "fLaC", a 4-byte block header,
// then the block. Byte offsets of the packed rate/channels/width/total field.
constexpr size_t RateByte = 18;
constexpr size_t ChannelsByte = 20;
constexpr size_t TotalByte = 21;

struct Unprepare {
    void operator()(MPEGFileInfoType* Info) const { UnPrepareFlacFile(Info); }
};
using Prepared = std::unique_ptr<MPEGFileInfoType, Unprepare>;

Prepared Prepare(const std::string& Path) { return Prepared(PrepareFlacFile(Path.c_str())); }

// A FLAC file of a sox signal, cached in the fixture folder. The rate is
// given for the input too, so that a length in samples is exact; no dither,
// so every test process that makes it writes the same audio.
std::string MakeFlac(const std::string& Name, uint32_t Rate, int Channels, int Bits, const std::string& Synth,
                     const std::string& FlacArgs = "")
{
    std::string Flac = FixturePath(Name + ".flac");
    std::string Format = "-r " + std::to_string(Rate) + " -c " + std::to_string(Channels);
    EXPECT_TRUE(zebtest::MakeFixtureOnce(Flac, [&](const std::string& Own) {
        return "{ sox -D " + Format + " -n " + Format + " -b " + std::to_string(Bits) + " " + Own + ".wav synth " +
               Synth + " && flac -s -f " + FlacArgs + " -o " + Own + " " + Own + ".wav; } 2>/dev/null; S=$?; rm -f " +
               Own + ".wav; exit $S";
    })) << Name;
    return Flac;
}

// Two distinct tones at 44.1 kHz, so that a swapped or dropped channel shows.
std::string StereoFlac(const std::string& Name, const std::string& Length, int Bits = 16,
                       const std::string& FlacArgs = "--blocksize=4096")
{
    return MakeFlac(Name, 44100, 2, Bits, Length + " sine 440 sine 660 vol 0.8", FlacArgs);
}

// Six tones for six channels.
std::string SixChannelFlac(const std::string& Name, uint32_t Rate, const std::string& Length,
                           const std::string& FlacArgs = "")
{
    return MakeFlac(Name, Rate, 6, 16, Length + " sine 200 sine 300 sine 400 sine 500 sine 600 sine 700", FlacArgs);
}

// The flac tool's decode: interleaved little-endian signed samples of the
// file's own width.
std::vector<uint8_t> ReferencePcm(const std::string& Flac)
{
    std::string Raw = Flac + "." + std::to_string(getpid()) + ".raw";
    EXPECT_TRUE(Run("flac -s -f -d --force-raw-format --endian=little --sign=signed -o " + Raw + " " + Flac +
                    " 2>/dev/null"));
    return ReadFile(Raw);
}

// Every section until the engine returns 0; sizes in Sections when given.
std::vector<uint8_t> DecodeAll(MPEGFileInfoType* Info, std::vector<uint32_t>* Sections = nullptr)
{
    std::vector<uint8_t> All;
    std::vector<uint8_t> Out(OutBufSz); // exactly OutBufSz: ASan sees any byte past it
    for (size_t i = 0; i < MaxSections; ++i) {
        uint32_t Got = DecodeFlacSection(Info, Out.data());
        if (Got == 0)
            break;
        EXPECT_LE(Got, OutBufSz);
        if (Sections)
            Sections->push_back(Got);
        All.insert(All.end(), Out.begin(), Out.begin() + std::min(Got, OutBufSz));
    }
    return All;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& Pcm, size_t From, size_t Count = SIZE_MAX)
{
    From = std::min(From, Pcm.size());
    Count = std::min(Count, Pcm.size() - From);
    return std::vector<uint8_t>(Pcm.begin() + From, Pcm.begin() + From + Count);
}

// Reference samples of Width bytes turned into the engine's 16 bits.
std::vector<uint8_t> To16Bits(const std::vector<uint8_t>& Raw, size_t Width)
{
    std::vector<uint8_t> Out;
    for (size_t i = 0; i + Width <= Raw.size(); i += Width) {
        if (Width == 1) { // 8-bit: shifted left by 8
            Out.push_back(0);
            Out.push_back(Raw[i]);
        } else { // wider: the top two bytes
            Out.push_back(Raw[i + Width - 2]);
            Out.push_back(Raw[i + Width - 1]);
        }
    }
    return Out;
}

// A copy of Flac with its STREAMINFO changed by Patch.
std::string Patched(const std::string& Flac, const std::string& Name, void (*Patch)(std::vector<uint8_t>&))
{
    std::vector<uint8_t> Bytes = ReadFile(Flac);
    EXPECT_GT(Bytes.size(), TotalByte + 4);
    EXPECT_EQ(std::string(Bytes.begin(), Bytes.begin() + 4), "fLaC");
    Patch(Bytes);
    std::string Path = FixturePath(Name + ".flac");
    WriteFile(Path, Bytes);
    return Path;
}

template <int Channels> void SetChannels(std::vector<uint8_t>& B)
{
    B[ChannelsByte] = static_cast<uint8_t>((B[ChannelsByte] & 0xF1) | ((Channels - 1) << 1));
}

void ClearSampleRate(std::vector<uint8_t>& B)
{
    B[RateByte] = B[RateByte + 1] = 0;
    B[ChannelsByte] &= 0x0F;
}

void ClearTotalSamples(std::vector<uint8_t>& B)
{
    B[TotalByte] &= 0xF0;
    std::fill(B.begin() + TotalByte + 1, B.begin() + TotalByte + 5, 0);
}

// Claims 24-bit samples for a 16-bit stream.
void Claim24Bits(std::vector<uint8_t>& B)
{
    constexpr int Coded = 24 - 1;
    B[ChannelsByte] = static_cast<uint8_t>((B[ChannelsByte] & 0xFE) | (Coded >> 4));
    B[TotalByte] = static_cast<uint8_t>((B[TotalByte] & 0x0F) | ((Coded & 0xF) << 4));
}

// Channel Keep of interleaved 16-bit PCM with Channels channels.
std::vector<uint8_t> Channel(const std::vector<uint8_t>& Pcm, size_t Channels, size_t Keep)
{
    std::vector<uint8_t> Out;
    for (size_t i = Keep * 2; i + 1 < Pcm.size(); i += Channels * 2) {
        Out.push_back(Pcm[i]);
        Out.push_back(Pcm[i + 1]);
    }
    return Out;
}

// Where the first frame starts: after the last metadata block.
size_t FirstFrameOffset(const std::vector<uint8_t>& B)
{
    constexpr size_t MagicSz = 4, BlockHeaderSz = 4;
    constexpr uint8_t LastBlock = 0x80;
    size_t At = MagicSz;
    while (At + BlockHeaderSz <= B.size()) {
        size_t Length = static_cast<size_t>(B[At + 1]) << 16 | B[At + 2] << 8 | B[At + 3];
        bool Last = B[At] & LastBlock;
        At += BlockHeaderSz + Length;
        if (Last)
            break;
    }
    return At;
}

// 100000 samples at 44.1 kHz: 2 whole seconds.
std::string HundredThousandSamples()
{
    return StereoFlac("flac_100k", "100000s");
}

class FlacEngine : public testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("flac") || !HaveTool("sox"))
            GTEST_SKIP() << "flac or sox not available";
        ASSERT_EQ(GetFlacSupport(), 1) << "libFLAC not loadable";
    }
};

// ---- Format and PCM ----

TEST_F(FlacEngine, StereoRecordAndFourKiloSampleFramesOf16384Bytes)
{
    std::string Flac = StereoFlac("flac_blocks", "1.5");
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->SampleRate, 44100u);
    EXPECT_EQ(Info->Channels, 2);
    EXPECT_EQ(Info->BytesPerSample, 2);
    EXPECT_EQ(Info->FileLength, 66150u); // samples per channel, not bytes
    EXPECT_EQ(Info->TotalSamples, 66150u);
    EXPECT_EQ(Info->TrackLength, 1u);
    size_t CloseOnExec = 0; // the decoder reads the engine's one descriptor
    EXPECT_EQ(zebtest::DescriptorsOn(Flac, &CloseOnExec), 1u);
    EXPECT_EQ(CloseOnExec, 1u);
    EXPECT_EQ(Info->VBRFlag, 1);
    EXPECT_EQ(Info->BitRate, 0);
    std::vector<uint32_t> Sections;
    DecodeAll(Info.get(), &Sections);
    ASSERT_EQ(Sections.size(), 17u); // 16 full blocks and a tail of 614 samples
    for (size_t i = 0; i + 1 < Sections.size(); ++i)
        EXPECT_EQ(Sections[i], 16384u) << "section " << i;
    EXPECT_EQ(Sections.back(), 614u * 4);
}

TEST_F(FlacEngine, SixteenBitPcmEqualsTheReferenceDecodeAndEndsOnce)
{
    std::string Flac = StereoFlac("flac_whole", "2.3");
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    EXPECT_EQ(DecodeAll(Info.get()), ReferencePcm(Flac));
    // Past the end: nothing more, nothing repeated.
    std::vector<uint8_t> Out(OutBufSz);
    EXPECT_EQ(DecodeFlacSection(Info.get(), Out.data()), 0u);
    EXPECT_EQ(DecodeFlacSection(Info.get(), Out.data()), 0u);
}

TEST_F(FlacEngine, WiderSamplesKeepTheirTopSixteenBitsNarrowerAreWidened)
{
    struct Case {
        int Bits;
        size_t Width;
    };
    for (Case C : {Case{24, 3}, Case{8, 1}}) {
        SCOPED_TRACE(C.Bits);
        std::string Flac = StereoFlac("flac_bits" + std::to_string(C.Bits), "0.7", C.Bits);
        Prepared Info = Prepare(Flac);
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->BytesPerSample, 2);
        std::vector<uint8_t> Reference = To16Bits(ReferencePcm(Flac), C.Width);
        ASSERT_FALSE(Reference.empty());
        EXPECT_EQ(DecodeAll(Info.get()), Reference);
    }
}

TEST_F(FlacEngine, SixChannelFileOpensWithItsChannelsAndDecodes)
{
    std::string Flac = SixChannelFlac("flac_six", 48000, "0.5");
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->Channels, 6);
    EXPECT_EQ(Info->SampleRate, 48000u);
    EXPECT_EQ(DecodeAll(Info.get()), ReferencePcm(Flac));
}

// ---- Seeking ----

TEST_F(FlacEngine, SeekGoesToTheSampleAtTheAskedMilliseconds)
{
    std::string Flac = HundredThousandSamples();
    std::vector<uint8_t> Reference = ReferencePcm(Flac);
    ASSERT_EQ(Reference.size(), 100000u * 4);
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->TrackLength, 2u);
    // 1000 ms: sample 44100, in the middle of a frame.
    SeekFlacFile(Info.get(), 1000);
    EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 44100u * 4));
    // Only the last of two seeks counts: 500 ms, sample 22050.
    Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    SeekFlacFile(Info.get(), 1500);
    SeekFlacFile(Info.get(), 500);
    EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 22050u * 4));
}

TEST_F(FlacEngine, SeekToZeroAfterPlayingStartsWithTheFirstFrame)
{
    std::string Flac = StereoFlac("flac_restart", "1.2");
    std::vector<uint8_t> Reference = ReferencePcm(Flac);
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    std::vector<uint8_t> Out(OutBufSz);
    for (int i = 0; i < 3; ++i)
        ASSERT_GT(DecodeFlacSection(Info.get(), Out.data()), 0u);
    SeekFlacFile(Info.get(), 0);
    EXPECT_EQ(DecodeAll(Info.get()), Reference);
}

// A seek to the end or past it, and playing to the end, end the stream;
// the input stays usable and the next seek plays from its target.
TEST_F(FlacEngine, AfterTheEndEverySeekPlaysAgain)
{
    std::string Flac = HundredThousandSamples();
    std::vector<uint8_t> Reference = ReferencePcm(Flac);
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    std::vector<uint8_t> Out(OutBufSz);
    // 2267 ms is sample 99974 (of 100000); 2268 ms is past the end.
    SeekFlacFile(Info.get(), TrackMilliseconds(Info.get()));
    EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 99974u * 4));
    for (uint32_t End : {2268u, 2300u, UINT32_MAX}) {
        SCOPED_TRACE(End);
        SeekFlacFile(Info.get(), End);
        EXPECT_EQ(DecodeFlacSection(Info.get(), Out.data()), 0u);
        EXPECT_EQ(DecodeFlacSection(Info.get(), Out.data()), 0u);
        SeekFlacFile(Info.get(), 0);
        EXPECT_EQ(DecodeAll(Info.get()), Reference); // to the end
        SeekFlacFile(Info.get(), 1000);
        EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 44100u * 4));
    }
}

TEST_F(FlacEngine, ShortAndUnknownLengthFilesSeekToTheAskedTime)
{
    std::string Short = StereoFlac("flac_short", "0.6");
    std::string Unknown = Patched(StereoFlac("flac_known", "1.2"), "flac_unknown_length", ClearTotalSamples);
    for (const std::string& Flac : {Short, Unknown}) {
        SCOPED_TRACE(Flac);
        std::vector<uint8_t> Reference = ReferencePcm(Flac);
        Prepared Info = Prepare(Flac);
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->TrackLength, 0u);
        std::vector<uint8_t> Out(OutBufSz);
        ASSERT_GT(DecodeFlacSection(Info.get(), Out.data()), 0u);
        SeekFlacFile(Info.get(), 400);
        EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 17640u * 4));
        // Past the end, where only the decoder can tell: it refuses, and
        // the next seek still lands.
        SeekFlacFile(Info.get(), 5000);
        EXPECT_EQ(DecodeFlacSection(Info.get(), Out.data()), 0u);
        SeekFlacFile(Info.get(), 400);
        EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 17640u * 4));
    }
}

// ---- Frames that disagree with STREAMINFO ----

TEST_F(FlacEngine, FramesWithFewerChannelsThanStreamInfoLeaveTheRestSilent)
{
    std::string Stereo = StereoFlac("flac_mismatch_src", "0.5");
    std::vector<uint8_t> Reference = ReferencePcm(Stereo);
    Prepared Info = Prepare(Patched(Stereo, "flac_claims_six", SetChannels<6>));
    ASSERT_TRUE(Info);
    ASSERT_EQ(Info->Channels, 6);
    std::vector<uint8_t> Pcm = DecodeAll(Info.get());
    ASSERT_EQ(Pcm.size(), Reference.size() * 3);
    EXPECT_EQ(Channel(Pcm, 6, 0), Channel(Reference, 2, 0));
    EXPECT_EQ(Channel(Pcm, 6, 1), Channel(Reference, 2, 1));
    std::vector<uint8_t> Silence(Reference.size() / 2, 0);
    for (size_t c = 2; c < 6; ++c)
        EXPECT_EQ(Channel(Pcm, 6, c), Silence) << "channel " << c;
}

TEST_F(FlacEngine, FramesWithMoreChannelsThanStreamInfoDropTheExtras)
{
    std::string Stereo = StereoFlac("flac_mismatch_src", "0.5");
    std::vector<uint8_t> Reference = ReferencePcm(Stereo);
    Prepared Info = Prepare(Patched(Stereo, "flac_claims_mono", SetChannels<1>));
    ASSERT_TRUE(Info);
    ASSERT_EQ(Info->Channels, 1);
    EXPECT_EQ(DecodeAll(Info.get()), Channel(Reference, 2, 0));
}

TEST_F(FlacEngine, EachFrameIsConvertedByItsOwnSampleWidth)
{
    std::string Stereo = StereoFlac("flac_mismatch_src", "0.5");
    Prepared Info = Prepare(Patched(Stereo, "flac_claims_24", Claim24Bits));
    ASSERT_TRUE(Info);
    EXPECT_EQ(DecodeAll(Info.get()), ReferencePcm(Stereo));
}

TEST_F(FlacEngine, FrameLargerThanTheOutputBufferIsSkippedAndDecodingGoesOn)
{
    // 6 channels of 65535 samples: 786420 bytes, more than the buffer; the
    // short last frame fits.
    std::string Flac = SixChannelFlac("flac_huge_frames", 44100, "66000s", "--lax --blocksize=65535");
    std::vector<uint8_t> Reference = ReferencePcm(Flac);
    Prepared Info = Prepare(Flac);
    ASSERT_TRUE(Info);
    std::vector<uint32_t> Sections;
    std::vector<uint8_t> Pcm = DecodeAll(Info.get(), &Sections);
    ASSERT_EQ(Sections.size(), 1u);
    EXPECT_EQ(Pcm, Slice(Reference, 65535u * 12));
}

// Frames handed to the write callback directly, with exactly as many
// channel arrays as the frame has, so that ASan sees any read beyond them.
TEST_F(FlacEngine, WriteCallbackStaysWithinTheFrameAndTheBuffer)
{
    MPEGFileInfoType Info{};
    Info.Channels = 2;
    std::vector<uint8_t> Out(OutBufSz);
    Info.DecoderPriv = reinterpret_cast<uintptr_t>(Out.data());
    std::vector<FLAC__int32> Samples(65535, -2);
    auto Channels = std::make_unique<const FLAC__int32*[]>(1);
    Channels[0] = Samples.data();
    FLAC__Frame Frame{};
    Frame.header.channels = 1;
    Frame.header.blocksize = 65535;
    Frame.header.bits_per_sample = 16;
    EXPECT_EQ(DecoderWriteCallback(nullptr, &Frame, Channels.get(), &Info), FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE);
    EXPECT_EQ(Info.FrameSize, 65535u * 4);
    EXPECT_EQ(Out[0], 0xFE); // -2, then the silent second channel
    EXPECT_EQ(Out[2], 0);

    Info.Channels = 8; // 8 x 65535 x 2 bytes do not fit: nothing written
    std::fill(Out.begin(), Out.end(), 0x55);
    DecoderWriteCallback(nullptr, &Frame, Channels.get(), &Info);
    EXPECT_EQ(Info.FrameSize, 0u);
    EXPECT_EQ(std::count(Out.begin(), Out.end(), 0x55), static_cast<long>(OutBufSz));

    Info.Channels = 1;
    Frame.header.bits_per_sample = 0; // no usable width
    DecoderWriteCallback(nullptr, &Frame, Channels.get(), &Info);
    EXPECT_EQ(Info.FrameSize, 0u);

    Info.DecoderPriv = 0; // outside a decode call nothing is kept
    Frame.header.bits_per_sample = 16;
    DecoderWriteCallback(nullptr, &Frame, Channels.get(), &Info);
    EXPECT_EQ(Info.FrameSize, 0u);
}

// ---- Refused files ----

TEST_F(FlacEngine, FilesThatAreNotUsableFlacAreRefused)
{
    std::string Good = StereoFlac("flac_refuse_src", "0.3");
    std::vector<uint8_t> Bytes = ReadFile(Good);
    std::string Dir = FixturePath("flac_refuse_dir");
    mkdir(Dir.c_str(), 0755);
    std::string Fifo = FixturePath("flac_refuse_" + std::to_string(getpid()) + ".fifo");
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    std::string Empty = FixturePath("flac_refuse_empty.flac");
    WriteFile(Empty, {});
    std::string HeaderOnly = FixturePath("flac_refuse_header.flac");
    WriteFile(HeaderOnly, Slice(Bytes, 0, 20));
    std::string Wave = FixturePath("flac_refuse.wav");
    zebtest::WriteWav(Wave, 44100, 2, 16, zebtest::TestPcm(4410, 2, 44100));
    // Frame sync bytes but no "fLaC" and no STREAMINFO.
    std::string SyncOnly = FixturePath("flac_refuse_sync.flac");
    WriteFile(SyncOnly, Slice(Bytes, FirstFrameOffset(Bytes)));
    std::vector<std::string> Paths = {FixturePath("flac_refuse_missing.flac"), Dir, Fifo, Empty, HeaderOnly, Wave};
    Paths.push_back(SyncOnly);
    Paths.push_back(Patched(Good, "flac_rate0", ClearSampleRate));
    for (const std::string& Path : Paths) {
        SCOPED_TRACE(Path);
        EXPECT_FALSE(Prepare(Path));
        size_t CloseOnExec = 0;
        EXPECT_EQ(zebtest::DescriptorsOn(Path, &CloseOnExec), 0u) << "a refused file stayed open";
    }
    unlink(Fifo.c_str());
}

TEST_F(FlacEngine, TruncatedFileDecodesWhatItHoldsAndEnds)
{
    std::string Flac = StereoFlac("flac_trunc_src", "1.0");
    std::vector<uint8_t> Bytes = ReadFile(Flac);
    std::string Cut = FixturePath("flac_truncated.flac");
    WriteFile(Cut, Slice(Bytes, 0, Bytes.size() / 2));
    Prepared Info = Prepare(Cut);
    ASSERT_TRUE(Info);
    std::vector<uint8_t> Pcm = DecodeAll(Info.get());
    std::vector<uint8_t> Reference = ReferencePcm(Flac);
    EXPECT_GT(Pcm.size(), 0u);
    EXPECT_LT(Pcm.size(), Reference.size());
    EXPECT_EQ(Pcm, Slice(Reference, 0, Pcm.size()));
}

// ---- Library support ----

TEST_F(FlacEngine, WithoutTheLibraryNothingOpensAndLoadingAgainRestoresIt)
{
    std::string Flac = StereoFlac("flac_support", "0.3");
    EXPECT_EQ(GetFlacSupport(), 1); // loaded already: kept
    static const char* const Missing[] = {"libnothing.so", nullptr};
    static const char* const NoEntryPoints[] = {"libc.so.6", nullptr};
    for (const char* const* Names : {Missing, NoEntryPoints}) {
        SCOPED_TRACE(Names[0]);
        SetSupportLibraryNames("flac", Names);
        CloseFlacSupport();
        EXPECT_EQ(GetFlacSupport(), 0);
        EXPECT_FALSE(Prepare(Flac));
        CloseFlacSupport(); // harmless when nothing is loaded
    }
    SetSupportLibraryNames("flac", nullptr);
    ASSERT_EQ(GetFlacSupport(), 1);
    Prepared Info = Prepare(Flac);
    EXPECT_TRUE(Info);
}

// ---- Corpus ----

TEST_F(FlacEngine, EveryCorpusFileDecodesToItsEndOrIsRefused)
{
    size_t Tried = 0, Opened = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        if (Path.size() < 5 || Path.compare(Path.size() - 5, 5, ".flac") != 0)
            return;
        SCOPED_TRACE(Path);
        ++Tried;
        Prepared Info = Prepare(Path);
        if (!Info)
            return;
        ++Opened;
        EXPECT_NE(Info->SampleRate, 0u);
        EXPECT_NE(Info->Channels, 0);
        std::vector<uint32_t> Sections;
        DecodeAll(Info.get(), &Sections);
        for (uint32_t Size : Sections)
            EXPECT_EQ(Size % (Info->Channels * 2u), 0u);
        SeekFlacFile(Info.get(), Info->TrackLength * 500u);
        DecodeAll(Info.get());
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
    EXPECT_GT(Opened, 0u);
}

} // namespace
