// The mpglib interface over libmpg123: whole files fed in player-sized
// blocks decode to the same PCM as libmpg123 reading the file itself.
#include "core/mpglibdll.h"
#include "engines/mp3_engine.h"

#include "support/host.h"
#include "support/mpeg_fixtures.h"

#include <gtest/gtest.h>

#include <mpg123.h>

#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace zebtest;

namespace {

constexpr size_t InBlock = 1251;     // the player's input block
constexpr int OutCapacity = 524288;  // the player's section buffer

struct Decoder {
    std::unique_ptr<mpstr> State = std::make_unique<mpstr>();
    Decoder() { EXPECT_EQ(InitMP3(State.get()), 1); }
    ~Decoder() { ExitMP3(State.get()); }
};

struct FedResult {
    std::vector<uint8_t> Pcm;
    int Errors = 0;
    size_t Frames = 0;
};

// Feeds Bytes in blocks and drains every decoded frame after each, the way
// the player's decode loop does.
FedResult DecodeFed(const std::vector<uint8_t>& Bytes, size_t From, int OutSize = OutCapacity)
{
    Decoder D;
    FedResult R;
    std::vector<char> Out(static_cast<size_t>(OutSize));
    for (size_t At = From; At < Bytes.size(); At += InBlock) {
        int Len = static_cast<int>(std::min(InBlock, Bytes.size() - At));
        int Done = 0;
        int Stat = decodeMP3(D.State.get(), reinterpret_cast<const char*>(&Bytes[At]), Len, Out.data(),
                             OutSize, &Done);
        while (Stat == MP3_OK) {
            R.Pcm.insert(R.Pcm.end(), Out.begin(), Out.begin() + Done);
            ++R.Frames;
            Stat = decodeMP3(D.State.get(), nullptr, 0, Out.data(), OutSize, &Done);
        }
        if (Stat == MP3_ERR)
            ++R.Errors;
    }
    return R;
}


uint32_t FirstFrameOffset(const std::string& Path)
{
    MPEGFileInfoType* Info = PrepareMPEGFile(Path.c_str());
    EXPECT_NE(Info, nullptr) << Path;
    uint32_t Off = Info ? Info->FirstFrameOffset : 0;
    UnPrepareMPEGFile(Info);
    return Off;
}

} // namespace

TEST(Mpglib, BlockFedDecodeEqualsLibraryDecode)
{
    struct Case {
        std::string Path;
        size_t BytesPerFrame; // PCM bytes of one frame
    } Cases[] = {
        {LameFixture("dec_cbr.mp3", 6, 2, 44100, "--cbr -b 128"), 1152 * 4},
        {LameFixture("dec_vbr.mp3", 6, 2, 44100, "-V 2"), 1152 * 4},
        {LameFixture("dec_vbr_plain.mp3", 6, 1, 48000, "-V 5 -t"), 1152 * 2},
        {LameFixture("dec_22050.mp3", 6, 2, 22050, "-V 4"), 576 * 4},
        {LameFixture("dec_8000.mp3", 6, 1, 8000, "--cbr -b 16"), 576 * 2},
        {FfmpegFixture("dec_mp2.mp2", 6, 2, 48000, "-c:a mp2 -b:a 192k -f mp2"), 1152 * 4},
    };
    for (const Case& C : Cases) {
        if (C.Path.empty())
            GTEST_SKIP() << "lame or ffmpeg missing";
        std::vector<uint8_t> Bytes = ReadFile(C.Path);
        FedResult Fed = DecodeFed(Bytes, FirstFrameOffset(C.Path));
        std::vector<uint8_t> Direct = DecodeWithLibmpg123(C.Path);
        EXPECT_EQ(Fed.Errors, 0) << C.Path;
        EXPECT_GT(Direct.size(), 5 * C.BytesPerFrame) << C.Path;
        EXPECT_EQ(Fed.Pcm.size(), Direct.size()) << C.Path;
        EXPECT_TRUE(Fed.Pcm == Direct) << C.Path;
        EXPECT_EQ(Fed.Pcm.size(), Fed.Frames * C.BytesPerFrame) << C.Path;
        // The mpg123 player without gapless trimming writes the same samples.
        std::string Raw = C.Path + "." + std::to_string(getpid()) + ".raw";
        if (HaveTool("mpg123") &&
            zebtest::Run("mpg123 -q --no-gapless -s '" + C.Path + "' > '" + Raw + "' 2>/dev/null")) {
            EXPECT_TRUE(ReadFile(Raw) == Fed.Pcm) << C.Path;
        }
        std::remove(Raw.c_str());
    }
}

TEST(Mpglib, TaggedFileFedFromItsFirstFrame)
{
    std::string Plain = LameFixture("dec_tag_src.mp3", 4, 2, 44100, "-V 3");
    if (Plain.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Bytes = ID3TagBytes(2000);
    std::vector<uint8_t> Audio = ReadFile(Plain);
    Bytes.insert(Bytes.end(), Audio.begin(), Audio.end());
    std::string Path = FixturePath("dec_tagged_" + std::to_string(getpid()) + ".mp3");
    WriteFile(Path, Bytes);
    EXPECT_EQ(FirstFrameOffset(Path), 2010u);
    EXPECT_TRUE(DecodeFed(Bytes, 2010).Pcm == DecodeWithLibmpg123(Path));
    std::remove(Path.c_str());
}

TEST(Mpglib, SmallOutputBufferLosesNothing)
{
    std::string Path = LameFixture("dec_small_out.mp3", 3, 2, 44100, "--cbr -b 160");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Bytes = ReadFile(Path);
    FedResult Whole = DecodeFed(Bytes, 0);
    FedResult Pieces = DecodeFed(Bytes, 0, 1000);
    EXPECT_GT(Pieces.Frames, Whole.Frames);
    EXPECT_TRUE(Pieces.Pcm == Whole.Pcm);
}

TEST(Mpglib, GarbageAndResetRecover)
{
    std::string Path = LameFixture("dec_reset.mp3", 3, 2, 44100, "--cbr -b 128");
    if (Path.empty())
        GTEST_SKIP() << "lame missing";
    std::vector<uint8_t> Bytes = ReadFile(Path);
    Decoder D;
    std::vector<char> Junk(5000);
    for (size_t i = 0; i < Junk.size(); ++i)
        Junk[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    std::vector<char> Out(OutCapacity);
    int Done = -5;
    int Stat = decodeMP3(D.State.get(), Junk.data(), static_cast<int>(Junk.size()), Out.data(),
                         OutCapacity, &Done);
    EXPECT_TRUE(Stat == MP3_NEED_MORE || Stat == MP3_ERR || Stat == MP3_OK);
    // The player resets the decoder and feeds again from a frame boundary.
    ExitMP3(D.State.get());
    ASSERT_EQ(InitMP3(D.State.get()), 1);
    size_t Produced = 0;
    for (size_t At = 0; At < Bytes.size(); At += InBlock) {
        int Len = static_cast<int>(std::min(InBlock, Bytes.size() - At));
        Stat = decodeMP3(D.State.get(), reinterpret_cast<const char*>(&Bytes[At]), Len, Out.data(),
                         OutCapacity, &Done);
        while (Stat == MP3_OK) {
            Produced += static_cast<size_t>(Done);
            Stat = decodeMP3(D.State.get(), nullptr, 0, Out.data(), OutCapacity, &Done);
        }
    }
    EXPECT_EQ(Produced, DecodeWithLibmpg123(Path).size());
}

TEST(Mpglib, UninitialisedOrExitedStateIsAnError)
{
    auto Block = std::make_unique<mpstr>();
    std::fill(std::begin(Block->Opaque), std::end(Block->Opaque), 0);
    char Out[64];
    int Done = -1;
    EXPECT_EQ(decodeMP3(Block.get(), nullptr, 0, Out, sizeof Out, &Done), MP3_ERR);
    EXPECT_EQ(Done, 0);
    ExitMP3(Block.get()); // harmless on a block never initialised
    ASSERT_EQ(InitMP3(Block.get()), 1);
    EXPECT_EQ(decodeMP3(Block.get(), nullptr, 0, Out, sizeof Out, &Done), MP3_NEED_MORE);
    ASSERT_EQ(InitMP3(Block.get()), 1); // again: the first decoder is released
    ExitMP3(Block.get());
    ExitMP3(Block.get());
    EXPECT_EQ(decodeMP3(Block.get(), nullptr, 0, Out, sizeof Out, &Done), MP3_ERR);
}
