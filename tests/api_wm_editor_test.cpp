// The header attribute editor through the public exports and the Windows
// Media module beside the library: reads of every type's bytes, edits that
// ffprobe sees after the close while the audio stays bit for bit (through
// ffmpeg and through the player), sessions that must not write, refusals,
// and zebplay's --wm options.
#include "support/host.h"
#include "support/subprocess.h"
#include "support/wm_fixtures.h"
#include "zeb-audio.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace zebtest;

namespace {

std::vector<uint8_t> Get(void* Editor, const std::string& Name, size_t Size)
{
    uint8_t* Value = nullptr;
    if (!_WMGetHeaderAttribute(Editor, Utf16(Name).data(), &Value))
        return {};
    std::vector<uint8_t> Out(Value, Value + Size);
    _WMFreeHeaderAttribute(Value);
    return Out;
}

int SetString(void* Editor, const std::string& Name, const std::string& Text)
{
    std::vector<uint8_t> V = StringBytes(Text);
    return _WMSetHeaderAttribute(Editor, Utf16(Name).data(), V.data(), ZEB_WMT_TYPE_STRING,
                                 static_cast<uint16_t>(V.size()));
}

uint64_t LE(const std::vector<uint8_t>& V)
{
    uint64_t X = 0;
    for (size_t i = 0; i < V.size(); ++i)
        X |= static_cast<uint64_t>(V[i]) << (8 * i);
    return X;
}

// The file played through the library into a test output, whole.
std::vector<uint8_t> PlayedPcm(const std::string& Path)
{
    Host H;
    TestOutput Out;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    TestOutput::Open(Player, &Out);
    H.Drain(Player);
    ZEBAudioInputOpen(Player, Path.c_str());
    std::vector<ZEBMessage> Got = H.Take(2);
    std::vector<uint8_t> Pcm;
    if (Got.size() == 2 && Got[1].Msg == ZEB_NTF_INPUT_OPENED) {
        ZEBAudioPlay(Player);
        H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 60000);
        Pcm = Out.Bytes();
    }
    ZEBAudioPlayerDestroy(Player);
    return Pcm;
}

ProcessResult Zebplay(const std::vector<std::string>& Args)
{
    std::vector<std::string> Argv = {std::string(ZEB_BUILD_DIR) + "/tools/zebplay"};
    Argv.insert(Argv.end(), Args.begin(), Args.end());
    return RunProcess(Argv);
}

class WMEditorApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string Base = WmaFixture();
        if (Base.empty())
            GTEST_SKIP() << "ffmpeg missing";
        Path = WorkCopy(Base, std::string("api-wmed-") +
                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        Before = ReadFile(Path);
    }
    void TearDown() override
    {
        if (!Path.empty())
            std::remove(Path.c_str());
    }
    std::string Path;
    std::vector<uint8_t> Before;
};

} // namespace

TEST_F(WMEditorApi, ValuesComeBackAsTheirStoredBytes)
{
    void* Editor = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(Editor);
    EXPECT_EQ(Get(Editor, "Title", 4), StringBytes("T")); // terminator included
    EXPECT_EQ(Get(Editor, "WM/AlbumTitle", 6), StringBytes("Al"));
    uint64_t Duration = LE(Get(Editor, "Duration", 8));
    EXPECT_GT(Duration, 29000000u);
    EXPECT_LT(Duration, 32000000u);
    EXPECT_GE(LE(Get(Editor, "Bitrate", 4)), 128000u);
    uint8_t* Value = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(_WMGetHeaderAttribute(Editor, Utf16("IsVBR").data(), &Value), 0); // ffmpeg stores none
    // Read-only attributes stay as they are.
    std::vector<uint8_t> Zero(8, 0);
    EXPECT_EQ(_WMSetHeaderAttribute(Editor, Utf16("Duration").data(), Zero.data(), ZEB_WMT_TYPE_QWORD, 8), 0);
    EXPECT_EQ(_WMSetHeaderAttribute(Editor, Utf16("Bitrate").data(), nullptr, ZEB_WMT_TYPE_DWORD, 0), 0);
    EXPECT_EQ(LE(Get(Editor, "Duration", 8)), Duration);
    EXPECT_EQ(_WMCloseMetaEditor(Editor), 1);
    EXPECT_EQ(ReadFile(Path), Before);
}

TEST_F(WMEditorApi, EditsAreSavedAtCloseAndTheAudioStaysTheSame)
{
    std::vector<uint8_t> Pcm = FfmpegPcm(Path);
    ASSERT_FALSE(Pcm.empty());
    void* Editor = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(Editor);
    ASSERT_EQ(SetString(Editor, "WM/Composer", "Zed"), 1);
    ASSERT_EQ(SetString(Editor, "Author", "Other"), 1); // both of ffmpeg's copies
    ASSERT_EQ(_WMSetHeaderAttribute(Editor, Utf16("WM/AlbumTitle").data(), nullptr, 0, 0), 1);
    std::vector<uint8_t> Seven = DwordBytes(7);
    ASSERT_EQ(_WMSetHeaderAttribute(Editor, Utf16("WM/TrackNumber").data(), Seven.data(), ZEB_WMT_TYPE_DWORD, 4), 1);
    EXPECT_EQ(ReadFile(Path), Before) << "nothing is written before the close";
    ASSERT_EQ(_WMCloseMetaEditor(Editor), 1);

    EXPECT_EQ(ProbeTag(Path, "composer"), "Zed");
    EXPECT_EQ(ProbeTag(Path, "artist"), "Other");
    EXPECT_EQ(ProbeTag(Path, "album"), "");
    EXPECT_EQ(ProbeTag(Path, "title"), "T");
    EXPECT_EQ(FfmpegPcm(Path), Pcm);
    EXPECT_EQ(PlayedPcm(Path), Pcm); // the Windows Media engine through the player

    Editor = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(Editor);
    EXPECT_EQ(Get(Editor, "WM/TrackNumber", 4), Seven);
    EXPECT_EQ(Get(Editor, "Author", 12), StringBytes("Other"));
    EXPECT_EQ(_WMCloseMetaEditor(Editor), 1);
}

TEST_F(WMEditorApi, SaveRefusedWhenTheFileChangedMeanwhile)
{
    void* Editor = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(Editor);
    ASSERT_EQ(SetString(Editor, "WM/Composer", "Mine"), 1);
    std::vector<uint8_t> Theirs = Before;
    Theirs[Theirs.size() - 1] ^= 1;
    WriteFile(Path, Theirs);
    EXPECT_EQ(_WMCloseMetaEditor(Editor), 0);
    EXPECT_EQ(ReadFile(Path), Theirs);
}

TEST_F(WMEditorApi, WhatCannotBeEditedGivesNoHandle)
{
    std::string Cut = Path + ".cut.wma";
    WriteFile(Cut, std::vector<uint8_t>(Before.begin(), Before.begin() + 100));
    std::string Wav = Path + ".pcm.wma";
    WriteWav(Wav, 8000, 1, 16, TestPcm(800, 1, 8000));
    std::string Long = FixtureDir() + "/" + std::string(PATH_MAX - FixtureDir().size(), 'x');
    for (const std::string& Bad : {Cut, Wav, Long, FixtureDir(), std::string("/nonexistent.wma")})
        EXPECT_EQ(_WMOpenMetaEditor(Bad.c_str()), nullptr) << Bad;
    EXPECT_EQ(_WMOpenMetaEditor(nullptr), nullptr);
    EXPECT_EQ(_WMCloseMetaEditor(nullptr), 0);
    EXPECT_EQ(ReadFile(Cut).size(), 100u);
    std::remove(Cut.c_str());
    std::remove(Wav.c_str());
}

TEST_F(WMEditorApi, ZebplayListsGetsSetsAndDeletes)
{
    ProcessResult List = Zebplay({"--wm-list", Path});
    ASSERT_EQ(List.ExitCode, 0) << List.Err;
    EXPECT_NE(List.Out.find("Title\tSTRING\tT\n"), std::string::npos) << List.Out;
    EXPECT_NE(List.Out.find("Duration\tQWORD\t"), std::string::npos);
    EXPECT_NE(List.Out.find("WM/AlbumTitle\tSTRING\tAl\n"), std::string::npos);
    EXPECT_EQ(ReadFile(Path), Before);

    // Every attribute, with the name and type it is stored under.
    EXPECT_EQ(Zebplay({"--wm-set", "MyCustom=mine", Path}).ExitCode, 0);
    void* Editor = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(Editor);
    std::vector<uint8_t> Seven = DwordBytes(7);
    ASSERT_EQ(_WMSetHeaderAttribute(Editor, Utf16("WM/TrackNumber").data(), Seven.data(), ZEB_WMT_TYPE_DWORD, 4), 1);
    std::vector<uint8_t> Guid(16, 0xAB);
    ASSERT_EQ(_WMSetHeaderAttribute(Editor, Utf16("WM/Id").data(), Guid.data(), ZEB_WMT_TYPE_GUID, 16), 1);
    ASSERT_EQ(_WMCloseMetaEditor(Editor), 1);
    List = Zebplay({"--wm-list", Path});
    EXPECT_NE(List.Out.find("MyCustom\tSTRING\tmine\n"), std::string::npos) << List.Out;
    EXPECT_NE(List.Out.find("WM/TrackNumber\tDWORD\t7\n"), std::string::npos) << List.Out;
    EXPECT_NE(List.Out.find("WM/Id\tGUID\t{ABABABAB-ABAB-ABAB-ABAB-ABABABABABAB}\n"), std::string::npos) << List.Out;

    EXPECT_EQ(Zebplay({"--wm-set", "WM/Genre=Jazz \xC3\xA9t\xC3\xA9", Path}).ExitCode, 0);
    EXPECT_EQ(Zebplay({"--wm-get", "WM/Genre", Path}).Out, "Jazz \xC3\xA9t\xC3\xA9\n");
    EXPECT_EQ(ProbeTag(Path, "genre"), "Jazz \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(Zebplay({"--wm-del", "WM/Genre", Path}).ExitCode, 0);
    EXPECT_EQ(Zebplay({"--wm-get", "WM/Genre", Path}).ExitCode, 1);
    EXPECT_EQ(Zebplay({"--wm-set", "Duration=1", Path}).ExitCode, 1);
    EXPECT_EQ(Zebplay({"--wm-set", "NoValue", Path}).ExitCode, 2);
    EXPECT_EQ(Zebplay({"--wm-list", Path, Path}).ExitCode, 2);
    std::string Wav = Path + ".pcm.wma";
    WriteWav(Wav, 8000, 1, 16, TestPcm(800, 1, 8000));
    EXPECT_EQ(Zebplay({"--wm-list", Wav}).ExitCode, 1);
    std::remove(Wav.c_str());

    // The library without its Windows Media module beside it.
    std::string Alone = FixturePath("api-wmed-alone." + std::to_string(getpid()));
    ASSERT_TRUE(zebtest::Run("mkdir -p '" + Alone + "' && cp -P '" ZEB_BUILD_DIR "'/libzeb-audio.so* '" + Alone + "'"));
    EXPECT_FALSE(zebtest::Run("LD_LIBRARY_PATH='" + Alone + "' '" ZEB_BUILD_DIR "/tools/zebplay' --wm-list '" + Path +
                     "' >/dev/null 2>&1"));
    zebtest::Run("rm -rf '" + Alone + "'");

    // A file the user may not write is not opened for editing, in the
    // user's own folder too.
    std::vector<std::string> Argv =
        AsNobody({std::string(ZEB_BUILD_DIR) + "/tools/zebplay", "--wm-set", "Title=x", Alone + "/ro.wma"});
    unsigned Uid, Gid;
    if (Argv.empty() || !NobodyIds(&Uid, &Gid))
        GTEST_SKIP() << "cannot run as the user nobody: not root or no setpriv";
    ASSERT_TRUE(zebtest::Run("mkdir -p '" + Alone + "'"));
    ASSERT_EQ(chown(Alone.c_str(), Uid, Gid), 0);
    const std::vector<uint8_t> Mine = ReadFile(Path);
    WriteFile(Alone + "/ro.wma", Mine);
    ASSERT_EQ(chown((Alone + "/ro.wma").c_str(), Uid, Gid), 0);
    ASSERT_EQ(chmod((Alone + "/ro.wma").c_str(), 0444), 0);
    ProcessResult Denied = RunProcess(Argv);
    EXPECT_EQ(Denied.ExitCode, 1) << Denied.Err;
    EXPECT_NE(Denied.Err.find("permission denied"), std::string::npos) << Denied.Err;
    EXPECT_EQ(ReadFile(Alone + "/ro.wma"), Mine);
    zebtest::Run("rm -rf '" + Alone + "'");
}
