// Which engine takes a file: the extension first, then the sound-file
// library for everything without a dedicated engine, then MPEG audio.
#include "core/input.h"
#include "core/player.h"
#include "support/host.h"
#include "support/mpeg_fixtures.h"

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
