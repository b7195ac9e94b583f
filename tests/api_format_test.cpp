// ZEBAudioFormatErrorString, the queries that need no player, and the end
// of a host process while its players decode.
#include "zeb-audio.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/sound.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace zebtest;

namespace {

std::string Format(int Cmd, int Error)
{
    char Buffer[ZEB_ERROR_STRING_SIZE];
    memset(Buffer, 'x', sizeof Buffer);
    ZEBAudioFormatErrorString(Cmd, Error, Buffer);
    return Buffer;
}

TEST(FormatErrorString, NamesCommandAndError)
{
    EXPECT_EQ(Format(0x8004, 6),
              "Audio core error on ommand 'Seek', error: Invalid Parameters - invalid parameters passed for command");
    EXPECT_EQ(Format(0x8010, 13), "Audio core error on ommand 'Set Ouput Frequency', error: General command failure");
    EXPECT_EQ(Format(0x8000, 0), "Audio core error on ommand 'Input Open', error: Unknown error");
    EXPECT_EQ(Format(0x8014, 2),
              "Audio core error on ommand 'Get Main Volume', error: Output Open Error - error opening ouput device/media");
}

TEST(FormatErrorString, OutOfRangeCodes)
{
    for (int Cmd : {0x7FFF, 0x8015, 0x83E8, -1})
        EXPECT_EQ(Format(Cmd, 1), "Audio core error on ommand 'Unknown Command', error: Input Open Error - "
                                  "file not found or unsupported file format")
            << Cmd;
    EXPECT_NE(Format(0x8001, -1).find("error: Invalid Error Code"), std::string::npos);
    EXPECT_NE(Format(0x8001, 14).find("error: Invalid Error Code"), std::string::npos);
}

TEST(FormatErrorString, LongestTextFitsTheDocumentedBuffer)
{
    std::string Longest = Format(0x8009, 7);
    EXPECT_EQ(Longest.size(), static_cast<size_t>(ZEB_ERROR_STRING_SIZE - 1));
    EXPECT_EQ(Longest, "Audio core error on ommand 'Set Input Position Range', error: Input Not Open Error - "
                       "attempt to perform command with no input media open");
}

TEST(FormatErrorString, UnderscoreNameIsTheSameFunction)
{
    char A[ZEB_ERROR_STRING_SIZE], B[ZEB_ERROR_STRING_SIZE];
    ZEBAudioFormatErrorString(0x8002, 13, A);
    _ZEBAudioFormatErrorString(0x8002, 13, B);
    EXPECT_STREQ(A, B);
    EXPECT_EQ(reinterpret_cast<void*>(&ZEBAudioPlayerCreate), reinterpret_cast<void*>(&_ZEBAudioPlayerCreate));
}

// Every command has a plain exported function under both names, which a
// binding finds by name; the version reads major.minor.patch.
TEST(FormatErrorString, CommandFunctionsAndVersionAreExportedUnderBothNames)
{
    const char* const Names[] = {
        "ZEBAudioInputOpen", "ZEBAudioStop", "ZEBAudioPause", "ZEBAudioPlay", "ZEBAudioSeek",
        "ZEBAudioOutputOpenDSound", "ZEBAudioOutputOpenModule", "ZEBAudioSetOutputVolume",
        "ZEBAudioAddOutputFilter", "ZEBAudioPreloadBuffers", "ZEBAudioSetInputPositionRange",
        "ZEBAudioOutputReset", "ZEBAudioOutputDrain", "ZEBAudioPing", "ZEBAudioInputClose",
        "ZEBAudioSetDuration", "ZEBAudioSetInputTimeInterval", "ZEBAudioSetOutputFrequency",
        "ZEBAudioOutputClose", "ZEBAudioSetMainVolume", "ZEBAudioGetMainVolume", "ZEBAudioGetPlayPosition",
        "ZEBAudioGetVersion", "ZEBAudioGetTrackDetails"};
    void* Library = dlopen("libzeb-audio.so.0", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(Library, nullptr);
    for (const char* Name : Names) {
        void* Plain = dlsym(Library, Name);
        EXPECT_NE(Plain, nullptr) << Name;
        EXPECT_EQ(dlsym(Library, (std::string("_") + Name).c_str()), Plain) << Name;
    }
    dlclose(Library);
    unsigned Major, Minor, Patch;
    char End;
    EXPECT_EQ(sscanf(ZEBAudioGetVersion(), "%u.%u.%u%c", &Major, &Minor, &Patch, &End), 3) << ZEBAudioGetVersion();
}

TEST(TrackQueries, RefuseMissingArguments)
{
    MPEGTrackInfoType Info{};
    EXPECT_EQ(ZEBAudioGetMP3TrackInfo("/nonexistent/file.mp3", nullptr), 0);
    EXPECT_EQ(ZEBAudioGetMP3TrackInfo("/nonexistent/file.mp3", &Info), 0);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength("/nonexistent/file.wav"), 0u);
}

// Every format's exact length agrees with ffprobe's to within one of the
// codec's frames, with the codec and container named; 2.9 s and 0.5 s
// tracks would report 2 s and 0 s through the whole-second queries.
TEST(TrackQueries, DetailsGiveTheExactLengthOfEveryFormat)
{
    if (!HaveTool("ffmpeg") || !HaveTool("ffprobe"))
        GTEST_SKIP() << "ffmpeg missing";
    const struct {
        const char* Name;
        double Seconds;
        const char* Options;
        const char* Codec;
        const char* Container;
        uint32_t FrameSamples;
    } Cases[] = {
        {"details_cbr.mp3", 2.9, "-c:a libmp3lame -b:a 128k -f mp3", "mp3", "mpeg", 1152},
        {"details_vbr.mp3", 2.9, "-c:a libmp3lame -q:a 4 -write_xing 0 -f mp3", "mp3", "mpeg", 1152},
        {"details.mp2", 0.5, "-c:a mp2 -b:a 192k -f mp2", "mp2", "mpeg", 1152},
        {"details.flac", 2.9, "-c:a flac -f flac", "flac", "flac", 4608},
        {"details.ogg", 2.9, "-c:a libvorbis -f ogg", "vorbis", "ogg", 2048},
        {"details.aac", 2.9, "-c:a aac -b:a 96k -f adts", "aac", "adts", 1024},
        {"details.m4a", 2.9, "-c:a aac -b:a 96k -f ipod", "aac", "mp4", 1024},
        {"details.wma", 2.9, "-c:a wmav2 -b:a 64k -f asf", "wmav2", "asf", 2048},
        {"details_v1.wma", 2.9, "-c:a wmav1 -b:a 64k -f asf", "wmav1", "asf", 2048},
        {"details.wav", 0.5, "-c:a pcm_s16le -f wav", "pcm", "wave", 1},
        {"details.w64", 2.9, "-c:a pcm_s16le -f w64", "pcm", "w64", 1},
        {"details.aiff", 2.9, "-c:a pcm_s16be -f aiff", "pcm", "aiff", 1},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::string Path = FfmpegFixture(C.Name, C.Seconds, 2, 44100, C.Options);
        ASSERT_FALSE(Path.empty());
        double Expected = ProbeDurationMs(Path, strcmp(C.Container, "adts") == 0);
        ASSERT_GT(Expected, 0);
        ZEBTrackDetails D;
        memset(&D, 0x55, sizeof D);
        D.Size = sizeof D;
        ASSERT_NE(ZEBAudioGetTrackDetails(Path.c_str(), &D), 0);
        double FrameMs = 1000.0 * C.FrameSamples / 44100 + 1;
        EXPECT_NEAR(static_cast<double>(D.LengthMs), Expected, FrameMs);
        EXPECT_NEAR(static_cast<double>(D.Frames) * 1000.0 / 44100, static_cast<double>(D.LengthMs), 1.0);
        EXPECT_EQ(D.SampleRate, 44100u);
        EXPECT_EQ(D.Channels, 2u);
        EXPECT_STREQ(D.Codec, C.Codec);
        EXPECT_STREQ(D.Container, C.Container);
    }
    // A caller's older, shorter record: nothing past its Size is written.
    std::string Wav = FfmpegFixture("details.wav", 0.5, 2, 44100, "-c:a pcm_s16le -f wav");
    ZEBTrackDetails Short;
    memset(&Short, 0x55, sizeof Short);
    Short.Size = offsetof(ZEBTrackDetails, Frames);
    ASSERT_NE(ZEBAudioGetTrackDetails(Wav.c_str(), &Short), 0);
    EXPECT_EQ(Short.LengthMs, 500u);
    EXPECT_EQ(Short.SampleRate, 0x55555555u);
    Short.Size = 8;
    EXPECT_EQ(ZEBAudioGetTrackDetails(Wav.c_str(), &Short), 0);
    ZEBTrackDetails Missing{};
    Missing.Size = sizeof Missing;
    EXPECT_EQ(ZEBAudioGetTrackDetails("/nonexistent/file.wav", &Missing), 0);
    EXPECT_EQ(ZEBAudioGetTrackDetails(Wav.c_str(), nullptr), 0);
}

TEST(DeviceEnumeration, ArrayIsAlwaysReleasable)
{
    unsigned int Count = 12345;
    char** Devices = ZEBAudioEnumerateDevices(&Count);
    ASSERT_NE(Devices, nullptr);
    EXPECT_NE(Count, 12345u);
    for (unsigned int i = 0; i < Count; ++i)
        EXPECT_LT(strlen(Devices[i]), 80u);
    ZEBAudioFreeDeviceEnums(Devices);
}

// ---- The host process ends while its players decode ----

constexpr const char* ExitFileVariable = "ZEB_TEST_EXIT_FILE";
constexpr int PlayersPerProcess = 4;
constexpr int ProcessesPerFormat = 10;
constexpr int ProcessesAtOnce = 2;

void Put(std::vector<uint8_t>& B, const char* Tag)
{
    for (int i = 0; i < 4; ++i)
        B.push_back(static_cast<uint8_t>(Tag[i]));
}

void PutLE(std::vector<uint8_t>& B, uint32_t V, int Bytes)
{
    for (int i = 0; i < Bytes; ++i)
        B.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

void PutBE(std::vector<uint8_t>& B, uint64_t V, int Bytes)
{
    for (int i = Bytes - 1; i >= 0; --i)
        B.push_back(static_cast<uint8_t>(V >> (8 * i)));
}

// 16-bit stereo at 44.1 kHz: the header of a RIFF WAVE and of an AIFF file
// announcing Bytes of samples.
std::vector<uint8_t> WaveHeader(uint32_t Bytes)
{
    std::vector<uint8_t> B;
    Put(B, "RIFF");
    PutLE(B, 36 + Bytes, 4);
    Put(B, "WAVE");
    Put(B, "fmt ");
    PutLE(B, 16, 4);
    PutLE(B, 1, 2); // PCM
    PutLE(B, 2, 2);
    PutLE(B, 44100, 4);
    PutLE(B, 176400, 4);
    PutLE(B, 4, 2);
    PutLE(B, 16, 2);
    Put(B, "data");
    PutLE(B, Bytes, 4);
    return B;
}

std::vector<uint8_t> AiffHeader(uint32_t Bytes)
{
    const uint8_t Rate44100[10] = {0x40, 0x0E, 0xAC, 0x44, 0, 0, 0, 0, 0, 0}; // 80-bit float
    std::vector<uint8_t> B;
    Put(B, "FORM");
    PutBE(B, 46 + Bytes, 4);
    Put(B, "AIFF");
    Put(B, "COMM");
    PutBE(B, 18, 4);
    PutBE(B, 2, 2);
    PutBE(B, Bytes / 4, 4);
    PutBE(B, 16, 2);
    for (uint8_t Byte : Rate44100)
        B.push_back(Byte);
    Put(B, "SSND");
    PutBE(B, 8 + Bytes, 4);
    PutBE(B, 0, 8); // offset and block size
    return B;
}

// Header followed by Bytes of silence left as a hole in the file: long PCM
// that costs no disk space.
std::string SilentPcmFixture(const std::string& Name, const std::vector<uint8_t>& Header, uint32_t Bytes)
{
    std::string Path = WritePrivateFixture(Name, Header);
    return truncate(Path.c_str(), static_cast<off_t>(Header.size() + Bytes)) == 0 ? Path : "";
}

// Long enough that four players decoding at full speed are far from the end
// when the host returns: the faster the decoder, the longer the file.
std::vector<std::string> LongFilesOfEveryFormat()
{
    const uint32_t HourOfPcm = 3600u * 176400;
    const struct {
        const char* Name;
        double Seconds;
        const char* Options;
    } Encoded[] = {
        {"exit_long.mp3", 600, "-c:a libmp3lame -b:a 32k -f mp3"},
        {"exit_long.flac", 360, "-c:a flac -f flac"},
        {"exit_long.ogg", 180, "-c:a libvorbis -f ogg"},
        {"exit_long.aac", 180, "-c:a aac -b:a 64k -f adts"},
        {"exit_long.m4a", 180, "-c:a aac -b:a 64k -f ipod"},
        {"exit_long.wma", 1200, "-c:a wmav2 -b:a 32k -f asf"},
    };
    std::vector<std::string> Paths = {SilentPcmFixture("exit_long.wav", WaveHeader(HourOfPcm), HourOfPcm),
                                      SilentPcmFixture("exit_long.aiff", AiffHeader(HourOfPcm), HourOfPcm)};
    for (const auto& E : Encoded)
        Paths.push_back(FfmpegFixture(E.Name, E.Seconds, 2, 44100, E.Options));
    return Paths;
}

// The host run by the test below in a process of its own: four players
// decode the file named in the environment at full speed, and main returns
// while they do. The window and the output modules the players use are
// left alive on purpose, so that only the library meets the process's end.
TEST(ProcessExit, HostThatReturnsWhilePlayersDecode)
{
    const char* Path = getenv(ExitFileVariable);
    if (!Path)
        GTEST_SKIP() << "run by ProcessExit.EveryFormatEndsWithoutACrash";
    Host* H = new Host;
    for (int i = 0; i < PlayersPerProcess; ++i) {
        void* Player = ZEBAudioPlayerCreate(H->Window());
        ASSERT_NE(Player, nullptr);
        TestOutput* Out = new TestOutput;
        Out->KeepData = false;
        TestOutput::Open(Player, Out);
        ZEBAudioInputOpen(Player, Path);
        ZEBAudioPlay(Player);
    }
    int Playing = 0, Ended = 0;
    ZEBMessage M;
    while (Playing < PlayersPerProcess && H->Next(&M, 20000)) {
        ASSERT_NE(M.Msg, static_cast<uint32_t>(ZEB_RSP_ERROR)) << MessageName(M);
        Playing += M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_PLAYING;
    }
    ASSERT_EQ(Playing, PlayersPerProcess);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    uint32_t Furthest = 0;
    while (H->Next(&M, 0)) {
        Ended += M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS;
        if (M.Msg == ZEB_NTF_ELAPSED_TIME)
            Furthest = std::max(Furthest, M.lParam);
    }
    printf("main returns with a player at %u ms, %d at their end\n", Furthest, Ended);
}

std::string ThisProgram()
{
    char Buffer[PATH_MAX];
    ssize_t N = readlink("/proc/self/exe", Buffer, sizeof Buffer - 1);
    return N > 0 ? std::string(Buffer, static_cast<size_t>(N)) : "";
}

// Many host processes, each returning from main while four players decode
// a long file: every one ends through exit with status 0, none by a signal.
TEST(ProcessExit, EveryFormatEndsWithoutACrash)
{
    if (!HaveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg missing";
    std::vector<std::string> Argv = {ThisProgram(), "--gtest_filter=ProcessExit.HostThatReturnsWhilePlayersDecode"};
    // The hosts leave their window and modules allocated on purpose: a leak
    // check at their exit would report what the test means to leave.
    const char* Sanitizer = getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(Sanitizer ? Sanitizer : "") + ":detect_leaks=0").c_str(), 1);
    for (const std::string& Path : LongFilesOfEveryFormat()) {
        ASSERT_FALSE(Path.empty());
        setenv(ExitFileVariable, Path.c_str(), 1);
        int Bad = 0;
        std::string FirstBad;
        for (int Round = 0; Round < ProcessesPerFormat / ProcessesAtOnce; ++Round) {
            std::vector<ProcessResult> Results(ProcessesAtOnce);
            std::vector<std::thread> Runs;
            for (ProcessResult& R : Results)
                Runs.emplace_back([&R, &Argv] { R = RunProcess(Argv, 30000); });
            for (std::thread& T : Runs)
                T.join();
            for (const ProcessResult& R : Results) {
                if (R.Exited && R.ExitCode == 0)
                    continue;
                if (Bad++ == 0)
                    FirstBad = DescribeEnd(R) + "\n" + R.Out + R.Err;
            }
        }
        EXPECT_EQ(Bad, 0) << Path << ", first: " << FirstBad;
    }
    unsetenv(ExitFileVariable);
}

} // namespace
