// FLAC, Ogg Vorbis, AIFF, CAF and float WAVE files played through the player to a host
// output module: the PCM equals what the reference decoders make of them.
#include "support/host.h"

#include <gtest/gtest.h>

using namespace zebtest;

namespace {

class LibraryFormats : public ::testing::Test {
protected:
    void SetUp() override
    {
        Player = ZEBAudioPlayerCreate(H.Window());
        ASSERT_NE(Player, nullptr);
        TestOutput::Open(Player, &Out);
        H.Drain(Player);
    }
    void TearDown() override { ZEBAudioPlayerDestroy(Player); }
    // Plays Path to its end; false when "Input Open" refused it.
    bool PlayFile(const std::string& Path)
    {
        ZEBAudioInputOpen(Player, Path.c_str());
        std::vector<ZEBMessage> Got = H.Take(1);
        if (Got.empty() || Got[0].Msg != ZEB_RSP_OK)
            return false;
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
        return true;
    }
    // Makes Name with sox from a two-tone signal; Format goes before the
    // file name (rate, channels, sample format).
    static std::string Source(const std::string& Name, const std::string& Format)
    {
        std::string Path = FixturePath("libfmt_" + Name);
        EXPECT_TRUE(zebtest::Run("sox -D -n " + Format + " " + Path + " synth 1.3 sine 440 sine 660 gain -3"));
        return Path;
    }
    // What Command prints: a reference decode as signed 16-bit little-endian
    // PCM, kept beside Source (tests run in parallel).
    static std::vector<uint8_t> Reference(const std::string& Source, const std::string& Command)
    {
        std::string Raw = Source + ".raw";
        EXPECT_TRUE(zebtest::Run(Command + " > " + Raw));
        return ReadFile(Raw);
    }
    Host H;
    TestOutput Out;
    void* Player = nullptr;
};

} // namespace

TEST_F(LibraryFormats, FlacPlaysAsTheFlacToolDecodesIt)
{
    if (!HaveTool("flac") || !HaveTool("sox"))
        GTEST_SKIP() << "flac or sox missing";
    std::string Wav = Source("flac_src.wav", "-r 44100 -c 2 -b 16");
    std::string Flac = FixturePath("libfmt_song.flac");
    ASSERT_TRUE(zebtest::Run("flac -s -f -o " + Flac + " " + Wav + " 2>/dev/null"));
    ASSERT_TRUE(PlayFile(Flac)) << "FLAC refused";
    std::vector<uint8_t> Want = Reference(Flac, "flac -s -d -c --force-raw-format --endian=little --sign=signed " + Flac);
    ASSERT_FALSE(Want.empty());
    EXPECT_TRUE(Out.Bytes() == Want) << Out.Bytes().size() << " bytes against " << Want.size();
}

TEST_F(LibraryFormats, VorbisPlaysAsOggdecDecodesIt)
{
    if (!HaveTool("oggenc") || !HaveTool("oggdec") || !HaveTool("sox"))
        GTEST_SKIP() << "vorbis-tools or sox missing";
    std::string Wav = Source("ogg_src.wav", "-r 44100 -c 2 -b 16");
    std::string Ogg = FixturePath("libfmt_song.ogg");
    ASSERT_TRUE(zebtest::Run("oggenc -Q -o " + Ogg + " " + Wav));
    ASSERT_TRUE(PlayFile(Ogg)) << "Ogg Vorbis refused";
    std::vector<uint8_t> Want = Reference(Ogg, "oggdec -Q -R -o - " + Ogg);
    ASSERT_FALSE(Want.empty());
    EXPECT_TRUE(Out.Bytes() == Want) << Out.Bytes().size() << " bytes against " << Want.size();
}

TEST_F(LibraryFormats, AiffAndCafPlayAsSoxDecodesThem)
{
    if (!HaveTool("sox"))
        GTEST_SKIP() << "sox missing";
    for (const char* Name : {"song.aiff", "song.caf"}) {
        std::string Path = Source(Name, "-r 48000 -c 2 -b 16");
        Out.Lock.lock();
        Out.Data.clear();
        Out.Lock.unlock();
        ASSERT_TRUE(PlayFile(Path)) << Name << " refused";
        std::vector<uint8_t> Want = Reference(Path, "sox " + Path + " -t raw -e signed -b 16 -L -");
        EXPECT_TRUE(Out.Bytes() == Want) << Name;
    }
}

TEST_F(LibraryFormats, FloatWavePlaysAtFullScale)
{
    if (!HaveTool("sox"))
        GTEST_SKIP() << "sox missing";
    std::string Path = Source("float.wav", "-r 44100 -c 1 -e floating-point -b 32");
    ASSERT_TRUE(PlayFile(Path)) << "float WAVE refused";
    std::vector<uint8_t> Pcm = Out.Bytes();
    ASSERT_EQ(Pcm.size(), 44100u * 13 / 10 * 2);
    int Peak = 0;
    for (size_t I = 0; I + 1 < Pcm.size(); I += 2)
        Peak = std::max(Peak, std::abs(static_cast<int16_t>(Pcm[I] | Pcm[I + 1] << 8)));
    EXPECT_GT(Peak, 30000); // scaled to the 16-bit range, not rounded to -1..1
}

namespace {

// The last elapsed time posted while Path plays to its end, with progress
// every 10 ms; 0 when the file was refused.
uint32_t LastElapsed(const std::vector<ZEBMessage>& Msgs)
{
    uint32_t Last = 0;
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_ELAPSED_TIME)
            Last = M.lParam;
    return Last;
}

} // namespace

// Progress runs to the exact end of a track that is not whole seconds long,
// and a seek reports the time at which the audio then resumes.
TEST_F(LibraryFormats, ElapsedTimeReachesTheExactEndAndSeeksResumeWhereTheyReport)
{
    if (!HaveTool("sox") || !HaveTool("flac"))
        GTEST_SKIP() << "sox or flac missing";
    std::string Wav = Source("exact_src.wav", "-r 44100 -c 2 -b 16");
    std::string Flac = FixturePath("libfmt_exact.flac");
    ASSERT_TRUE(zebtest::Run("flac -s -f -o " + Flac + " " + Wav + " 2>/dev/null"));
    std::string Aiff = Source("exact_src.aiff", "-r 48000 -c 1 -b 16");
    for (const std::string& Path : {Wav, Flac, Aiff}) {
        SCOPED_TRACE(Path);
        std::vector<uint8_t> Want = Reference(Path, "sox " + Path + " -t raw -e signed -b 16 -L -");
        uint32_t FrameBytes = Path == Aiff ? 2 : 4, Rate = Path == Aiff ? 48000 : 44100;
        ZEBAudioSetInputTimeInterval(Player, 10);
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBAudioPlay(Player);
        EXPECT_EQ(LastElapsed(H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS)), 1300u);
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBAudioSeek(Player, 50, 100);
        uint32_t Reported = LastElapsed(H.Drain(Player));
        EXPECT_EQ(Reported, 650u);
        Out.Lock.lock();
        Out.Data.clear();
        Out.Lock.unlock();
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS);
        size_t From = static_cast<size_t>(Reported) * Rate / 1000 * FrameBytes;
        ASSERT_LT(From, Want.size());
        EXPECT_TRUE(Out.Bytes() == std::vector<uint8_t>(Want.begin() + static_cast<long>(From), Want.end()))
            << Out.Bytes().size() << " bytes against " << Want.size() - From;
    }
}
