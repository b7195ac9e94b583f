// zebplay run as a user runs it: command line, --info and --wav. Nothing
// here needs a sound device; playback on one is in zebplay_e2e_test.
#include "support/host.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

using namespace zebtest;

namespace {

const char* const Zebplay = ZEB_BUILD_DIR "/tools/zebplay";
constexpr int CorpusFileTimeoutMs = 120000;

ProcessResult Zeb(std::vector<std::string> Args, int TimeoutMs = 120000)
{
    Args.insert(Args.begin(), Zebplay);
    return RunProcess(Args, TimeoutMs);
}

bool Exists(const std::string& Path)
{
    struct stat St;
    return stat(Path.c_str(), &St) == 0;
}

// A fresh, empty folder under the fixtures for one test's outputs.
std::string CleanDir(const std::string& Name)
{
    std::string Dir = FixturePath(Name);
    zebtest::Run("rm -rf '" + Dir + "'");
    mkdir(Dir.c_str(), 0755);
    return Dir;
}

std::vector<std::string> DirEntries(const std::string& Dir)
{
    std::vector<std::string> Names;
    if (DIR* D = opendir(Dir.c_str())) {
        while (dirent* E = readdir(D))
            if (std::string(E->d_name) != "." && std::string(E->d_name) != "..")
                Names.push_back(E->d_name);
        closedir(D);
    }
    return Names;
}

// "  sample rate:    44100 Hz" lines of one --info block, by key.
std::map<std::string, std::string> InfoFields(const std::string& Out)
{
    std::map<std::string, std::string> Fields;
    std::regex Line(R"(^  ([a-z ]+):\s+(.*)$)");
    std::smatch M;
    size_t Start = 0;
    while (Start < Out.size()) {
        size_t End = Out.find('\n', Start);
        std::string L = Out.substr(Start, End == std::string::npos ? std::string::npos : End - Start);
        if (std::regex_match(L, M, Line))
            Fields[M[1]] = M[2];
        Start = End == std::string::npos ? Out.size() : End + 1;
    }
    return Fields;
}

uint32_t Le(const std::vector<uint8_t>& B, size_t At, int Bytes)
{
    uint32_t V = 0;
    for (int I = Bytes - 1; I >= 0; I--)
        V = V << 8 | B[At + I];
    return V;
}

struct WavFile {
    bool Valid = false;
    uint32_t RiffSize = 0;
    uint16_t Format = 0, Channels = 0, BlockAlign = 0, Bits = 0;
    uint32_t Rate = 0, ByteRate = 0;
    std::vector<uint8_t> Data;
};

// Walks the RIFF chunks; every size is checked against the file.
WavFile ParseWav(const std::vector<uint8_t>& F)
{
    WavFile W;
    if (F.size() < 12 || std::string(F.begin(), F.begin() + 4) != "RIFF" ||
        std::string(F.begin() + 8, F.begin() + 12) != "WAVE")
        return W;
    W.RiffSize = Le(F, 4, 4);
    bool HaveFmt = false, HaveData = false;
    for (size_t At = 12; At + 8 <= F.size();) {
        std::string Id(F.begin() + At, F.begin() + At + 4);
        size_t Size = Le(F, At + 4, 4);
        if (Size > F.size() - At - 8)
            return W;
        if (Id == "fmt " && Size >= 16) {
            W.Format = static_cast<uint16_t>(Le(F, At + 8, 2));
            W.Channels = static_cast<uint16_t>(Le(F, At + 10, 2));
            W.Rate = Le(F, At + 12, 4);
            W.ByteRate = Le(F, At + 16, 4);
            W.BlockAlign = static_cast<uint16_t>(Le(F, At + 20, 2));
            W.Bits = static_cast<uint16_t>(Le(F, At + 22, 2));
            HaveFmt = true;
        } else if (Id == "data") {
            W.Data.assign(F.begin() + At + 8, F.begin() + At + 8 + Size);
            HaveData = true;
        }
        At += 8 + Size + (Size & 1);
    }
    W.Valid = HaveFmt && HaveData;
    return W;
}

std::string WriteTestWav(const std::string& Name, uint32_t Rate, uint16_t Channels, uint16_t Bits,
                         uint32_t Frames, std::vector<uint8_t>* Pcm = nullptr)
{
    std::vector<uint8_t> Data;
    if (Bits == 16) {
        Data = TestPcm(Frames, Channels, Rate);
    } else {
        Data.resize(static_cast<size_t>(Frames) * Channels * (Bits / 8));
        for (size_t I = 0; I < Data.size(); I++)
            Data[I] = static_cast<uint8_t>(I * 31);
    }
    std::string Path = FixturePath(Name);
    WriteWav(Path, Rate, Channels, Bits, Data);
    if (Pcm)
        *Pcm = Data;
    return Path;
}

// Encodes a generated stereo signal with lame; empty when lame is missing.
std::string MakeMp3(const std::string& Name, uint32_t Seconds)
{
    if (!HaveTool("lame"))
        return "";
    std::string Wav = WriteTestWav(Name + ".src.wav", 44100, 2, 16, 44100 * Seconds);
    std::string Mp3 = FixturePath(Name + ".mp3");
    if (!zebtest::Run("lame --quiet -b 128 '" + Wav + "' '" + Mp3 + "'"))
        return "";
    return Mp3;
}

std::vector<std::string> CorpusFiles()
{
    std::vector<std::string> Files;
    ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        if (Path.size() < 10 || Path.compare(Path.size() - 10, 10, "/README.md") != 0)
            Files.push_back(Path);
    });
    return Files;
}

class ZebplayTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Exists(Zebplay)) << Zebplay << " is not built"; }
};

// ---- command line ----

TEST_F(ZebplayTest, HelpNamesEveryOptionAndTheKeys)
{
    ProcessResult R = Zeb({"--help"});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0);
    for (const char* Option : {"--device", "--volume", "--rate", "--interval", "--preload", "--devices",
                               "--info", "--wav", "--version", "--help", "space", "left/right", "q quit"})
        EXPECT_NE(R.Out.find(Option), std::string::npos) << Option;
    EXPECT_EQ(R.Err, "");
}

TEST_F(ZebplayTest, WrongUsageExitsTwoWithAHint)
{
    std::string Wav = WriteTestWav("zebplay_usage.wav", 8000, 1, 16, 800);
    const std::vector<std::vector<std::string>> Cases = {
        {},
        {"--bogus", Wav},
        {"--volume", "101", Wav},
        {"--volume", "-1", Wav},
        {"--rate", "0", Wav},
        {"--rate", "abc", Wav},
        {"--interval", "0", Wav},
        {"--device", "x", Wav},
        {"--wav", FixturePath("zebplay_usage_out.wav")},
        {"--wav", FixturePath("zebplay_usage_out.wav"), Wav, Wav},
        {"--devices", Wav},
        {"--info"},
        {"--device"},
        {"--info", "--wav", FixturePath("zebplay_usage_out.wav"), Wav},
        {"--wav", FixturePath("zebplay_usage_out.wav"), "--info", Wav},
        {"--info", "--info", Wav},
        {"--volume", "50", "--info", Wav},
        {"--device", "1", "--wav", FixturePath("zebplay_usage_out.wav"), Wav},
        {"--version", Wav},
    };
    for (const auto& Args : Cases) {
        std::string Shown;
        for (const auto& A : Args)
            Shown += A + " ";
        ProcessResult R = Zeb(Args);
        ASSERT_TRUE(R.Exited) << Shown << DescribeEnd(R);
        EXPECT_EQ(R.ExitCode, 2) << Shown;
        EXPECT_NE(R.Err.find("zebplay --help"), std::string::npos) << Shown << R.Err;
        EXPECT_EQ(R.Out, "") << Shown;
    }
    EXPECT_FALSE(Exists(FixturePath("zebplay_usage_out.wav")));
    // A conflict names both options, whichever comes first.
    EXPECT_NE(Zeb({"--wav", "x.wav", "--info", Wav}).Err.find("--wav and --info cannot be combined"),
              std::string::npos);
    EXPECT_NE(Zeb({"--rate", "2", "--wm-list", Wav}).Err.find("--rate applies to playback only, not to --wm-list"),
              std::string::npos);
}

TEST_F(ZebplayTest, VersionNamesTheLibraryAndWhatItLoaded)
{
    ProcessResult R = Zeb({"--version"});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_TRUE(std::regex_search(R.Out, std::regex(R"(^zebplay \d+\.\d+\.\d+\n)"))) << R.Out;
    EXPECT_NE(R.Out.find("library: zeb-audio "), std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find(ZEB_BUILD_DIR "/libzeb-audio.so"), std::string::npos) << R.Out;
    EXPECT_TRUE(std::regex_search(R.Out, std::regex(R"(MPEG audio +/\S*libmpg123\.so)"))) << R.Out;
    EXPECT_TRUE(std::regex_search(R.Out, std::regex(R"(FLAC +/\S*libFLAC\.so)"))) << R.Out;
    for (const char* Module : {"/zeb-audio/libzeb-mp4.so\n", "/zeb-audio/libzeb-wmf.so\n"})
        EXPECT_NE(R.Out.find(std::string(ZEB_BUILD_DIR) + Module), std::string::npos) << Module << R.Out;
}

// ---- --info ----

TEST_F(ZebplayTest, InfoReportsGeneratedWaveFiles)
{
    struct Case {
        uint32_t Rate;
        uint16_t Channels, Bits;
        uint32_t Frames;
        const char* Length;
        const char* Scanned; // whole seconds, truncated
        const char* Supported;
    };
    const Case Cases[] = {
        {44100, 2, 16, 44100 * 3, "3.000 s", "3 s", "yes"},
        {22050, 1, 16, 22050 * 5 / 2, "2.500 s", "2 s", "yes"},
        {48000, 6, 16, 48000, "1.000 s", "1 s", "no (6 channels: only mono and stereo are played)"},
        {44100, 2, 24, 44100, "1.000 s", "1 s", "yes"}, // read as 16-bit through libsndfile
    };
    for (const Case& C : Cases) {
        std::string Name = "zebplay_info_" + std::to_string(C.Rate) + "_" + std::to_string(C.Channels) +
                           "_" + std::to_string(C.Bits) + ".wav";
        std::string Path = WriteTestWav(Name, C.Rate, C.Channels, C.Bits, C.Frames);
        ProcessResult R = Zeb({"--info", Path});
        ASSERT_TRUE(R.Exited) << Name << " " << DescribeEnd(R);
        EXPECT_EQ(R.ExitCode, 0) << Name << R.Err;
        EXPECT_EQ(R.Out.substr(0, Path.size()), Path);
        auto F = InfoFields(R.Out);
        EXPECT_EQ(F["length"], C.Length) << Name;
        EXPECT_EQ(F["scanned length"], C.Scanned) << Name;
        EXPECT_EQ(F["sample rate"], std::to_string(C.Rate) + " Hz") << Name;
        EXPECT_EQ(F["channels"], std::to_string(C.Channels)) << Name;
        EXPECT_EQ(F["supported"], C.Supported) << Name;
        EXPECT_EQ(F.count("bit rate"), 1u) << Name;
        EXPECT_EQ(F["container"], "WAVE") << Name;
        EXPECT_EQ(F["codec"], "PCM") << Name;
    }
}

TEST_F(ZebplayTest, InfoReportsMp3Parameters)
{
    std::string Mp3 = MakeMp3("zebplay_info", 3);
    if (Mp3.empty())
        GTEST_SKIP() << "lame is not available";
    ProcessResult R = Zeb({"--info", Mp3});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    auto F = InfoFields(R.Out);
    EXPECT_EQ(F["sample rate"], "44100 Hz");
    EXPECT_EQ(F["channels"], "2");
    EXPECT_EQ(F["bit rate"], "128 kbit/s");
    EXPECT_EQ(F["supported"], "yes");
    EXPECT_EQ(F["scanned length"], "3 s");
    EXPECT_EQ(F["container"], "MPEG audio");
    EXPECT_EQ(F["codec"], "MPEG-1 Layer III");
}

// Each reason a file cannot be opened is told apart, before the library
// is asked, in every mode that reads a file; the other files still go on.
TEST_F(ZebplayTest, EachReasonAFileCannotBeOpenedIsNamed)
{
    std::string Good = WriteTestWav("zebplay_info_good.wav", 8000, 1, 16, 16000);
    std::string Garbage = FixturePath("zebplay_info_garbage.wav");
    WriteFile(Garbage, std::vector<uint8_t>(100, 0x5A));
    std::string Empty = FixturePath("zebplay_info_empty.mp3");
    WriteFile(Empty, {});
    std::string Folder = CleanDir("zebplay_info_folder.wav");
    std::string Missing = FixturePath("zebplay_info_missing.wav");
    const std::map<std::string, std::string> Reasons = {
        {Missing, "No such file or directory"}, {Folder, "is a folder, not a file"},
        {Empty, "empty file"}, {Garbage, "cannot be opened: not of a known format, or damaged"}};
    ProcessResult R = Zeb({"--info", Garbage, Good, Missing, Folder, Empty});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 1);
    for (const auto& [Path, Reason] : Reasons)
        EXPECT_NE(R.Err.find("zebplay: " + Path + ": " + Reason + "\n"), std::string::npos) << Reason << R.Err;
    EXPECT_EQ(R.Out.substr(0, Good.size() + 1), Good + "\n");
    EXPECT_EQ(InfoFields(R.Out)["length"], "2.000 s");
    std::string Out = FixturePath("zebplay_reason_out.wav");
    for (const auto& [Path, Reason] : Reasons) {
        for (const auto& Args : std::vector<std::vector<std::string>>{{"--wav", Out, Path}, {"--wm-list", Path}}) {
            ProcessResult E = Zeb(Args);
            EXPECT_EQ(E.ExitCode, 1) << Args[0] << " " << Path;
            std::string Expected = Reason.rfind("cannot", 0) == 0 ? "" : Reason;
            EXPECT_NE(E.Err.find(Path + ": " + Expected), std::string::npos) << Args[0] << E.Err;
        }
    }
    EXPECT_FALSE(Exists(Out));

    // A file the user may not read, as the user nobody when we are root.
    std::string Locked = WriteTestWav("zebplay_info_locked.wav", 8000, 1, 16, 800);
    ASSERT_EQ(chmod(Locked.c_str(), 0600), 0);
    std::vector<std::string> Argv = {Zebplay, "--info", Locked};
    if (getuid() == 0)
        Argv = AsNobody(Argv);
    if (Argv.empty())
        GTEST_SKIP() << "cannot run as the user nobody";
    ProcessResult P = RunProcess(Argv);
    EXPECT_EQ(P.ExitCode, 1);
    EXPECT_EQ(P.Err, "zebplay: " + Locked + ": Permission denied\n");
}

// After a refusal zebplay says what it knows of the reason: a codec the
// container holds that is not played, too many channels, a module that did
// not load (with the path where the library looked).
TEST_F(ZebplayTest, ARefusalSaysWhy)
{
    if (!HaveTool("ffmpeg"))
        GTEST_SKIP() << "ffmpeg is not available";
    std::string Source = WriteTestWav("zebplay_why_src.wav", 44100, 2, 16, 22050);
    std::string Alac = FixturePath("zebplay_why_alac.m4a");
    std::string Wma = FixturePath("zebplay_why.wma");
    ASSERT_TRUE(zebtest::Run("ffmpeg -v error -nostdin -y -i '" + Source + "' -c:a alac '" + Alac + "'"));
    ASSERT_TRUE(zebtest::Run("ffmpeg -v error -nostdin -y -i '" + Source + "' -c:a wmav2 '" + Wma + "'"));
    std::string Six = WriteTestWav("zebplay_why_six.wav", 48000, 6, 16, 4800);
    std::string Out = FixturePath("zebplay_why_out.wav");

    ProcessResult R = Zeb({"--info", Alac});
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_EQ(R.Err, "zebplay: " + Alac + ": cannot be opened: ALAC in MP4: only AAC is played\n");
    R = Zeb({"--wav", Out, Six});
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_NE(R.Err.find(Six + ": Audio core error on ommand 'Input Open'"), std::string::npos) << R.Err;
    EXPECT_NE(R.Err.find(Six + ": 6 channels: only mono and stereo are played\n"), std::string::npos) << R.Err;
    EXPECT_FALSE(Exists(Out));

    // The library alone in a folder, without its zeb-audio/ modules.
    std::string Alone = CleanDir("zebplay_why_alone");
    ASSERT_TRUE(zebtest::Run("cp -P '" ZEB_BUILD_DIR "'/libzeb-audio.so* '" + Alone + "'"));
    std::string Module = Alone + "/zeb-audio/libzeb-wmf.so";
    R = RunProcess({"/usr/bin/env", "LD_LIBRARY_PATH=" + Alone, Zebplay, "--info", Wma});
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_EQ(R.Err, "zebplay: " + Wma + ": cannot be opened: the module " + Module +
                         " did not load: cannot open shared object file: No such file or directory\n");
    R = RunProcess({"/usr/bin/env", "LD_LIBRARY_PATH=" + Alone, Zebplay, "--version"});
    EXPECT_NE(R.Out.find("Windows Media                  not loaded: cannot open shared object file"),
              std::string::npos) << R.Out;
}

TEST_F(ZebplayTest, InfoOnEveryCorpusFileEndsNormally)
{
    std::vector<std::string> Files = CorpusFiles();
    if (Files.empty())
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
    for (const std::string& File : Files) {
        ProcessResult R = Zeb({"--info", File}, CorpusFileTimeoutMs);
        ASSERT_TRUE(R.Exited) << File << ": " << DescribeEnd(R) << "\n" << R.Err;
        EXPECT_LT(R.ExitCode, 128) << File;
        EXPECT_TRUE(R.ExitCode == 0 || ("\n" + R.Err).find("\nzebplay: " + File + ": ") != std::string::npos)
            << File << ": exit " << R.ExitCode << " " << R.Err;
    }
}

// ---- --wav ----

TEST_F(ZebplayTest, WavRenderKeepsThePcmOfGeneratedFiles)
{
    struct Case {
        uint32_t Rate;
        uint16_t Channels;
        uint32_t Frames;
    };
    const Case Cases[] = {{44100, 2, 44100 * 2}, {22050, 1, 22050 * 3 / 2}, {48000, 2, 1000}, {8000, 1, 1}};
    std::string Dir = CleanDir("zebplay_wav_out");
    for (const Case& C : Cases) {
        std::string Name = "zebplay_wav_" + std::to_string(C.Rate) + "_" + std::to_string(C.Channels) +
                           "_" + std::to_string(C.Frames);
        std::vector<uint8_t> Pcm;
        std::string In = WriteTestWav(Name + ".wav", C.Rate, C.Channels, 16, C.Frames, &Pcm);
        std::string Out = Dir + "/" + Name + ".wav";
        ProcessResult R = Zeb({"--wav", Out, In});
        ASSERT_TRUE(R.Exited) << Name << " " << DescribeEnd(R);
        ASSERT_EQ(R.ExitCode, 0) << Name << " " << R.Err;
        EXPECT_NE(R.Out.find(Out + ": "), std::string::npos) << R.Out;
        EXPECT_NE(R.Out.find(std::to_string(Pcm.size()) + " bytes of PCM"), std::string::npos) << R.Out;
        std::vector<uint8_t> Bytes = ReadFile(Out);
        WavFile W = ParseWav(Bytes);
        ASSERT_TRUE(W.Valid) << Name;
        EXPECT_EQ(W.RiffSize, Bytes.size() - 8) << Name;
        EXPECT_EQ(W.Format, 1) << Name;
        EXPECT_EQ(W.Channels, C.Channels) << Name;
        EXPECT_EQ(W.Rate, C.Rate) << Name;
        EXPECT_EQ(W.Bits, 16) << Name;
        EXPECT_EQ(W.BlockAlign, C.Channels * 2) << Name;
        EXPECT_EQ(W.ByteRate, C.Rate * C.Channels * 2) << Name;
        EXPECT_TRUE(W.Data == Pcm) << Name << ": " << W.Data.size() << " bytes rendered, " << Pcm.size()
                                   << " in the input";
    }
    // Only the finished files remain: no temporary file is left behind.
    EXPECT_EQ(DirEntries(Dir).size(), std::size(Cases));
}

TEST_F(ZebplayTest, WavRenderOfMp3MatchesLibmpg123)
{
    std::string Mp3 = MakeMp3("zebplay_wav", 2);
    if (Mp3.empty())
        GTEST_SKIP() << "lame is not available";
    std::string Out = CleanDir("zebplay_wav_mp3") + "/out.wav";
    ProcessResult R = Zeb({"--wav", Out, Mp3});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    WavFile W = ParseWav(ReadFile(Out));
    ASSERT_TRUE(W.Valid);
    EXPECT_EQ(W.Rate, 44100u);
    EXPECT_EQ(W.Channels, 2);
    std::vector<uint8_t> Expected = DecodeWithLibmpg123(Mp3);
    ASSERT_FALSE(Expected.empty());
    EXPECT_EQ(W.Data.size(), Expected.size());
    EXPECT_TRUE(W.Data == Expected);
}

TEST_F(ZebplayTest, WavRenderFailureLeavesTheOutputUntouched)
{
    std::string Dir = CleanDir("zebplay_wav_fail");
    std::string Out = Dir + "/kept.wav";
    WriteWav(Out, 8000, 1, 16, TestPcm(80, 1, 8000));
    const std::vector<uint8_t> Before = ReadFile(Out);
    std::string Garbage = FixturePath("zebplay_wav_garbage.wav");
    WriteFile(Garbage, std::vector<uint8_t>(300, 0x11));
    std::string Wide = WriteTestWav("zebplay_wav_6ch.wav", 48000, 6, 16, 4800);
    const std::string Refused = ": Audio core error on ommand 'Input Open', error: Input Open Error";
    const std::pair<std::string, std::string> Inputs[] = {
        {Garbage, Refused}, {Wide, Refused}, {FixturePath("zebplay_wav_missing.wav"), ": No such file or directory"}};
    for (const auto& [In, Message] : Inputs) {
        ProcessResult R = Zeb({"--wav", Out, "--force", In});
        ASSERT_TRUE(R.Exited) << In << " " << DescribeEnd(R);
        EXPECT_EQ(R.ExitCode, 1) << In;
        EXPECT_NE(R.Err.find(In + Message), std::string::npos) << R.Err;
        EXPECT_EQ(ReadFile(Out), Before) << In;
    }
    EXPECT_EQ(DirEntries(Dir), std::vector<std::string>{"kept.wav"});
}

TEST_F(ZebplayTest, WavNeverOverwritesAnInputAndReplacesOnlyWhenForced)
{
    std::string Dir = CleanDir("zebplay_wav_keep");
    std::vector<uint8_t> Pcm;
    std::string In = WriteTestWav("zebplay_wav_keep_in.wav", 8000, 1, 16, 800, &Pcm);
    const std::vector<uint8_t> Input = ReadFile(In);
    std::string Link = Dir + "/link-to-input.wav";
    ASSERT_EQ(symlink(In.c_str(), Link.c_str()), 0);
    std::string Song = Dir + "/song.mp3";
    const std::vector<uint8_t> Mp3 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 0xFF, 0xFB};
    WriteFile(Song, Mp3);
    struct Refusal {
        std::vector<std::string> Args;
        std::string Says;
    };
    const Refusal Refusals[] = {
        {{"--wav", In, In}, "is the input file"},
        {{"--wav", Link, "--force", In}, "is the input file"},
        {{"--wav", Song, In}, "exists; not overwritten"}, // the arguments the wrong way round
        {{"--wav", Song, "--force", In}, "is not a WAVE file"},
    };
    for (const Refusal& C : Refusals) {
        ProcessResult R = Zeb(C.Args);
        EXPECT_EQ(R.ExitCode, 1) << C.Args[1] << " " << DescribeEnd(R);
        EXPECT_NE(R.Err.find(C.Says), std::string::npos) << R.Err;
    }
    EXPECT_EQ(Zeb({"--wav", Dir + "/x.wav", "--rate", "2", In}).ExitCode, 2);
    EXPECT_EQ(Zeb({"--force", In}).ExitCode, 2);
    EXPECT_EQ(ReadFile(In), Input);
    EXPECT_EQ(ReadFile(Song), Mp3);

    // --force replaces a WAVE file through its link, keeping its mode and
    // extended attributes; one with another hard link is left alone.
    std::string Old = Dir + "/old.wav";
    WriteWav(Old, 8000, 1, 16, TestPcm(8, 1, 8000));
    std::string OldLink = Dir + "/old-link.wav";
    ASSERT_EQ(symlink("old.wav", OldLink.c_str()), 0);
    ASSERT_EQ(chmod(Old.c_str(), 0640), 0);
    bool Xattrs = setxattr(Old.c_str(), "user.zebtest", "kept", 4, 0) == 0;
    ProcessResult R = Zeb({"--wav", OldLink, "--force", In});
    ASSERT_EQ(R.ExitCode, 0) << R.Err;
    struct stat St;
    ASSERT_EQ(lstat(OldLink.c_str(), &St), 0);
    EXPECT_TRUE(S_ISLNK(St.st_mode));
    ASSERT_EQ(stat(Old.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0640u);
    EXPECT_TRUE(ParseWav(ReadFile(Old)).Data == Pcm);
    char Value[8] = {};
    if (Xattrs) {
        EXPECT_EQ(getxattr(Old.c_str(), "user.zebtest", Value, sizeof Value), 4);
        EXPECT_STREQ(Value, "kept");
    }
    std::string Second = Dir + "/second-name.wav";
    ASSERT_EQ(link(Old.c_str(), Second.c_str()), 0);
    R = Zeb({"--wav", Old, "--force", In});
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_NE(R.Err.find("other hard links"), std::string::npos) << R.Err;
    EXPECT_EQ(DirEntries(Dir).size(), 5u) << "a temporary file was left behind";

    // A file the user may not write is not replaced, even in the user's folder.
    std::vector<std::string> Argv = AsNobody({Zebplay, "--wav", Dir + "/mine.wav", "--force", In});
    unsigned Uid, Gid;
    if (Argv.empty() || !NobodyIds(&Uid, &Gid))
        GTEST_SKIP() << "cannot run as the user nobody: not root or no setpriv";
    ASSERT_EQ(chown(Dir.c_str(), Uid, Gid), 0);
    std::string Mine = Dir + "/mine.wav";
    WriteWav(Mine, 8000, 1, 16, TestPcm(8, 1, 8000));
    const std::vector<uint8_t> Kept = ReadFile(Mine);
    ASSERT_EQ(chown(Mine.c_str(), Uid, Gid), 0);
    ASSERT_EQ(chmod(Mine.c_str(), 0444), 0);
    R = RunProcess(Argv);
    EXPECT_EQ(R.ExitCode, 1) << R.Err;
    EXPECT_NE(R.Err.find("permission denied"), std::string::npos) << R.Err;
    EXPECT_EQ(ReadFile(Mine), Kept);
}

TEST_F(ZebplayTest, WavRenderIntoAMissingFolderIsReported)
{
    std::string In = WriteTestWav("zebplay_wav_small.wav", 8000, 1, 16, 800);
    std::string Out = FixturePath("zebplay_no_such_folder/out.wav");
    ProcessResult R = Zeb({"--wav", Out, In});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_NE(R.Err.find(Out + ": No such file or directory"), std::string::npos) << R.Err;
}

TEST_F(ZebplayTest, WavRenderOfEveryCorpusFileEndsNormally)
{
    std::vector<std::string> Files = CorpusFiles();
    if (Files.empty())
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
    std::string Dir = CleanDir("zebplay_wav_corpus");
    int Index = 0;
    for (const std::string& File : Files) {
        std::string Out = Dir + "/" + std::to_string(Index++) + ".wav";
        ProcessResult R = Zeb({"--wav", Out, File}, CorpusFileTimeoutMs);
        ASSERT_TRUE(R.Exited) << File << ": " << DescribeEnd(R) << "\n" << R.Err;
        EXPECT_LT(R.ExitCode, 128) << File;
        if (R.ExitCode == 0) {
            WavFile W = ParseWav(ReadFile(Out));
            EXPECT_TRUE(W.Valid) << File;
            EXPECT_EQ(W.Data.size() % (W.Channels ? W.Channels * 2u : 1u), 0u) << File;
        } else {
            EXPECT_NE(R.Err.find("zebplay: " + File + ": "), std::string::npos) << File << ": " << R.Err;
            EXPECT_FALSE(Exists(Out)) << File;
        }
    }
}

// ---- playing ----

TEST_F(ZebplayTest, PlayingAMissingFileFailsWithAReason)
{
    // With a sound device the file is found missing, without one the
    // output is refused: either way a reason and a failing status.
    std::string Missing = FixturePath("zebplay_play_missing.wav");
    ProcessResult R = Zeb({Missing}, 60000);
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_TRUE(R.Err.find(Missing + ": No such file or directory\n") != std::string::npos ||
                R.Err.find("Audio core error on ommand 'Output Open'") != std::string::npos)
        << R.Err;
}

} // namespace
