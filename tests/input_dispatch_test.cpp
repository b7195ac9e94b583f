// Which engine takes a file: the extension first, then the sound-file
// library for everything without a dedicated engine, then MPEG audio.
#include "core/input.h"
#include "core/player.h"
#include "support/host.h"
#include "support/mpeg_fixtures.h"
#include "support/wm_fixtures.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

using namespace zebtest;

namespace {

const char* const NoLibrary[] = {"libzeb-absent.so", nullptr};

// Opens Path, closes it again and returns the format; Opened tells whether
// an engine took it.
AudioFileFmtType Dispatch(const std::string& Path, bool* Opened)
{
    MPEGFileInfoType* Info = nullptr;
    AudioFileFmtType Format = OpenFileStream(Path.c_str(), &Info);
    *Opened = Info != nullptr;
    CloseFileStream(Format, Info);
    return Format;
}

class InputDispatch : public ::testing::Test {
protected:
    void TearDown() override { Use("sndfile", true); Use("flac", true); }
    static void Use(const char* Key, bool Present)
    {
        SetSupportLibraryNames(Key, Present ? nullptr : NoLibrary);
        ReloadSupportLibrariesForTesting();
    }
    std::string Wav(const std::string& Name)
    {
        std::string Path = FixturePath(Name);
        WriteWav(Path, 44100, 2, 16, TestPcm(4410, 2, 44100));
        return Path;
    }
};

} // namespace

TEST_F(InputDispatch, WaveGoesToTheSoundFileLibraryWhenPresentElseToTheBuiltInEngine)
{
    std::string Path = Wav("dispatch.wav");
    bool Opened = false;
    if (!LibSndFile)
        GTEST_SKIP() << "libsndfile not available";
    EXPECT_EQ(Dispatch(Path, &Opened), LIBSNDFILE_FMT);
    EXPECT_TRUE(Opened);
    Use("sndfile", false);
    EXPECT_EQ(LibSndFile, 0);
    EXPECT_EQ(Dispatch(Path, &Opened), PCMWAV_FMT);
    EXPECT_TRUE(Opened);
}

TEST_F(InputDispatch, WhatTheSoundFileLibraryRefusesIsTriedAsMpeg)
{
    std::string Mp3 = LameFixture("dispatch_src.mp3", 1.0, 2, 44100, "-b 128");
    if (Mp3.empty() || !LibSndFile)
        GTEST_SKIP() << "lame or libsndfile not available";
    // Text before the first frame: the MPEG engine searches past it, the
    // sound-file library does not recognise the file.
    std::vector<uint8_t> Bytes(4096, 'x');
    std::vector<uint8_t> Frames = ReadFile(Mp3);
    Bytes.insert(Bytes.end(), Frames.begin(), Frames.end());
    std::string Named = FixturePath("dispatch_mpeg.wav");
    WriteFile(Named, Bytes);
    bool Opened = false;
    EXPECT_EQ(Dispatch(Named, &Opened), MP3_FMT);
    EXPECT_TRUE(Opened);
    std::string Other = FixturePath("dispatch_mpeg.bin");
    WriteFile(Other, Bytes);
    EXPECT_EQ(Dispatch(Other, &Opened), MP3_FMT);
    EXPECT_TRUE(Opened);
}

TEST_F(InputDispatch, FlacWithoutItsLibraryIsRefusedAndNothingElseChanges)
{
    std::string Flac = FixturePath("dispatch.flac");
    if (!HaveTool("flac") || !zebtest::Run("flac -s -f -o " + Flac + " " + Wav("dispatch_src.wav")))
        GTEST_SKIP() << "flac not available";
    bool Opened = false;
    EXPECT_EQ(Dispatch(Flac, &Opened), FLAC_FMT);
    EXPECT_TRUE(Opened);
    Use("flac", false);
    EXPECT_EQ(Dispatch(Flac, &Opened), FLAC_FMT);
    EXPECT_FALSE(Opened);
    EXPECT_NE(Dispatch(Wav("dispatch_other.wav"), &Opened), FLAC_FMT);
    EXPECT_TRUE(Opened);
}

TEST_F(InputDispatch, ANameThatLiesIsOvercomeByTheContent)
{
    std::string Flac = FixturePath("lying_src.flac");
    std::string Mp3 = LameFixture("lying_src.mp3", 1.0, 2, 44100, "-b 128");
    if (!HaveTool("flac") || Mp3.empty() || !zebtest::Run("flac -s -f -o " + Flac + " " + Wav("lying_src.wav")))
        GTEST_SKIP() << "flac or lame not available";
    std::vector<uint8_t> WaveBytes = ReadFile(Wav("lying_wave_src.wav"));
    bool Opened = false;
    WriteFile(FixturePath("lying_wave.mp3"), WaveBytes);
    EXPECT_EQ(Dispatch(FixturePath("lying_wave.mp3"), &Opened), LibSndFile ? LIBSNDFILE_FMT : PCMWAV_FMT);
    EXPECT_TRUE(Opened);
    WriteFile(FixturePath("lying_flac.ogg"), ReadFile(Flac));
    EXPECT_EQ(Dispatch(FixturePath("lying_flac.ogg"), &Opened), FLAC_FMT);
    EXPECT_TRUE(Opened);
    WriteFile(FixturePath("lying_mpeg.flac"), ReadFile(Mp3));
    EXPECT_EQ(Dispatch(FixturePath("lying_mpeg.flac"), &Opened), MP3_FMT);
    EXPECT_TRUE(Opened);
    // Without the sound-file library the built-in engine takes the WAVE.
    Use("sndfile", false);
    EXPECT_EQ(Dispatch(FixturePath("lying_wave.mp3"), &Opened), PCMWAV_FMT);
    EXPECT_TRUE(Opened);
    // Content no engine takes is refused, under the named engine's format.
    WriteFile(FixturePath("lying_text.mp3"), std::vector<uint8_t>(8192, 'x'));
    EXPECT_EQ(Dispatch(FixturePath("lying_text.mp3"), &Opened), MP3_FMT);
    EXPECT_FALSE(Opened);
}

TEST_F(InputDispatch, TheExtensionOfAPathLongerThanTheOldLimitIsRead)
{
    std::string Folder(300, 'd');
    EXPECT_EQ(PathExtension(("/" + Folder + "/song.M4A").c_str()), ".M4A");
    EXPECT_EQ(PathExtension(("/music.dir/" + Folder).c_str()), "");
    std::string Deep = FixtureDir() + "/" + std::string(200, 'p');
    ASSERT_TRUE(zebtest::Run("mkdir -p " + Deep));
    std::string Path = Deep + "/" + std::string(60, 'n') + ".wav";
    WriteFile(Path, ReadFile(Wav("long_src.wav")));
    ASSERT_GT(Path.size(), 260u);
    bool Opened = false;
    Dispatch(Path, &Opened);
    EXPECT_TRUE(Opened);
}

// A host that loads the library by a relative name and then changes its
// working folder still gets the modules beside the library.
TEST(LibraryFolder, ModulesAreFoundAfterTheHostLeavesTheFolderItLoadedFrom)
{
    std::string Wma = WmaFixture();
    if (Wma.empty())
        GTEST_SKIP() << "ffmpeg not available";
    char Before[PATH_MAX];
    ASSERT_NE(getcwd(Before, sizeof Before), nullptr);
    ASSERT_EQ(chdir(ZEB_BUILD_DIR), 0);
    void* Library = dlopen("./libzeb-audio.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_EQ(chdir("/"), 0);
    ASSERT_NE(Library, nullptr) << dlerror();
    auto TrackLength = reinterpret_cast<uint32_t (*)(const char*)>(dlsym(Library, "ZEBAudioGetMP3TrackLength"));
    ASSERT_NE(TrackLength, nullptr);
    EXPECT_EQ(TrackLength(Wma.c_str()), 3u);
    EXPECT_EQ(chdir(Before), 0);
}
