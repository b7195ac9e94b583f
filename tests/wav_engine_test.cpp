// PCM WAVE and Wave64 engine: chunk walk, format checks, sections, seeking,
// 64-bit sizes, malformed files and the corpus.
#include "wav_engine.h"

#include "support/host.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr uint16_t PcmTag = 1;
constexpr uint16_t FloatTag = 3;
constexpr uint16_t ExtensibleTag = 0xFFFE;
constexpr uint64_t W64HeaderSz = 24;

void Put16(std::vector<uint8_t>& V, uint16_t X)
{
    V.push_back(static_cast<uint8_t>(X));
    V.push_back(static_cast<uint8_t>(X >> 8));
}
void Put32(std::vector<uint8_t>& V, uint32_t X)
{
    Put16(V, static_cast<uint16_t>(X));
    Put16(V, static_cast<uint16_t>(X >> 16));
}
void Put64(std::vector<uint8_t>& V, uint64_t X)
{
    Put32(V, static_cast<uint32_t>(X));
    Put32(V, static_cast<uint32_t>(X >> 32));
}
void Append(std::vector<uint8_t>& V, const std::vector<uint8_t>& X) { V.insert(V.end(), X.begin(), X.end()); }

struct FormatSpec {
    uint16_t Tag = PcmTag;
    uint16_t Channels = 2;
    uint32_t Rate = 44100;
    uint16_t Bits = 16;
    int64_t AvgBytes = -1; // -1: derived
};

std::vector<uint8_t> FmtBody(const FormatSpec& F)
{
    std::vector<uint8_t> B;
    uint16_t Align = static_cast<uint16_t>(F.Channels * F.Bits / 8);
    Put16(B, F.Tag);
    Put16(B, F.Channels);
    Put32(B, F.Rate);
    Put32(B, F.AvgBytes >= 0 ? static_cast<uint32_t>(F.AvgBytes) : F.Rate * Align);
    Put16(B, Align);
    Put16(B, F.Bits);
    return B;
}

// A RIFF chunk; SizeField overrides the stated size, Pad adds the pad byte
// after an odd body.
struct RiffChunk {
    std::string Tag;
    std::vector<uint8_t> Body;
    int64_t SizeField = -1;
    bool Pad = true;
};

std::vector<uint8_t> Riff(const std::vector<RiffChunk>& Chunks, const char* Magic = "RIFF", const char* Form = "WAVE")
{
    std::vector<uint8_t> Body(Form, Form + 4);
    for (const RiffChunk& C : Chunks) {
        Body.insert(Body.end(), C.Tag.begin(), C.Tag.end());
        Put32(Body, C.SizeField >= 0 ? static_cast<uint32_t>(C.SizeField) : static_cast<uint32_t>(C.Body.size()));
        Append(Body, C.Body);
        if (C.Pad && C.Body.size() % 2)
            Body.push_back(0);
    }
    std::vector<uint8_t> File(Magic, Magic + 4);
    Put32(File, static_cast<uint32_t>(Body.size()));
    Append(File, Body);
    return File;
}

// Wave64 GUIDs as stored in a file.
std::vector<uint8_t> Guid(uint32_t D1, uint16_t D2, uint16_t D3, std::initializer_list<uint8_t> D4)
{
    std::vector<uint8_t> G;
    Put32(G, D1);
    Put16(G, D2);
    Put16(G, D3);
    G.insert(G.end(), D4);
    return G;
}
const std::vector<uint8_t> W64Riff = Guid(0x66666972, 0x912E, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00});
const std::vector<uint8_t> W64Wave = Guid(0x65766177, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});
const std::vector<uint8_t> W64Fmt = Guid(0x20746D66, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});
const std::vector<uint8_t> W64Data = Guid(0x61746164, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});
const std::vector<uint8_t> W64Junk = Guid(0x6B6E756A, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A});

struct W64Chunk {
    std::vector<uint8_t> Id;
    std::vector<uint8_t> Body;
    std::optional<uint64_t> SizeField = std::nullopt; // default: 24 + body
};

std::vector<uint8_t> Wave64(const std::vector<W64Chunk>& Chunks, const std::vector<uint8_t>& Form = W64Wave)
{
    std::vector<uint8_t> Body = Form;
    for (const W64Chunk& C : Chunks) {
        Append(Body, C.Id);
        Put64(Body, C.SizeField.value_or(W64HeaderSz + C.Body.size()));
        Append(Body, C.Body);
        while (Body.size() % 8 != 0)
            Body.push_back(0);
    }
    std::vector<uint8_t> File = W64Riff;
    Put64(File, W64HeaderSz + Body.size());
    Append(File, Body);
    return File;
}

std::string Fixture(const std::string& Name, const std::vector<uint8_t>& Bytes)
{
    std::string Path = zebtest::FixturePath("wav_" + Name);
    zebtest::WriteFile(Path, Bytes);
    return Path;
}

MPEGFileInfoType* PrepareBytes(const std::string& Name, const std::vector<uint8_t>& Bytes)
{
    return PreparePCMWavFile(Fixture(Name, Bytes).c_str());
}

// Every section until the engine reports the end, bounded.
std::vector<uint8_t> DecodeAll(MPEGFileInfoType* Info, std::vector<uint32_t>* Sizes = nullptr,
                               uint32_t BufSz = OutBufSz, size_t MaxCalls = 100000)
{
    std::vector<uint8_t> Out(OutBufSz), All;
    for (size_t i = 0; i < MaxCalls; ++i) {
        uint32_t N = DecodeWavSection(Info, Out.data(), BufSz);
        if (N == 0)
            break;
        EXPECT_LE(N, BufSz);
        if (Sizes)
            Sizes->push_back(N);
        All.insert(All.end(), Out.begin(), Out.begin() + N);
    }
    return All;
}

std::vector<uint8_t> PcmBytes(size_t Size)
{
    std::vector<uint8_t> V(Size);
    for (size_t i = 0; i < Size; ++i)
        V[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return V;
}

size_t OpenDescriptors()
{
    size_t N = 0;
    for (const auto& E : std::filesystem::directory_iterator("/proc/self/fd"))
        (void)E, ++N;
    return N;
}

} // namespace

TEST(WavPrepare, FillsRecordAndDeliversDataUnchanged)
{
    std::vector<uint8_t> Pcm = PcmBytes(3 * 176400 + 100);
    MPEGFileInfoType* Info = PrepareBytes("plain.wav", Riff({{"fmt ", FmtBody({})}, {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->SampleRate, 44100u);
    EXPECT_EQ(Info->Channels, 2);
    EXPECT_EQ(Info->BytesPerSample, 2);
    EXPECT_EQ(Info->FirstFrameOffset, 44u);
    EXPECT_EQ(Info->FileLength, Pcm.size());
    EXPECT_EQ(Info->TrackLength, 3u);
    EXPECT_EQ(Info->TotalSamples, (3u * 176400 + 100) / 4);
    EXPECT_EQ(TrackMilliseconds(Info), 3000u);
    EXPECT_EQ(Info->DecoderPriv, 44100u);
    EXPECT_EQ(Info->FrameSize, 0u);
    EXPECT_EQ(Info->BitRate, 0);
    std::vector<uint32_t> Sizes;
    EXPECT_TRUE(DecodeAll(Info, &Sizes) == Pcm);
    ASSERT_EQ(Sizes.size(), 13u);
    EXPECT_EQ(Sizes.front(), 44100u);
    EXPECT_EQ(Sizes.back(), 100u);
    EXPECT_EQ(DecodeWavSection(Info, nullptr, OutBufSz), 0u);
    UnPreparePCMWavFile(Info);
    UnPreparePCMWavFile(nullptr);
}

TEST(WavPrepare, ChunkWalkSkipsPaddedChunksAndIgnoresCase)
{
    std::vector<uint8_t> Pcm = PcmBytes(4000);
    std::vector<uint8_t> List(13, 'x');
    // Odd-sized chunks before both "fmt " and "data", with their pad byte.
    MPEGFileInfoType* Info = PrepareBytes(
        "padded.wav", Riff({{"LIST", List}, {"fmt ", FmtBody({})}, {"junk", {1, 2, 3}}, {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->FirstFrameOffset, 12u + 8 + 14 + 8 + 16 + 8 + 4 + 8);
    EXPECT_TRUE(DecodeAll(Info) == Pcm);
    UnPreparePCMWavFile(Info);

    Info = PrepareBytes("case.wav", Riff({{"FMT ", FmtBody({})}, {"Data", Pcm}}, "riff", "wave"));
    ASSERT_NE(Info, nullptr);
    EXPECT_TRUE(DecodeAll(Info) == Pcm);
    UnPreparePCMWavFile(Info);

    // A format chunk with cbSize and an odd extra byte is read past correctly.
    std::vector<uint8_t> LongFmt = FmtBody({});
    LongFmt.insert(LongFmt.end(), {0, 0, 9});
    Info = PrepareBytes("longfmt.wav", Riff({{"fmt ", LongFmt}, {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->FirstFrameOffset, 12u + 8 + 20 + 8);
    UnPreparePCMWavFile(Info);
}

TEST(WavPrepare, ZeroSizeChunkBeforeFmtOrDataIsRefused)
{
    std::vector<uint8_t> Pcm = PcmBytes(1000);
    EXPECT_EQ(PrepareBytes("zero1.wav", Riff({{"LIST", {}}, {"fmt ", FmtBody({})}, {"data", Pcm}})), nullptr);
    EXPECT_EQ(PrepareBytes("zero2.wav", Riff({{"fmt ", FmtBody({})}, {"fact", {}}, {"data", Pcm}})), nullptr);
}

TEST(WavPrepare, EngineAcceptsOtherPcmDepthsAndRefusesOtherTags)
{
    std::vector<uint8_t> Pcm = PcmBytes(4800);
    MPEGFileInfoType* Info = PrepareBytes("pcm8.wav", Riff({{"fmt ", FmtBody({.Channels = 1, .Rate = 8000, .Bits = 8})},
                                                            {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->BytesPerSample, 1);
    EXPECT_EQ(Info->DecoderPriv, 2000u);
    UnPreparePCMWavFile(Info);
    Info = PrepareBytes("pcm24.wav", Riff({{"fmt ", FmtBody({.Bits = 24})}, {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->BytesPerSample, 3);
    UnPreparePCMWavFile(Info);

    EXPECT_EQ(PrepareBytes("float.wav", Riff({{"fmt ", FmtBody({.Tag = FloatTag, .Bits = 32})}, {"data", Pcm}})),
              nullptr);
    EXPECT_EQ(PrepareBytes("ext.wav", Riff({{"fmt ", FmtBody({.Tag = ExtensibleTag})}, {"data", Pcm}})), nullptr);
}

TEST(WavPrepare, MalformedFilesAreRefusedAndClosed)
{
    std::vector<uint8_t> Pcm = PcmBytes(1000);
    std::vector<uint8_t> Good = Riff({{"fmt ", FmtBody({})}, {"data", Pcm}});
    std::vector<uint8_t> ShortFmt = FmtBody({});
    ShortFmt.resize(14);
    struct Case {
        const char* Name;
        std::vector<uint8_t> Bytes;
    };
    std::vector<Case> Cases = {
        {"empty", {}},
        {"four", {'R', 'I', 'F', 'F'}},
        {"eight", {Good.begin(), Good.begin() + 8}},
        {"eleven", {Good.begin(), Good.begin() + 11}},
        {"rifx", Riff({{"fmt ", FmtBody({})}, {"data", Pcm}}, "RIFX")},
        {"rf64", Riff({{"fmt ", FmtBody({})}, {"data", Pcm}}, "RF64")},
        {"otherform", Riff({{"fmt ", FmtBody({})}, {"data", Pcm}}, "RIFF", "AVI ")},
        {"shortfmt", Riff({{"fmt ", ShortFmt}, {"data", Pcm}})},
        {"avg0", Riff({{"fmt ", FmtBody({.AvgBytes = 0})}, {"data", Pcm}})},
        {"channels0", Riff({{"fmt ", FmtBody({.Channels = 0})}, {"data", Pcm}})},
        {"rate0", Riff({{"fmt ", FmtBody({.Rate = 0})}, {"data", Pcm}})},
        {"bits4", Riff({{"fmt ", FmtBody({.Bits = 4})}, {"data", Pcm}})},
        {"nodata", Riff({{"fmt ", FmtBody({})}})},
        {"nofmt", Riff({{"data", Pcm}})},
        {"datafirst", Riff({{"data", Pcm}, {"fmt ", FmtBody({})}})},
        {"hugefmt", Riff({{"fmt ", FmtBody({}), 0xFFFFFFF0}, {"data", Pcm}})},
        {"skippasteof", Riff({{"LIST", {1, 2, 3, 4}, 0x7FFFFFFF}, {"fmt ", FmtBody({})}, {"data", Pcm}})},
        {"truncatedheader", {Good.begin(), Good.begin() + 40}},
    };
    size_t Before = OpenDescriptors();
    for (const Case& C : Cases) {
        MPEGFileInfoType* Info = PrepareBytes(std::string("bad_") + C.Name + ".wav", C.Bytes);
        EXPECT_EQ(Info, nullptr) << C.Name;
        UnPreparePCMWavFile(Info);
    }
    EXPECT_EQ(PreparePCMWavFile(zebtest::FixturePath("wav_missing.wav").c_str()), nullptr);
    EXPECT_EQ(OpenDescriptors(), Before);
}

TEST(WavDecode, MonoAt22kDeliversOddQuarterSeconds)
{
    std::vector<uint8_t> Pcm = PcmBytes(10 * 11025 + 333);
    MPEGFileInfoType* Info = PrepareBytes("mono22k.wav", Riff({{"fmt ", FmtBody({.Channels = 1, .Rate = 22050})},
                                                               {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->DecoderPriv, 11025u);
    std::vector<uint32_t> Sizes;
    EXPECT_TRUE(DecodeAll(Info, &Sizes) == Pcm);
    std::vector<uint32_t> Expected(10, 11025);
    Expected.push_back(333);
    EXPECT_EQ(Sizes, Expected);

    // A smaller output buffer bounds each section.
    SeekPCMWavFile(Info, 0);
    Sizes.clear();
    EXPECT_TRUE(DecodeAll(Info, &Sizes, 4096) == Pcm);
    EXPECT_EQ(Sizes.front(), 4096u);
    UnPreparePCMWavFile(Info);
}

TEST(WavDecode, DataChunkLongerThanFileDeliversWhatIsThere)
{
    std::vector<uint8_t> Pcm = PcmBytes(30000);
    MPEGFileInfoType* Info = PrepareBytes("longdata.wav", Riff({{"fmt ", FmtBody({})}, {"data", Pcm, 1000000}}));
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->FileLength, 1000000u);
    EXPECT_TRUE(DecodeAll(Info) == Pcm);
    std::vector<uint8_t> Out(OutBufSz);
    EXPECT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 0u);
    UnPreparePCMWavFile(Info);
}

TEST(WavSeek, SeeksToWholeSampleFramesAndPastTheEnd)
{
    std::vector<uint8_t> Pcm = PcmBytes(2 * 176400);
    MPEGFileInfoType* Info = PrepareBytes("seek.wav", Riff({{"fmt ", FmtBody({})}, {"data", Pcm}}));
    ASSERT_NE(Info, nullptr);
    std::vector<uint8_t> Out(OutBufSz);

    // 4 * 44100 * 0.003 = 529.2 -> 529 -> 532.
    SeekPCMWavFile(Info, 3);
    ASSERT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 44100u);
    EXPECT_EQ(0, memcmp(Out.data(), &Pcm[532], 44100));

    SeekPCMWavFile(Info, 1999);
    uint32_t Offset = 4 * 44100 * 1999 / 1000;
    Offset = (Offset + 3) / 4 * 4;
    ASSERT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), Pcm.size() - Offset);
    EXPECT_EQ(0, memcmp(Out.data(), &Pcm[Offset], Pcm.size() - Offset));

    SeekPCMWavFile(Info, 2001);
    EXPECT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 0u);
    SeekPCMWavFile(Info, 0xFFFFFFFFu);
    EXPECT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 0u);

    SeekPCMWavFile(Info, 0);
    EXPECT_TRUE(DecodeAll(Info) == Pcm);
    UnPreparePCMWavFile(Info);
}

TEST(Wave64, ParsesGuidChunksWithPadding)
{
    std::vector<uint8_t> Pcm = PcmBytes(70001);
    MPEGFileInfoType* Info = PrepareBytes(
        "plain.w64", Wave64({{W64Junk, std::vector<uint8_t>(13, 'j')}, {W64Fmt, FmtBody({.Channels = 1})}, {W64Data, Pcm}}));
    ASSERT_NE(Info, nullptr);
    // riff header 24 + form 16, junk 24 + 16, fmt 24 + 16, data header 24.
    EXPECT_EQ(Info->FirstFrameOffset, 40u + 40 + 40 + 24);
    EXPECT_EQ(Info->FileLength, Pcm.size());
    EXPECT_EQ(Info->Channels, 1);
    EXPECT_EQ(Info->DecoderPriv, 22050u);
    EXPECT_EQ(Info->TrackLength, 0u);
    EXPECT_EQ(Info->TotalSamples, 35000u); // the odd byte is no sample frame
    EXPECT_EQ(TrackMilliseconds(Info), 793u);
    EXPECT_TRUE(DecodeAll(Info) == Pcm);
    UnPreparePCMWavFile(Info);
}

TEST(Wave64, MalformedFilesAreRefused)
{
    std::vector<uint8_t> Pcm = PcmBytes(800);
    std::vector<uint8_t> ShortFmt = FmtBody({});
    ShortFmt.resize(12);
    struct Case {
        const char* Name;
        std::vector<uint8_t> Bytes;
    };
    std::vector<Case> Cases = {
        {"form", Wave64({{W64Fmt, FmtBody({})}, {W64Data, Pcm}}, W64Junk)},
        {"nofmt", Wave64({{W64Data, Pcm}})},
        {"nodata", Wave64({{W64Fmt, FmtBody({})}})},
        {"float", Wave64({{W64Fmt, FmtBody({.Tag = FloatTag})}, {W64Data, Pcm}})},
        {"shortfmt", Wave64({{W64Fmt, ShortFmt}, {W64Data, Pcm}})},
        {"avg0", Wave64({{W64Fmt, FmtBody({.AvgBytes = 0})}, {W64Data, Pcm}})},
        {"size0", Wave64({{W64Junk, {}, 0}, {W64Fmt, FmtBody({})}, {W64Data, Pcm}})},
        {"size23", Wave64({{W64Fmt, FmtBody({}), 23}, {W64Data, Pcm}})},
        {"datasize23", Wave64({{W64Fmt, FmtBody({})}, {W64Data, Pcm, 23}})},
        {"skipmax", Wave64({{W64Junk, {1}, UINT64_MAX}, {W64Fmt, FmtBody({})}, {W64Data, Pcm}})},
        {"skipmaxless7", Wave64({{W64Junk, {1}, UINT64_MAX - 7}, {W64Fmt, FmtBody({})}, {W64Data, Pcm}})},
        {"skippasteof", Wave64({{W64Junk, {1}, 1LL << 40}, {W64Fmt, FmtBody({})}, {W64Data, Pcm}})},
        {"hugefmt", Wave64({{W64Fmt, FmtBody({}), 1LL << 50}, {W64Data, Pcm}})},
    };
    size_t Before = OpenDescriptors();
    for (const Case& C : Cases)
        EXPECT_EQ(PrepareBytes(std::string("bad_") + C.Name + ".w64", C.Bytes), nullptr) << C.Name;
    EXPECT_EQ(OpenDescriptors(), Before);
}

namespace {

// Writes Header and extends the file, sparsely, to hold DataSz bytes after it.
std::string SparseFixture(const std::string& Name, const std::vector<uint8_t>& Header, uint64_t DataSz)
{
    std::string Path = Fixture(Name, Header);
    EXPECT_EQ(truncate(Path.c_str(), static_cast<off_t>(Header.size() + DataSz)), 0);
    return Path;
}

} // namespace

TEST(Wave64, DataChunkAboveFourGiBHas64BitLengths)
{
    const uint64_t DataSz = (5ULL << 30) + 4; // 5 GiB and one stereo frame
    // Everything up to the data chunk's header, with the true 64-bit size.
    std::vector<uint8_t> Header = Wave64({{W64Fmt, FmtBody({})}});
    Append(Header, W64Data);
    Put64(Header, W64HeaderSz + DataSz);
    std::string Path = SparseFixture("big.w64", Header, DataSz);
    MPEGFileInfoType* Info = PreparePCMWavFile(Path.c_str());
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->FileLength, DataSz);
    EXPECT_EQ(Info->TrackLength, static_cast<uint32_t>(DataSz / 176400)); // 30434 s
    EXPECT_EQ(Info->TotalSamples, DataSz / 4);
    EXPECT_EQ(Info->FirstFrameOffset, Header.size());

    // A seek past 4 GiB lands where 64-bit arithmetic puts it.
    std::vector<uint8_t> Out(OutBufSz);
    uint32_t LastSecondMs = Info->TrackLength * 1000;
    SeekPCMWavFile(Info, LastSecondMs);
    uint64_t Offset = 176400ULL * Info->TrackLength;
    EXPECT_EQ(lseek(fileno(Info->Handle), 0, SEEK_CUR), static_cast<off_t>(Header.size() + Offset));
    uint64_t Remaining = DataSz - Offset;
    std::vector<uint32_t> Sizes;
    EXPECT_EQ(DecodeAll(Info, &Sizes).size(), Remaining);
    EXPECT_EQ(Sizes.front(), 44100u);
    SeekPCMWavFile(Info, LastSecondMs + 1000);
    EXPECT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 0u);
    UnPreparePCMWavFile(Info);
    unlink(Path.c_str());
}

TEST(WavPrepare, RiffDataSizeAboveTwoGiBStaysUnsigned)
{
    const uint32_t DataSz = 0xC0000000u; // 3 GiB
    std::vector<uint8_t> Header = Riff({{"fmt ", FmtBody({})}});
    Header.insert(Header.end(), {'d', 'a', 't', 'a'});
    Put32(Header, DataSz);
    std::string Path = SparseFixture("big.wav", Header, DataSz);
    MPEGFileInfoType* Info = PreparePCMWavFile(Path.c_str());
    ASSERT_NE(Info, nullptr);
    EXPECT_EQ(Info->FileLength, DataSz);
    EXPECT_EQ(Info->TrackLength, DataSz / 176400);
    SeekPCMWavFile(Info, (DataSz / 176400) * 1000);
    std::vector<uint8_t> Out(OutBufSz);
    EXPECT_EQ(DecodeWavSection(Info, Out.data(), OutBufSz), 44100u);
    UnPreparePCMWavFile(Info);
    unlink(Path.c_str());
}

TEST(WavCorpus, EveryWavPreparesOrIsRefusedAndPlaysToTheEnd)
{
    std::error_code Error;
    if (!std::filesystem::is_directory(ZEB_CORPUS_DIR, Error))
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
    size_t Files = 0, Prepared = 0;
    for (const auto& Entry : std::filesystem::recursive_directory_iterator(ZEB_CORPUS_DIR, Error)) {
        std::string Ext = Entry.path().extension().string();
        std::transform(Ext.begin(), Ext.end(), Ext.begin(), ::tolower);
        if (!Entry.is_regular_file() || Ext != ".wav")
            continue;
        ++Files;
        SCOPED_TRACE(Entry.path().string());
        MPEGFileInfoType* Info = PreparePCMWavFile(Entry.path().c_str());
        if (!Info)
            continue;
        ++Prepared;
        EXPECT_GT(Info->SampleRate, 0u);
        EXPECT_GT(Info->Channels, 0);
        size_t Size = DecodeAll(Info).size();
        EXPECT_LE(Size, Info->FileLength);
        SeekPCMWavFile(Info, Info->TrackLength * 500);
        DecodeAll(Info);
        UnPreparePCMWavFile(Info);
    }
    EXPECT_GT(Files, 0u);
    EXPECT_GT(Prepared, 0u);

    std::string Silence = std::string(ZEB_CORPUS_DIR) + "/mutagen/silence-2s-PCM-44100-16-ID3v23.wav";
    if (MPEGFileInfoType* Info = PreparePCMWavFile(Silence.c_str())) {
        EXPECT_EQ(Info->SampleRate, 44100u);
        EXPECT_EQ(Info->Channels, 2);
        EXPECT_EQ(Info->TrackLength, 2u);
        EXPECT_EQ(DecodeAll(Info).size(), 352800u);
        UnPreparePCMWavFile(Info);
    }
    for (const char* Refused : {"taglib/alaw.wav", "taglib/float64.wav", "taglib/uint8we.wav", "taglib/rf64.wav",
                                "taglib/segfault.wav"}) {
        std::string Path = std::string(ZEB_CORPUS_DIR) + "/" + Refused;
        if (std::filesystem::exists(Path, Error)) {
            EXPECT_EQ(PreparePCMWavFile(Path.c_str()), nullptr) << Refused;
        }
    }
}

TEST(WavInterop, FilesWrittenBySoxDeliverSoxsOwnSamples)
{
    if (!zebtest::HaveTool("sox"))
        GTEST_SKIP() << "sox not installed";
    for (const char* Name : {"sox_stereo.wav", "sox_stereo.w64", "sox_mono48k.w64"}) {
        SCOPED_TRACE(Name);
        std::string Path = zebtest::FixturePath(std::string("wav_") + Name);
        std::string Raw = Path + ".raw";
        bool Mono = std::string(Name).find("mono") != std::string::npos;
        std::string Format = Mono ? "-r 48000 -c 1" : "-r 44100 -c 2";
        ASSERT_TRUE(zebtest::Run("sox -n " + Format + " -b 16 '" + Path + "' synth 1.3 sine 440 vol 0.5 2>/dev/null"));
        ASSERT_TRUE(zebtest::Run("sox '" + Path + "' -t raw '" + Raw + "' 2>/dev/null"));
        MPEGFileInfoType* Info = PreparePCMWavFile(Path.c_str());
        ASSERT_NE(Info, nullptr);
        EXPECT_EQ(Info->SampleRate, Mono ? 48000u : 44100u);
        EXPECT_EQ(Info->Channels, Mono ? 1 : 2);
        EXPECT_EQ(Info->TrackLength, 1u);
        EXPECT_TRUE(DecodeAll(Info) == zebtest::ReadFile(Raw));
        UnPreparePCMWavFile(Info);
    }
}
