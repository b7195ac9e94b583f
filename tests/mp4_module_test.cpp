// The MP4 file module loaded as the AAC engine loads it: tracks, types and
// configurations, every sample's bytes and times against ffmpeg's own
// reading of the file, time look-ups, damaged and refused files, the corpus.
#include "mp4/zeb_mp4.h"

#include "support/host.h"
#include "support/returns_within.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zebtest::FixturePath;
using zebtest::HaveTool;
using zebtest::ReadFile;
using zebtest::RunProcess;

bool Exists(const std::string& Path)
{
    struct stat St;
    return stat(Path.c_str(), &St) == 0 && St.st_size > 0;
}

// The module's entry points, resolved by name from the built module.
struct Mp4Api {
    void* Module = nullptr;
    MP4ReadFn Read = nullptr;
    MP4GetNumberOfTracksFn NumberOfTracks = nullptr;
    MP4FindTrackIdFn FindTrackId = nullptr;
    MP4GetTrackTypeFn TrackType = nullptr;
    MP4GetTrackESConfigurationFn ESConfiguration = nullptr;
    rtlFreeFn Free = nullptr;
    MP4GetTrackDurationExFn Duration = nullptr;
    MP4ConvertFromTrackDurationExFn ConvertDuration = nullptr;
    MP4GetTrackBitRateFn BitRate = nullptr;
    MP4GetTrackNumberOfSamplesFn NumberOfSamples = nullptr;
    MP4ReadSampleFn ReadSample = nullptr;
    MP4GetSampleIdFromMsTimeFn SampleIdFromMsTime = nullptr;
    MP4CloseFn Close = nullptr;
};

template <typename Fn> void Resolve(void* Module, const char* Name, Fn* Out)
{
    *Out = reinterpret_cast<Fn>(dlsym(Module, Name));
    EXPECT_NE(*Out, nullptr) << Name;
}

const Mp4Api& Api()
{
    static const Mp4Api Loaded = [] {
        Mp4Api A;
        A.Module = dlopen(ZEB_BUILD_DIR "/libzeb-mp4.so", RTLD_NOW | RTLD_LOCAL);
        if (!A.Module)
            return A;
        Resolve(A.Module, "MP4Read", &A.Read);
        Resolve(A.Module, "MP4GetNumberOfTracks", &A.NumberOfTracks);
        Resolve(A.Module, "MP4FindTrackId", &A.FindTrackId);
        Resolve(A.Module, "MP4GetTrackType", &A.TrackType);
        Resolve(A.Module, "MP4GetTrackESConfiguration", &A.ESConfiguration);
        Resolve(A.Module, "rtlFree", &A.Free);
        Resolve(A.Module, "MP4GetTrackDurationEx", &A.Duration);
        Resolve(A.Module, "MP4ConvertFromTrackDurationEx", &A.ConvertDuration);
        Resolve(A.Module, "MP4GetTrackBitRate", &A.BitRate);
        Resolve(A.Module, "MP4GetTrackNumberOfSamples", &A.NumberOfSamples);
        Resolve(A.Module, "MP4ReadSample", &A.ReadSample);
        Resolve(A.Module, "MP4GetSampleIdFromMsTime", &A.SampleIdFromMsTime);
        Resolve(A.Module, "MP4Close", &A.Close);
        return A;
    }();
    return Loaded;
}

// An open file, closed when it goes.
struct OpenFile {
    MP4FileHandle Handle;
    explicit OpenFile(const std::string& Path) : Handle(Api().Read(Path.c_str(), 0)) {}
    ~OpenFile() { Api().Close(Handle); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
};

struct Sample {
    std::vector<uint8_t> Bytes;
    MP4Timestamp Start = 0;
    MP4Duration Duration = 0;
    bool Sync = false;
};

// Sample Id read the engine's way (the module allocates); false if refused.
bool ReadOne(MP4FileHandle File, MP4TrackId Track, MP4SampleId Id, Sample* Out)
{
    uint8_t* Bytes = nullptr;
    uint32_t Count = 0;
    MP4Duration Offset = 1;
    if (!Api().ReadSample(File, Track, Id, &Bytes, &Count, &Out->Start, &Out->Duration, &Offset, &Out->Sync)) {
        EXPECT_EQ(Bytes, nullptr);
        return false;
    }
    Out->Bytes.assign(Bytes, Bytes + Count);
    Api().Free(Bytes);
    EXPECT_EQ(Offset, 0u);
    return true;
}

std::vector<Sample> ReadAll(MP4FileHandle File, MP4TrackId Track)
{
    std::vector<Sample> All(Api().NumberOfSamples(File, Track));
    for (MP4SampleId Id = 1; Id <= All.size(); ++Id)
        EXPECT_TRUE(ReadOne(File, Track, Id, &All[Id - 1])) << "sample " << Id;
    Sample Past;
    EXPECT_FALSE(ReadOne(File, Track, static_cast<MP4SampleId>(All.size() + 1), &Past));
    return All;
}

std::vector<uint8_t> Configuration(MP4FileHandle File, MP4TrackId Track)
{
    uint8_t* Config = reinterpret_cast<uint8_t*>(1);
    uint32_t Size = 1;
    bool Given = Api().ESConfiguration(File, Track, &Config, &Size);
    EXPECT_EQ(Given, Config != nullptr);
    EXPECT_EQ(Given, Size != 0);
    std::vector<uint8_t> Bytes(Config, Config + Size);
    Api().Free(Config);
    return Bytes;
}

// ---- Fixtures and ffmpeg's view of them ----

const char* Tone = "sine=frequency=440:sample_rate=44100:duration=3";

// An MP4 file ffmpeg writes from a tone: Args hold the maps and codecs.
std::string Encoded(const std::string& Name, const std::string& Args, const std::string& Input = Tone)
{
    std::string Path = FixturePath(Name);
    zebtest::MakeFixtureOnce(Path, [&](const std::string& Own) {
        return "ffmpeg -nostdin -v error -y -f lavfi -i " + Input + " " + Args + " -f mp4 " + Own + " 2>/dev/null";
    });
    return Path;
}

struct Packet {
    int64_t Dts;
    size_t Size;
};

// The packets of stream Index as ffprobe reads them, stored timestamps.
std::vector<Packet> ProbePackets(const std::string& Path, int Index)
{
    auto Result = RunProcess({"/usr/bin/env", "ffprobe", "-v", "error", "-ignore_editlist", "1", "-select_streams",
                              std::to_string(Index), "-show_entries", "packet=dts,size", "-of", "csv=p=0", Path});
    std::vector<Packet> Packets;
    std::istringstream Lines(Result.Out);
    std::string Line;
    while (std::getline(Lines, Line)) {
        Packet P{};
        if (std::sscanf(Line.c_str(), "%ld,%zu", &P.Dts, &P.Size) == 2)
            Packets.push_back(P);
    }
    return Packets;
}

int64_t ProbeDuration(const std::string& Path, int Index)
{
    auto Result = RunProcess({"/usr/bin/env", "ffprobe", "-v", "error", "-ignore_editlist", "1", "-select_streams",
                              std::to_string(Index), "-show_entries", "stream=duration_ts", "-of", "csv=p=0", Path});
    return std::atoll(Result.Out.c_str());
}

// Stream Index's stored bytes, all packets in a row, as ffmpeg copies them.
std::string CopiedBytes(const std::string& Path, int Index)
{
    return RunProcess({"/usr/bin/env", "ffmpeg", "-nostdin", "-v", "error", "-ignore_editlist", "1", "-i", Path, "-map",
                       "0:" + std::to_string(Index), "-c", "copy", "-f", "data", "-"})
        .Out;
}

std::string Joined(const std::vector<Sample>& Samples)
{
    std::string All;
    for (const auto& S : Samples)
        All.append(S.Bytes.begin(), S.Bytes.end());
    return All;
}

// Every sample of track Index + 1 against ffprobe's packets and ffmpeg's copy.
void ExpectSamplesAsFfmpeg(const std::string& Path, MP4FileHandle File, int Index)
{
    MP4TrackId Track = static_cast<MP4TrackId>(Index + 1);
    std::vector<Sample> Samples = ReadAll(File, Track);
    std::vector<Packet> Packets = ProbePackets(Path, Index);
    ASSERT_FALSE(Packets.empty()) << Path;
    ASSERT_EQ(Samples.size(), Packets.size()) << Path;
    for (size_t i = 0; i < Samples.size(); ++i) {
        EXPECT_EQ(Samples[i].Bytes.size(), Packets[i].Size) << "sample " << i + 1;
        EXPECT_EQ(static_cast<int64_t>(Samples[i].Start), Packets[i].Dts - Packets[0].Dts) << "sample " << i + 1;
        if (i + 1 < Samples.size()) {
            EXPECT_EQ(Samples[i].Start + Samples[i].Duration, Samples[i + 1].Start) << "sample " << i + 1;
        }
    }
    EXPECT_TRUE(Joined(Samples) == CopiedBytes(Path, Index)) << Path;
}

class Mp4Module : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(Api().Module, nullptr) << dlerror();
        if (!HaveTool("ffmpeg") || !HaveTool("ffprobe"))
            GTEST_SKIP() << "ffmpeg not available";
    }
};

// ---- Tracks, types, configurations ----

TEST_F(Mp4Module, AacTrackIsListedWithItsAudioSpecificConfig)
{
    std::string Path = Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    ASSERT_EQ(Api().NumberOfTracks(File.Handle, nullptr, 0), 1u);
    MP4TrackId Track = Api().FindTrackId(File.Handle, 0, nullptr, 0);
    EXPECT_EQ(Track, 1u);
    EXPECT_STREQ(Api().TrackType(File.Handle, Track), "soun");
    EXPECT_EQ(Api().FindTrackId(File.Handle, 1, nullptr, 0), MP4_INVALID_TRACK_ID);
    std::vector<uint8_t> Config = Configuration(File.Handle, Track);
    ASSERT_GE(Config.size(), 2u);
    // AudioSpecificConfig: object type 5 bits, rate index 4 bits, channels 4 bits.
    EXPECT_EQ(Config[0] >> 3, 2) << "AAC LC";
    EXPECT_EQ(((Config[0] & 7) << 1) | (Config[1] >> 7), 4) << "44100 Hz";
    EXPECT_EQ((Config[1] >> 3) & 15, 1) << "mono";
}

TEST_F(Mp4Module, VideoAndAudioTracksKeepTheirOrderAndTypes)
{
    std::string Path = Encoded("mp4-video.mp4", "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -map 1:v -map 0:a "
                                                "-c:v mpeg4 -c:a aac");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    ASSERT_EQ(Api().NumberOfTracks(File.Handle, nullptr, 0), 2u);
    EXPECT_STREQ(Api().TrackType(File.Handle, 1), "vide");
    EXPECT_STREQ(Api().TrackType(File.Handle, 2), "soun");
    EXPECT_EQ(Api().NumberOfTracks(File.Handle, "soun", 0), 1u);
    EXPECT_EQ(Api().FindTrackId(File.Handle, 0, "soun", 0), 2u);
    EXPECT_TRUE(Configuration(File.Handle, 1).empty()) << "video has no AudioSpecificConfig";
    EXPECT_FALSE(Configuration(File.Handle, 2).empty());
    ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    ExpectSamplesAsFfmpeg(Path, File.Handle, 1);
}

TEST_F(Mp4Module, OtherAudioCodecsGiveNoConfiguration)
{
    struct Codec {
        const char* Name;
        const char* Args;
    };
    const Codec Codecs[] = {
        {"mp4-alac.m4a", "-c:a alac"},
        {"mp4-ac3.m4a", "-c:a ac3"},
        {"mp4-flac.m4a", "-c:a flac -strict -2"},
        {"mp4-opus.mp4", "-ar 48000 -c:a libopus -strict -2"},
        {"mp4-mp3.mp4", "-c:a libmp3lame"},
    };
    int Made = 0;
    for (const auto& C : Codecs) {
        std::string Path = Encoded(C.Name, C.Args);
        if (!Exists(Path))
            continue; // this ffmpeg lacks the encoder
        ++Made;
        OpenFile File(Path);
        ASSERT_NE(File.Handle, nullptr) << C.Name;
        EXPECT_STREQ(Api().TrackType(File.Handle, 1), "soun") << C.Name;
        EXPECT_TRUE(Configuration(File.Handle, 1).empty()) << C.Name;
        ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    }
    EXPECT_GE(Made, 2);
}

TEST_F(Mp4Module, AudioTrackWithoutConfigurationBeforeAnAacTrack)
{
    std::string Path = Encoded("mp4-alac-aac.m4a", "-map 0:a -map 0:a -c:a:0 alac -c:a:1 aac");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    ASSERT_EQ(Api().NumberOfTracks(File.Handle, nullptr, 0), 2u);
    for (uint16_t Index = 0; Index < 2; ++Index)
        EXPECT_STREQ(Api().TrackType(File.Handle, Api().FindTrackId(File.Handle, Index, nullptr, 0)), "soun");
    EXPECT_TRUE(Configuration(File.Handle, 1).empty());
    EXPECT_FALSE(Configuration(File.Handle, 2).empty());
    ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    ExpectSamplesAsFfmpeg(Path, File.Handle, 1);
}

// ---- Samples, durations, times ----

TEST_F(Mp4Module, EverySampleIsTheStoredPacket)
{
    for (const char* Flags : {"", "-movflags +faststart"}) {
        std::string Path = Encoded(std::string("mp4-stereo") + (*Flags ? "-fast" : "") + ".m4a",
                                   std::string("-ac 2 -c:a aac ") + Flags);
        OpenFile File(Path);
        ASSERT_NE(File.Handle, nullptr) << Path;
        ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    }
}

TEST_F(Mp4Module, FragmentedFileIsIndexedToItsEnd)
{
    std::string Path = Encoded("mp4-frag.m4a", "-c:a aac -movflags frag_keyframe+empty_moov -frag_duration 200000");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    EXPECT_GT(Api().NumberOfSamples(File.Handle, 1), 120u); // 3 s of 1024-sample frames
    ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
}

TEST_F(Mp4Module, DurationBitRateAndConversion)
{
    std::string Path = Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    MP4Duration Duration = 0;
    ASSERT_TRUE(Api().Duration(File.Handle, 1, &Duration));
    EXPECT_EQ(static_cast<int64_t>(Duration), ProbeDuration(Path, 0));
    MP4Duration Seconds = Duration;
    ASSERT_TRUE(Api().ConvertDuration(File.Handle, 1, &Seconds, 1));
    EXPECT_EQ(Seconds, Duration / 44100);
    MP4Duration Ms = Duration;
    ASSERT_TRUE(Api().ConvertDuration(File.Handle, 1, &Ms, 1000));
    EXPECT_EQ(Ms, Duration * 1000 / 44100);
    // A value whose product with the scale needs more than 64 bits.
    MP4Duration Large = 44100ull << 40;
    ASSERT_TRUE(Api().ConvertDuration(File.Handle, 1, &Large, 1000000));
    EXPECT_EQ(Large, 1000000ull << 40);

    uint64_t Bytes = Joined(ReadAll(File.Handle, 1)).size();
    uint64_t Expected = Bytes * 8 * 44100 / Duration;
    uint32_t BitRate = Api().BitRate(File.Handle, 1);
    EXPECT_GT(BitRate, Expected * 95 / 100);
    EXPECT_LT(BitRate, Expected * 105 / 100);
}

TEST_F(Mp4Module, SampleIdFromMsTimeCountsSamplesEndedBy)
{
    std::string Path = Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    const uint32_t Count = Api().NumberOfSamples(File.Handle, 1);
    ASSERT_GT(Count, 100u);
    auto At = [&](uint64_t Ms) { return Api().SampleIdFromMsTime(File.Handle, 1, Ms, false); };
    // 1024-sample frames at 44100 Hz: the first ends at 23.2 ms.
    EXPECT_EQ(At(0), 0u);
    EXPECT_EQ(At(23), 0u);
    EXPECT_EQ(At(24), 1u);
    EXPECT_EQ(At(1000), 44100u / 1024);
    MP4Duration Duration = 0;
    ASSERT_TRUE(Api().Duration(File.Handle, 1, &Duration));
    uint64_t EndMs = (Duration * 1000 + 44099) / 44100;
    EXPECT_EQ(At(EndMs - 1), Count - 1);
    EXPECT_EQ(At(EndMs), Count);
    EXPECT_EQ(At(UINT64_MAX), Count);
    EXPECT_EQ(Api().SampleIdFromMsTime(File.Handle, 1, 1000, true), 44100u / 1024) << "every AAC sample is a sync sample";
}

TEST_F(Mp4Module, CallersBufferMustHoldTheSample)
{
    std::string Path = Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k");
    OpenFile File(Path);
    ASSERT_NE(File.Handle, nullptr);
    Sample First;
    ASSERT_TRUE(ReadOne(File.Handle, 1, 1, &First));
    std::vector<uint8_t> Buffer(First.Bytes.size());
    uint8_t* Bytes = Buffer.data();
    uint32_t Capacity = static_cast<uint32_t>(Buffer.size() - 1);
    EXPECT_FALSE(Api().ReadSample(File.Handle, 1, 1, &Bytes, &Capacity, nullptr, nullptr, nullptr, nullptr));
    Capacity = static_cast<uint32_t>(Buffer.size());
    ASSERT_TRUE(Api().ReadSample(File.Handle, 1, 1, &Bytes, &Capacity, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(Bytes, Buffer.data());
    EXPECT_EQ(Buffer, First.Bytes);
}

// ---- Damaged and refused input ----

TEST_F(Mp4Module, TruncatedFileReadsWhatIsThere)
{
    std::string Full = Encoded("mp4-stereo-fast.m4a", "-ac 2 -c:a aac -movflags +faststart");
    std::vector<uint8_t> Bytes = ReadFile(Full);
    ASSERT_GT(Bytes.size(), 1000u);
    std::string Cut = FixturePath("mp4-cut.m4a");
    zebtest::WriteFile(Cut, std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + Bytes.size() * 2 / 3));
    OpenFile Whole(Full);
    OpenFile File(Cut);
    ASSERT_NE(File.Handle, nullptr);
    const uint32_t Count = Api().NumberOfSamples(File.Handle, 1);
    ASSERT_EQ(Count, Api().NumberOfSamples(Whole.Handle, 1)) << "the sample table is whole";
    uint32_t Readable = 0;
    for (MP4SampleId Id = 1; Id <= Count; ++Id) {
        Sample Here, There;
        if (!ReadOne(File.Handle, 1, Id, &Here))
            break;
        ASSERT_TRUE(ReadOne(Whole.Handle, 1, Id, &There));
        EXPECT_EQ(Here.Bytes, There.Bytes) << "sample " << Id;
        ++Readable;
    }
    EXPECT_GT(Readable, Count / 3);
    EXPECT_LT(Readable, Count);
    for (MP4SampleId Id = Readable + 1; Id <= Count; ++Id) {
        Sample Past;
        EXPECT_FALSE(ReadOne(File.Handle, 1, Id, &Past)) << "sample " << Id;
    }
}

TEST_F(Mp4Module, NonMp4FilesAreRefused)
{
    std::string Adts = FixturePath("mp4-tone.aac");
    zebtest::MakeFixtureOnce(Adts, [&](const std::string& Own) {
        return std::string("ffmpeg -nostdin -v error -y -f lavfi -i ") + Tone + " -c:a aac -f adts " + Own;
    });
    std::string Wav = FixturePath("mp4-tone.wav");
    zebtest::WriteWav(Wav, 44100, 1, 16, zebtest::TestPcm(4410, 1, 44100));
    std::string Empty = FixturePath("mp4-empty.m4a");
    zebtest::WriteFile(Empty, {});
    for (const std::string& Path : {Adts, Wav, Empty, FixturePath("mp4-absent.m4a"), zebtest::FixtureDir()})
        EXPECT_EQ(OpenFile(Path).Handle, nullptr) << Path;
}

TEST_F(Mp4Module, FifoIsRefusedWithoutBlocking)
{
    std::string Fifo = FixturePath("mp4-fifo." + std::to_string(getpid()) + ".m4a");
    unlink(Fifo.c_str());
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    auto Refused = std::make_shared<bool>(false);
    EXPECT_TRUE(zebtest::ReturnsWithin(20000, [Fifo, Refused] { *Refused = OpenFile(Fifo).Handle == nullptr; }));
    EXPECT_TRUE(*Refused);
    unlink(Fifo.c_str());
}

TEST_F(Mp4Module, NullHandlesUnknownTracksAndSamples)
{
    const Mp4Api& A = Api();
    EXPECT_EQ(A.Read(nullptr, 0), nullptr);
    EXPECT_EQ(A.NumberOfTracks(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(A.FindTrackId(nullptr, 0, nullptr, 0), MP4_INVALID_TRACK_ID);
    A.Close(nullptr);
    A.Free(nullptr);
    OpenFile File(Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k"));
    ASSERT_NE(File.Handle, nullptr);
    for (MP4TrackId Bad : {0u, 2u, 0xFFFFFFFFu}) {
        EXPECT_EQ(A.TrackType(File.Handle, Bad), nullptr);
        EXPECT_TRUE(Configuration(File.Handle, Bad).empty());
        MP4Duration D = 7;
        EXPECT_FALSE(A.Duration(File.Handle, Bad, &D));
        EXPECT_FALSE(A.ConvertDuration(File.Handle, Bad, &D, 1));
        EXPECT_EQ(A.BitRate(File.Handle, Bad), 0u);
        EXPECT_EQ(A.NumberOfSamples(File.Handle, Bad), 0u);
        EXPECT_EQ(A.SampleIdFromMsTime(File.Handle, Bad, 0, false), 0u);
        Sample S;
        EXPECT_FALSE(ReadOne(File.Handle, Bad, 1, &S));
    }
    Sample S;
    EXPECT_FALSE(ReadOne(File.Handle, 1, 0, &S));
    EXPECT_FALSE(A.ReadSample(File.Handle, 1, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(A.Duration(File.Handle, 1, nullptr));
    EXPECT_FALSE(A.ESConfiguration(File.Handle, 1, nullptr, nullptr));
}

// ---- Real-world files ----

bool IsMp4Name(const std::string& Path)
{
    for (const char* Ext : {".m4a", ".mp4", ".m4b", ".mov"})
        if (Path.size() > 4 && strcasecmp(Path.c_str() + Path.size() - 4, Ext) == 0)
            return true;
    return false;
}

// Every query on every track and every sample; refused files are fine.
void Walk(MP4FileHandle File)
{
    const Mp4Api& A = Api();
    uint32_t Tracks = A.NumberOfTracks(File, nullptr, 0);
    for (uint32_t Index = 0; Index < Tracks; ++Index) {
        MP4TrackId Track = A.FindTrackId(File, static_cast<uint16_t>(Index), nullptr, 0);
        ASSERT_NE(Track, MP4_INVALID_TRACK_ID);
        ASSERT_NE(A.TrackType(File, Track), nullptr);
        Configuration(File, Track);
        MP4Duration Duration = 0;
        EXPECT_TRUE(A.Duration(File, Track, &Duration));
        EXPECT_TRUE(A.ConvertDuration(File, Track, &Duration, 1));
        A.BitRate(File, Track);
        uint32_t Count = A.NumberOfSamples(File, Track);
        EXPECT_LE(A.SampleIdFromMsTime(File, Track, Duration * 500, false), Count);
        EXPECT_EQ(A.SampleIdFromMsTime(File, Track, UINT64_MAX, true), Count);
        for (MP4SampleId Id = 1; Id <= Count; ++Id) {
            Sample S;
            ReadOne(File, Track, Id, &S);
        }
    }
}

TEST_F(Mp4Module, CorpusFilesOpenOrAreRefused)
{
    size_t Tried = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        if (!IsMp4Name(Path))
            return;
        ++Tried;
        SCOPED_TRACE(Path);
        OpenFile File(Path);
        if (File.Handle)
            Walk(File.Handle);
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
