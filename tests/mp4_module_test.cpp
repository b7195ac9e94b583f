// The MP4 file module loaded as the AAC engine loads it: tracks, types and
// configurations, every sample's bytes and times against ffmpeg's reading of
// the same file, time look-ups, damaged and refused files, the corpus.
#include "mp4/zeb_mp4.h"

#include "support/host.h"
#include "support/returns_within.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/version.h>
}

#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using zebtest::FixturePath;

// The entry points, resolved by name from the built module.
struct Mp4Api {
    void* Module = dlopen(ZEB_BUILD_DIR "/zeb-audio/libzeb-mp4.so", RTLD_NOW | RTLD_LOCAL);
    template <typename Fn> Fn Get(const char* Name) const
    {
        return Module ? reinterpret_cast<Fn>(dlsym(Module, Name)) : nullptr;
    }
    MP4ReadFn Read = Get<MP4ReadFn>("MP4Read");
    MP4GetNumberOfTracksFn NumberOfTracks = Get<MP4GetNumberOfTracksFn>("MP4GetNumberOfTracks");
    MP4FindTrackIdFn FindTrackId = Get<MP4FindTrackIdFn>("MP4FindTrackId");
    MP4GetTrackTypeFn TrackType = Get<MP4GetTrackTypeFn>("MP4GetTrackType");
    MP4GetTrackESConfigurationFn ESConfiguration = Get<MP4GetTrackESConfigurationFn>("MP4GetTrackESConfiguration");
    rtlFreeFn Free = Get<rtlFreeFn>("rtlFree");
    MP4GetTrackDurationExFn Duration = Get<MP4GetTrackDurationExFn>("MP4GetTrackDurationEx");
    MP4ConvertFromTrackDurationExFn Convert = Get<MP4ConvertFromTrackDurationExFn>("MP4ConvertFromTrackDurationEx");
    MP4GetTrackBitRateFn BitRate = Get<MP4GetTrackBitRateFn>("MP4GetTrackBitRate");
    MP4GetTrackNumberOfSamplesFn NumberOfSamples = Get<MP4GetTrackNumberOfSamplesFn>("MP4GetTrackNumberOfSamples");
    MP4ReadSampleFn ReadSample = Get<MP4ReadSampleFn>("MP4ReadSample");
    MP4GetSampleIdFromMsTimeFn SampleIdAt = Get<MP4GetSampleIdFromMsTimeFn>("MP4GetSampleIdFromMsTime");
    MP4CloseFn Close = Get<MP4CloseFn>("MP4Close");
    bool Complete() const
    {
        return Read && NumberOfTracks && FindTrackId && TrackType && ESConfiguration && Free && Duration && Convert &&
               BitRate && NumberOfSamples && ReadSample && SampleIdAt && Close;
    }
};

const Mp4Api& Api()
{
    static const Mp4Api Loaded;
    return Loaded;
}

struct OpenFile {
    MP4FileHandle Handle;
    explicit OpenFile(const std::string& Path) : Handle(Api().Read(Path.c_str(), 0)) {}
    ~OpenFile() { Api().Close(Handle); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
};

struct Sample {
    std::string Bytes;
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
        EXPECT_EQ(Bytes, nullptr) << "nothing allocated on failure";
        return false;
    }
    Out->Bytes.assign(reinterpret_cast<char*>(Bytes), Count);
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

std::string Joined(const std::vector<Sample>& Samples)
{
    std::string All;
    for (const auto& S : Samples)
        All += S.Bytes;
    return All;
}

std::vector<uint8_t> Configuration(MP4FileHandle File, MP4TrackId Track)
{
    uint8_t* Config = reinterpret_cast<uint8_t*>(1);
    uint32_t Size = 1;
    bool Given = Api().ESConfiguration(File, Track, &Config, &Size);
    EXPECT_EQ(Given, Config != nullptr && Size != 0);
    std::vector<uint8_t> Bytes(Config, Config + Size);
    Api().Free(Config);
    return Bytes;
}

bool Exists(const std::string& Path)
{
    struct stat St;
    return stat(Path.c_str(), &St) == 0 && St.st_size > 0;
}

// An MP4 file ffmpeg writes from a 3 s tone at 44100 Hz; Args: maps, codecs.
std::string Encoded(const std::string& Name, const std::string& Args)
{
    std::string Path = FixturePath(Name);
    zebtest::MakeFixtureOnce(Path, [&](const std::string& Own) {
        return "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=3 " +
               Args + " -f mp4 " + Own + " 2>/dev/null";
    });
    return Path;
}

// ffmpeg's and ffprobe's view of stream Index, stored samples untrimmed.
std::string Ff(const char* Tool, const std::string& Path, int Index, std::vector<std::string> Args)
{
    std::vector<std::string> Argv = {"/usr/bin/env", Tool, "-v", "error", "-ignore_editlist", "1"};
    if (std::string(Tool) == "ffprobe")
        Argv.insert(Argv.end(), {"-select_streams", std::to_string(Index), Path});
    else
        Argv.insert(Argv.end(), {"-nostdin", "-i", Path, "-map", "0:" + std::to_string(Index)});
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    return zebtest::RunProcess(Argv).Out;
}

// Every sample of track Index + 1 against ffprobe's packets (size, time and
// key flag) and against ffmpeg's stream copy (bytes).
void ExpectSamplesAsFfmpeg(const std::string& Path, MP4FileHandle File, int Index)
{
    SCOPED_TRACE(Path);
    std::vector<Sample> Samples = ReadAll(File, static_cast<MP4TrackId>(Index + 1));
    std::istringstream Packets(
        Ff("ffprobe", Path, Index, {"-show_entries", "packet=dts,size,flags", "-of", "csv=p=0"}));
    long FirstDts = 0;
    size_t Count = 0;
    for (std::string Line; std::getline(Packets, Line); ++Count) {
        long Dts = 0;
        size_t Size = 0;
        char Key = 0;
        ASSERT_EQ(std::sscanf(Line.c_str(), "%ld,%zu,%c", &Dts, &Size, &Key), 3) << Line;
        FirstDts = Count ? FirstDts : Dts;
        ASSERT_LT(Count, Samples.size());
        EXPECT_EQ(Samples[Count].Bytes.size(), Size) << "sample " << Count + 1;
        EXPECT_EQ(static_cast<long>(Samples[Count].Start), Dts - FirstDts) << "sample " << Count + 1;
        EXPECT_EQ(Samples[Count].Sync, Key == 'K') << "sample " << Count + 1;
        if (Count + 1 < Samples.size()) {
            EXPECT_EQ(Samples[Count].Start + Samples[Count].Duration, Samples[Count + 1].Start);
        }
    }
    EXPECT_GT(Count, 0u);
    EXPECT_EQ(Count, Samples.size());
    EXPECT_TRUE(Joined(Samples) == Ff("ffmpeg", Path, Index, {"-c", "copy", "-f", "data", "-"}));
}

uint32_t Be32(const uint8_t* P)
{
    return (uint32_t{P[0]} << 24) | (uint32_t{P[1]} << 16) | (uint32_t{P[2]} << 8) | P[3];
}

void PutBe(std::vector<uint8_t>& Out, uint64_t V, int Bytes)
{
    while (Bytes--)
        Out.push_back(static_cast<uint8_t>(V >> (8 * Bytes)));
}

// The file with 64-bit chunk offsets ("co64" for "stco") and a 64-bit
// "mdat" size, which moves the media data 8 bytes on; for a "moov" after
// the media data, as ffmpeg writes it by default.
std::vector<uint8_t> WithLargeOffsets(const uint8_t* Data, size_t Size)
{
    constexpr uint32_t Shift = 8;
    std::vector<uint8_t> Out;
    for (size_t Pos = 0; Pos + 8 <= Size;) {
        uint32_t BoxSize = Be32(Data + Pos);
        if (BoxSize < 8 || BoxSize > Size - Pos)
            return ADD_FAILURE() << "box sizes this rewrite does not handle", Out;
        std::string Type(reinterpret_cast<const char*>(Data + Pos + 4), 4);
        const uint8_t* Body = Data + Pos + 8;
        const uint32_t BodySize = BoxSize - 8;
        std::vector<uint8_t> Inner;
        if (std::string("moov trak mdia minf stbl").find(Type) != std::string::npos) {
            Inner = WithLargeOffsets(Body, BodySize);
        } else if (Type == "stco" && BodySize >= 8 && (BodySize - 8) / 4 >= Be32(Body + 4)) {
            Type = "co64";
            Inner.assign(Body, Body + 8);
            for (uint32_t i = 0; i < Be32(Body + 4); ++i)
                PutBe(Inner, uint64_t{Be32(Body + 8 + 4 * i)} + Shift, 8);
        } else if (Type != "mdat") {
            Inner.assign(Body, Body + BodySize);
        }
        if (Type == "mdat") {
            PutBe(Out, 1, 4);
            Out.insert(Out.end(), Type.begin(), Type.end());
            PutBe(Out, uint64_t{BoxSize} + Shift, 8);
            Out.insert(Out.end(), Body, Body + BodySize);
        } else {
            PutBe(Out, Inner.size() + 8, 4);
            Out.insert(Out.end(), Type.begin(), Type.end());
            Out.insert(Out.end(), Inner.begin(), Inner.end());
        }
        Pos += BoxSize;
    }
    return Out;
}

class Mp4Module : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Api().Complete()) << dlerror();
        if (!zebtest::HaveTool("ffmpeg") || !zebtest::HaveTool("ffprobe"))
            GTEST_SKIP() << "ffmpeg not available";
    }
    const std::string Mono = Encoded("mp4-mono.m4a", "-c:a aac -b:a 128k");
};

TEST_F(Mp4Module, TracksTypesAndConfigurations)
{
    OpenFile File(Mono);
    ASSERT_NE(File.Handle, nullptr);
    EXPECT_EQ(Api().NumberOfTracks(File.Handle, nullptr, 0), 1u);
    EXPECT_EQ(Api().FindTrackId(File.Handle, 0, nullptr, 0), 1u);
    EXPECT_EQ(Api().FindTrackId(File.Handle, 1, nullptr, 0), MP4_INVALID_TRACK_ID);
    EXPECT_STREQ(Api().TrackType(File.Handle, 1), "soun");
    std::vector<uint8_t> Config = Configuration(File.Handle, 1);
    ASSERT_GE(Config.size(), 2u);
    // AudioSpecificConfig: object type 5 bits, rate index 4 bits, channels 4 bits.
    EXPECT_EQ(Config[0] >> 3, 2) << "AAC LC";
    EXPECT_EQ(((Config[0] & 7) << 1) | (Config[1] >> 7), 4) << "44100 Hz";
    EXPECT_EQ((Config[1] >> 3) & 15, 1) << "mono";

    std::string Video = Encoded("mp4-video.mp4", "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -map 1:v "
                                                 "-map 0:a -c:v mpeg4 -c:a aac");
    OpenFile Both(Video);
    ASSERT_EQ(Api().NumberOfTracks(Both.Handle, nullptr, 0), 2u);
    EXPECT_STREQ(Api().TrackType(Both.Handle, 1), "vide");
    EXPECT_STREQ(Api().TrackType(Both.Handle, 2), "soun");
    EXPECT_EQ(Api().NumberOfTracks(Both.Handle, "soun", 0), 1u);
    EXPECT_EQ(Api().FindTrackId(Both.Handle, 0, "soun", 0), 2u);
    EXPECT_TRUE(Configuration(Both.Handle, 1).empty());
    ExpectSamplesAsFfmpeg(Video, Both.Handle, 0);
    ExpectSamplesAsFfmpeg(Video, Both.Handle, 1);

    // An audio track without configuration first: both listed, the second has one.
    std::string Two = Encoded("mp4-alac-aac.m4a", "-map 0:a -map 0:a -c:a:0 alac -c:a:1 aac");
    OpenFile Pair(Two);
    ASSERT_EQ(Api().NumberOfTracks(Pair.Handle, "soun", 0), 2u);
    EXPECT_TRUE(Configuration(Pair.Handle, 1).empty());
    EXPECT_FALSE(Configuration(Pair.Handle, 2).empty());
    ExpectSamplesAsFfmpeg(Two, Pair.Handle, 1);
}

TEST_F(Mp4Module, OtherAudioCodecsGiveNoConfiguration)
{
    int Made = 0;
    for (auto [Name, Args] : {std::pair{"mp4-alac.m4a", "-c:a alac"}, {"mp4-ac3.m4a", "-c:a ac3"},
                              {"mp4-flac.m4a", "-c:a flac -strict -2"}, {"mp4-mp3.mp4", "-c:a libmp3lame"},
                              {"mp4-opus.mp4", "-ar 48000 -c:a libopus -strict -2"}}) {
        std::string Path = Encoded(Name, Args);
        if (!Exists(Path))
            continue; // this ffmpeg lacks the encoder
        ++Made;
        OpenFile File(Path);
        ASSERT_NE(File.Handle, nullptr) << Name;
        EXPECT_STREQ(Api().TrackType(File.Handle, 1), "soun") << Name;
        EXPECT_TRUE(Configuration(File.Handle, 1).empty()) << Name;
        ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    }
    EXPECT_GE(Made, 2);
}

TEST_F(Mp4Module, SamplesAreTheStoredPackets)
{
    std::string Stereo = Encoded("mp4-stereo.m4a", "-ac 2 -c:a aac");
    std::string Large = FixturePath("mp4-co64.m4a");
    std::vector<uint8_t> Bytes = zebtest::ReadFile(Stereo);
    zebtest::WriteFile(Large, WithLargeOffsets(Bytes.data(), Bytes.size()));
    // With a global segment index the demuxer reads only the first fragment
    // when it opens the file.
    std::string Fragmented = Encoded("mp4-frag-sidx.m4a", "-c:a aac -frag_duration 200000 "
                                                          "-movflags frag_keyframe+empty_moov+global_sidx");
    std::string FastStart = Encoded("mp4-fast.m4a", "-c:a aac -movflags +faststart");
    // Twelve seconds of audio in chunks between those of a video track with
    // key frames every seventh frame; a video track alone whose frame rate
    // pauses within a chunk.
    std::string Interleaved = Encoded("mp4-av.mp4", "-f lavfi -i sine=frequency=300:sample_rate=44100:duration=12 "
                                                    "-f lavfi -i testsrc=size=32x32:rate=10:duration=12 -map 1:a "
                                                    "-map 2:v -c:a aac -c:v mpeg4 -g 7");
    std::string Paused = Encoded("mp4-paused.mp4", "-f lavfi -i testsrc=size=32x32:rate=10:duration=15 -map 1:v "
                                                  "-c:v mpeg4 -g 7 -fps_mode passthrough "
                                                  "-vf \"setpts=PTS+gte(N\\,54)*4/TB\"");
    for (const std::string& Path : {Mono, Stereo, Large, FastStart, Fragmented, Interleaved, Paused}) {
        OpenFile File(Path);
        ASSERT_NE(File.Handle, nullptr) << Path;
        EXPECT_GT(Api().NumberOfSamples(File.Handle, 1), 120u) << Path; // 3 s of 1024-sample frames
        ExpectSamplesAsFfmpeg(Path, File.Handle, 0);
    }
    OpenFile Av(Interleaved);
    ExpectSamplesAsFfmpeg(Interleaved, Av.Handle, 1);
    OpenFile A(Stereo), B(Large);
    EXPECT_TRUE(Joined(ReadAll(A.Handle, 1)) == Joined(ReadAll(B.Handle, 1))) << "64-bit offsets";

    // A buffer of the caller's: its size must hold the sample.
    Sample First;
    ASSERT_TRUE(ReadOne(A.Handle, 1, 1, &First));
    std::vector<uint8_t> Buffer(First.Bytes.size());
    uint8_t* Into = Buffer.data();
    uint32_t Capacity = static_cast<uint32_t>(Buffer.size() - 1);
    EXPECT_FALSE(Api().ReadSample(A.Handle, 1, 1, &Into, &Capacity, nullptr, nullptr, nullptr, nullptr));
    Capacity = static_cast<uint32_t>(Buffer.size());
    ASSERT_TRUE(Api().ReadSample(A.Handle, 1, 1, &Into, &Capacity, nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(Into == Buffer.data() && std::string(Buffer.begin(), Buffer.end()) == First.Bytes);
}

TEST_F(Mp4Module, DurationBitRateAndTimeLookUp)
{
    OpenFile File(Mono);
    ASSERT_NE(File.Handle, nullptr);
    MP4Duration Duration = 0;
    ASSERT_TRUE(Api().Duration(File.Handle, 1, &Duration));
    std::string Probed = Ff("ffprobe", Mono, 0, {"-show_entries", "stream=duration_ts", "-of", "csv=p=0"});
    EXPECT_EQ(std::to_string(Duration) + "\n", Probed);
    MP4Duration Seconds = Duration, Ms = Duration, Large = 44100ull << 40;
    ASSERT_TRUE(Api().Convert(File.Handle, 1, &Seconds, 1) && Api().Convert(File.Handle, 1, &Ms, 1000));
    EXPECT_EQ(Seconds, Duration / 44100);
    EXPECT_EQ(Ms, Duration * 1000 / 44100);
    ASSERT_TRUE(Api().Convert(File.Handle, 1, &Large, 1000000)); // needs more than 64 bits on the way
    EXPECT_EQ(Large, 1000000ull << 40);

    uint64_t Expected = Joined(ReadAll(File.Handle, 1)).size() * 8 * 44100 / Duration;
    EXPECT_NEAR(Api().BitRate(File.Handle, 1), Expected, Expected / 20);

    // 1024-sample frames at 44100 Hz: the first ends at 23.2 ms.
    const uint32_t Count = Api().NumberOfSamples(File.Handle, 1);
    auto At = [&](uint64_t Ms) { return Api().SampleIdAt(File.Handle, 1, Ms, false); };
    EXPECT_EQ(At(0), 0u);
    EXPECT_EQ(At(23), 0u);
    EXPECT_EQ(At(24), 1u);
    EXPECT_EQ(At(1000), 44100u / 1024);
    EXPECT_EQ(Api().SampleIdAt(File.Handle, 1, 1000, true), 44100u / 1024) << "AAC samples are all sync samples";
    uint64_t EndMs = (Duration * 1000 + 44099) / 44100;
    EXPECT_EQ(At(EndMs - 1), Count - 1);
    EXPECT_EQ(At(EndMs), Count);
    EXPECT_EQ(At(UINT64_MAX), Count);
}

TEST_F(Mp4Module, TruncatedFileReadsWhatIsThere)
{
    std::string Full = Encoded("mp4-fast.m4a", "-c:a aac -movflags +faststart");
    std::vector<uint8_t> Bytes = zebtest::ReadFile(Full);
    std::string Cut = FixturePath("mp4-cut.m4a");
    zebtest::WriteFile(Cut, std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + Bytes.size() * 2 / 3));
    OpenFile Whole(Full), File(Cut);
    ASSERT_NE(File.Handle, nullptr);
    const uint32_t Count = Api().NumberOfSamples(File.Handle, 1);
    ASSERT_EQ(Count, Api().NumberOfSamples(Whole.Handle, 1)) << "the sample table is whole";
    uint32_t Readable = 0;
    for (Sample Here, There; ReadOne(File.Handle, 1, Readable + 1, &Here); ++Readable) {
        ASSERT_TRUE(ReadOne(Whole.Handle, 1, Readable + 1, &There));
        EXPECT_EQ(Here.Bytes, There.Bytes) << "sample " << Readable + 1;
    }
    EXPECT_GT(Readable, Count / 3);
    EXPECT_LT(Readable, Count);
    for (MP4SampleId Id = Readable + 1; Id <= Count; ++Id) {
        Sample Past;
        EXPECT_FALSE(ReadOne(File.Handle, 1, Id, &Past)) << "sample " << Id;
    }
}

TEST_F(Mp4Module, OtherFilesAreRefusedAtOnce)
{
    std::string Adts = FixturePath("mp4-tone.aac");
    zebtest::MakeFixtureOnce(Adts, [&](const std::string& Own) {
        return "ffmpeg -nostdin -v error -y -i " + Mono + " -c copy -f adts " + Own;
    });
    std::string Wav = FixturePath("mp4-tone.wav");
    zebtest::WriteWav(Wav, 44100, 1, 16, zebtest::TestPcm(4410, 1, 44100));
    std::string Empty = FixturePath("mp4-empty.m4a");
    zebtest::WriteFile(Empty, {});
    for (const std::string& Path : {Adts, Wav, Empty, FixturePath("mp4-absent.m4a"), zebtest::FixtureDir()})
        EXPECT_EQ(OpenFile(Path).Handle, nullptr) << Path;
    EXPECT_EQ(Api().Read(nullptr, 0), nullptr);

    std::string Fifo = FixturePath("mp4-fifo." + std::to_string(getpid()) + ".m4a");
    unlink(Fifo.c_str());
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    auto Refused = std::make_shared<bool>(false);
    EXPECT_TRUE(zebtest::ReturnsWithin(20000, [Fifo, Refused] { *Refused = OpenFile(Fifo).Handle == nullptr; }));
    EXPECT_TRUE(*Refused);
    unlink(Fifo.c_str());
}

// An AAC track's sample larger than any AAC frame is not read (its size is
// never allocated); a fragmented file too large to index at open is refused.
TEST_F(Mp4Module, WorkIsBoundedByWhatAnAacFileCanHold)
{
    std::vector<uint8_t> Bytes = zebtest::ReadFile(Mono);
    std::string Table = "stsz";
    auto At = std::search(Bytes.begin(), Bytes.end(), Table.begin(), Table.end());
    ASSERT_NE(At, Bytes.end());
    size_t Stsz = static_cast<size_t>(At - Bytes.begin()) - 4;
    uint32_t Count = Be32(&Bytes[Stsz + 16]);
    ASSERT_GT(Count, 100u);
    std::vector<uint8_t> Entry;
    PutBe(Entry, 100000, 4); // the last sample, its bytes reaching into the padding
    std::copy(Entry.begin(), Entry.end(), Bytes.begin() + static_cast<long>(Stsz + 20 + 4 * (Count - 1)));
    Bytes.resize(Bytes.size() + 128 * 1024, 0);
    std::string Oversized = FixturePath("mp4-oversized-sample.m4a");
    zebtest::WriteFile(Oversized, Bytes);
    OpenFile Clean(Mono), Damaged(Oversized);
    ASSERT_NE(Damaged.Handle, nullptr);
    ASSERT_EQ(Api().NumberOfSamples(Damaged.Handle, 1), Count);
    Sample A, B;
    ASSERT_TRUE(ReadOne(Damaged.Handle, 1, Count - 1, &A) && ReadOne(Clean.Handle, 1, Count - 1, &B));
    EXPECT_EQ(A.Bytes, B.Bytes);
    EXPECT_FALSE(ReadOne(Damaged.Handle, 1, Count, &A));

    // Fragments without a global index: read through at open, up to 128 MiB.
    std::string Fragmented = Encoded("mp4-frag.m4a", "-c:a aac -frag_duration 200000 -movflags frag_keyframe+empty_moov");
    for (off_t Size : {off_t{1} << 20, (off_t{128} << 20) + 1}) {
        std::string Padded = FixturePath("mp4-frag-padded.m4a");
        zebtest::WriteFile(Padded, zebtest::ReadFile(Fragmented));
        ASSERT_EQ(truncate(Padded.c_str(), Size), 0); // sparse: nothing is written
        OpenFile File(Padded);
        if (Size < (off_t{128} << 20)) {
            ASSERT_NE(File.Handle, nullptr);
            EXPECT_GT(Api().NumberOfSamples(File.Handle, 1), 120u);
            ExpectSamplesAsFfmpeg(Fragmented, File.Handle, 0);
        } else {
            EXPECT_EQ(File.Handle, nullptr);
        }
        unlink(Padded.c_str());
    }
}

// FFmpeg's messages ("moov atom not found") reach no host's standard error
// unless the host chose a log level of its own before loading the module.
TEST_F(Mp4Module, LoadingTheModuleQuietsFfmpegUnlessTheHostChoseALevel)
{
    std::string Junk = FixturePath("mp4-junk.m4a");
    zebtest::WriteFile(Junk, std::vector<uint8_t>(4096, 0x41));
    for (bool HostLevel : {false, true}) {
        SCOPED_TRACE(HostLevel ? "host level" : "default level");
        std::string Filter = HostLevel ? "*DISABLED_ReadJunkWithHostLevel" : "*DISABLED_ReadJunkWithDefaultLevel";
        zebtest::ProcessResult Run = zebtest::RunProcess(
            {"/proc/self/exe", "--gtest_also_run_disabled_tests", "--gtest_filter=" + Filter});
        EXPECT_TRUE(Run.Exited && Run.ExitCode == 0) << zebtest::DescribeEnd(Run) << Run.Out;
        EXPECT_EQ(Run.Err.find("moov atom not found") != std::string::npos, HostLevel) << Run.Err;
    }
}

using LogLevelFn = int (*)();
using SetLogLevelFn = void (*)(int);

// Run in a process of their own by the test above: the module loaded fresh.
void ReadJunkAfterLoading(int ExpectedLevel)
{
    void* Module = dlopen(ZEB_BUILD_DIR "/zeb-audio/libzeb-mp4.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Module, nullptr) << dlerror();
    auto Level = reinterpret_cast<LogLevelFn>(dlsym(Module, "av_log_get_level"));
    auto Read = reinterpret_cast<MP4ReadFn>(dlsym(Module, "MP4Read"));
    ASSERT_TRUE(Level && Read);
    EXPECT_EQ(Level(), ExpectedLevel);
    EXPECT_EQ(Read(FixturePath("mp4-junk.m4a").c_str(), 0), nullptr);
}

TEST(Mp4ModuleChild, DISABLED_ReadJunkWithDefaultLevel) { ReadJunkAfterLoading(AV_LOG_QUIET); }

TEST(Mp4ModuleChild, DISABLED_ReadJunkWithHostLevel)
{
    void* Util = dlopen("libavutil.so." AV_STRINGIFY(LIBAVUTIL_VERSION_MAJOR), RTLD_NOW | RTLD_GLOBAL);
    ASSERT_NE(Util, nullptr) << dlerror();
    reinterpret_cast<SetLogLevelFn>(dlsym(Util, "av_log_set_level"))(AV_LOG_ERROR);
    ReadJunkAfterLoading(AV_LOG_ERROR);
}

TEST_F(Mp4Module, NullHandlesUnknownTracksAndSamples)
{
    const Mp4Api& A = Api();
    EXPECT_EQ(A.NumberOfTracks(nullptr, nullptr, 0), 0u);
    EXPECT_EQ(A.FindTrackId(nullptr, 0, nullptr, 0), MP4_INVALID_TRACK_ID);
    A.Close(nullptr);
    A.Free(nullptr);
    OpenFile File(Mono);
    ASSERT_NE(File.Handle, nullptr);
    for (MP4TrackId Bad : {0u, 2u, 0xFFFFFFFFu}) {
        MP4Duration D = 7;
        Sample S;
        EXPECT_EQ(A.TrackType(File.Handle, Bad), nullptr);
        EXPECT_TRUE(Configuration(File.Handle, Bad).empty());
        EXPECT_FALSE(A.Duration(File.Handle, Bad, &D) || A.Convert(File.Handle, Bad, &D, 1));
        EXPECT_EQ(A.BitRate(File.Handle, Bad) + A.NumberOfSamples(File.Handle, Bad), 0u);
        EXPECT_EQ(A.SampleIdAt(File.Handle, Bad, 0, false), 0u);
        EXPECT_FALSE(ReadOne(File.Handle, Bad, 1, &S));
    }
    Sample S;
    EXPECT_FALSE(ReadOne(File.Handle, 1, 0, &S));
    EXPECT_FALSE(A.ReadSample(File.Handle, 1, 1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(A.Duration(File.Handle, 1, nullptr) || A.ESConfiguration(File.Handle, 1, nullptr, nullptr));
}

// Every query on every track and every sample of each corpus file that opens.
TEST_F(Mp4Module, CorpusFilesOpenOrAreRefused)
{
    size_t Tried = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        const char* Ext = Path.size() > 4 ? Path.c_str() + Path.size() - 4 : "";
        if (strcasecmp(Ext, ".m4a") && strcasecmp(Ext, ".mp4") && strcasecmp(Ext, ".m4b") && strcasecmp(Ext, ".mov"))
            return;
        ++Tried;
        SCOPED_TRACE(Path);
        OpenFile File(Path);
        for (uint32_t Index = 0; File.Handle && Index < Api().NumberOfTracks(File.Handle, nullptr, 0); ++Index) {
            MP4TrackId Track = Api().FindTrackId(File.Handle, static_cast<uint16_t>(Index), nullptr, 0);
            ASSERT_NE(Api().TrackType(File.Handle, Track), nullptr);
            Configuration(File.Handle, Track);
            MP4Duration Duration = 0;
            EXPECT_TRUE(Api().Duration(File.Handle, Track, &Duration));
            Api().BitRate(File.Handle, Track);
            uint32_t Count = Api().NumberOfSamples(File.Handle, Track);
            EXPECT_EQ(Api().SampleIdAt(File.Handle, Track, UINT64_MAX, true), Count);
            for (MP4SampleId Id = 1; Id <= Count; ++Id) {
                Sample S;
                ReadOne(File.Handle, Track, Id, &S);
            }
        }
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
