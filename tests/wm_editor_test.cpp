// The Windows Media module's metadata editor over real ASF files: edits
// reach the file only through Flush, every change lands where a reader
// (ffprobe, TagLib) sees it, the media bytes stay as they were, and a save
// that fails anywhere leaves the original byte for byte. Then the engine's
// editor methods and the five exports over this editor.
#include "editor_save.h"
#include "editor_session.h"
#include "support/host.h"
#include "support/subprocess.h"
#include "support/wm_fixtures.h"
#include "wmaengine_testing.h"
#include "zeb-audio.h"

#include <asffile.h>
#include <gtest/gtest.h>

#include <grp.h>
#include <functional>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace zebtest;

namespace {

struct Released {
    void operator()(IUnknown* P) const { P->Release(); }
};
using EditorPtr = std::unique_ptr<IWMMetadataEditor, Released>;
using InfoPtr = std::unique_ptr<IWMHeaderInfo3, Released>;

std::vector<WMChar> Widened(const std::string& Path)
{
    std::vector<WMChar> W(Path.begin(), Path.end());
    for (WMChar& C : W)
        C = static_cast<unsigned char>(C);
    W.push_back(0);
    return W;
}

EditorPtr OpenEditor(const std::string& Path, WMStatus* Status = nullptr)
{
    EditorPtr Editor(CreateASFEditor());
    WMStatus S = Editor->Open(Widened(Path).data());
    if (Status)
        *Status = S;
    return S < 0 ? nullptr : std::move(Editor);
}

InfoPtr InfoOf(IWMMetadataEditor* Editor)
{
    void* Object = nullptr;
    EXPECT_EQ(Editor->QueryInterface(IID_IWMHeaderInfo3, &Object), 0);
    return InfoPtr(static_cast<IWMHeaderInfo3*>(Object));
}

std::vector<uint16_t> IndicesOf(IWMHeaderInfo3* Info, const std::string& Name)
{
    uint16_t Count = 0;
    Info->GetAttributeIndices(0, Utf16(Name).data(), nullptr, nullptr, &Count);
    std::vector<uint16_t> Out(Count);
    if (Count)
        Info->GetAttributeIndices(0, Utf16(Name).data(), nullptr, Out.data(), &Count);
    return Out;
}

std::vector<uint8_t> ValueAt(IWMHeaderInfo3* Info, uint16_t Index, WMT_ATTR_DATATYPE* Type = nullptr)
{
    uint32_t Len = 0;
    WMT_ATTR_DATATYPE T{};
    if (Info->GetAttributeByIndexEx(0, Index, nullptr, nullptr, &T, nullptr, nullptr, &Len) < 0)
        return {};
    std::vector<uint8_t> V(Len);
    Info->GetAttributeByIndexEx(0, Index, nullptr, nullptr, nullptr, nullptr, V.data(), &Len);
    if (Type)
        *Type = T;
    return V;
}

WMStatus AddString(IWMHeaderInfo3* Info, const std::string& Name, const std::string& Text, uint16_t* Index = nullptr)
{
    std::vector<uint8_t> V = StringBytes(Text);
    uint16_t Unused;
    return Info->AddAttribute(0, Utf16(Name).data(), Index ? Index : &Unused, WMT_TYPE_STRING, 0, V.data(),
                              static_cast<uint32_t>(V.size()));
}

// Names in Path's folder that a save left behind for it: new versions
// (".wmedit-") and kept originals (".wmkeep-").
std::vector<std::string> Leftovers(const std::string& Path, const char* Kind = ".wm")
{
    std::string Base = Path.substr(Path.rfind('/') + 1);
    std::vector<std::string> Found;
    DIR* D = opendir(Path.substr(0, Path.rfind('/')).c_str());
    while (dirent* E = D ? readdir(D) : nullptr)
        if (std::string(E->d_name).rfind("." + Base + Kind, 0) == 0)
            Found.push_back(E->d_name);
    if (D)
        closedir(D);
    return Found;
}

WMStatus SaveOne(const std::string& Path, const std::string& Value)
{
    EditorPtr Editor = OpenEditor(Path);
    if (!Editor)
        return WM_E_FAIL;
    InfoPtr Info = InfoOf(Editor.get());
    WMStatus Added = AddString(Info.get(), "WM/Composer", Value);
    return Added < 0 ? Added : Editor->Flush();
}

// Runs Body in a child process (as the user nobody when AsUser) and
// returns its exit status, or -1 when it did not exit (killed).
int InChild(const std::function<int()>& Body, bool AsUser = false)
{
    unsigned Uid = 0, Gid = 0;
    if (AsUser && !NobodyIds(&Uid, &Gid))
        return -1;
    pid_t Pid = fork();
    if (Pid == 0) {
        if (AsUser && (setgroups(0, nullptr) != 0 || setresgid(Gid, Gid, Gid) != 0 || setresuid(Uid, Uid, Uid) != 0))
            _exit(100);
        _exit(Body());
    }
    int Status = 0;
    if (Pid < 0 || waitpid(Pid, &Status, 0) != Pid)
        return -1;
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
}

class WMEditor : public ::testing::Test {
protected:
    void SetUp() override
    {
        Base = WmaFixture();
        if (Base.empty())
            GTEST_SKIP() << "ffmpeg missing";
        Path = WorkCopy(Base, std::string("wmed-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        Before = ReadFile(Path);
    }
    void TearDown() override
    {
        SimulateASFSaveFailure(ASFSaveStep::None);
        if (!Path.empty())
            std::remove(Path.c_str());
    }
    std::string Base, Path;
    std::vector<uint8_t> Before;
};

} // namespace

TEST_F(WMEditor, AddChangeAndDeleteLandInTheFileAndKeepTheAudio)
{
    std::vector<uint8_t> Pcm = FfmpegPcm(Path);
    ASSERT_FALSE(Pcm.empty());
    EditorPtr Editor = OpenEditor(Path);
    ASSERT_TRUE(Editor);
    InfoPtr Info = InfoOf(Editor.get());
    uint16_t NewIndex = 0;
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Zed", &NewIndex), 0);
    EXPECT_EQ(ValueAt(Info.get(), NewIndex), StringBytes("Zed"));
    // "Author" is both the Content Description field and an attribute.
    std::vector<uint16_t> Authors = IndicesOf(Info.get(), "Author");
    ASSERT_EQ(Authors.size(), 2u);
    std::vector<uint8_t> Who = StringBytes("Someone Else");
    for (uint16_t i : Authors)
        ASSERT_EQ(Info->ModifyAttribute(0, i, WMT_TYPE_STRING, 0, Who.data(), Who.size()), 0);
    for (uint16_t i : IndicesOf(Info.get(), "WM/AlbumTitle"))
        ASSERT_EQ(Info->DeleteAttribute(0, i), 0);
    std::vector<uint8_t> Track = DwordBytes(7);
    ASSERT_EQ(Info->AddAttribute(0, Utf16("WM/TrackNumber").data(), &NewIndex, WMT_TYPE_DWORD, 0, Track.data(), 4), 0);
    ASSERT_EQ(Editor->Flush(), 0);
    EXPECT_TRUE(Leftovers(Path).empty());

    EXPECT_EQ(ProbeTag(Path, "composer"), "Zed");
    EXPECT_EQ(ProbeTag(Path, "artist"), "Someone Else");
    EXPECT_EQ(ProbeTag(Path, "album"), "");
    EXPECT_EQ(ProbeTag(Path, "title"), "T");
    {
        TagLib::ASF::File F(Path.c_str());
        ASSERT_TRUE(F.isValid());
        EXPECT_EQ(F.tag()->artist(), "Someone Else");
        EXPECT_EQ(F.tag()->attribute("Author").front().toString(), "Someone Else");
        EXPECT_FALSE(F.tag()->contains("WM/AlbumTitle"));
        EXPECT_EQ(F.tag()->attribute("WM/TrackNumber").front().toUInt(), 7u);
    }
    EXPECT_EQ(FfmpegPcm(Path), Pcm);

    // A fresh session reads the saved values back with their types.
    Editor = OpenEditor(Path);
    ASSERT_TRUE(Editor);
    Info = InfoOf(Editor.get());
    WMT_ATTR_DATATYPE Type{};
    ASSERT_EQ(IndicesOf(Info.get(), "WM/TrackNumber").size(), 1u);
    EXPECT_EQ(ValueAt(Info.get(), IndicesOf(Info.get(), "WM/TrackNumber")[0], &Type), DwordBytes(7));
    EXPECT_EQ(Type, WMT_TYPE_DWORD);
    EXPECT_EQ(Editor->Close(), 0);
}

TEST_F(WMEditor, SessionsWithoutSavedChangesWriteNothing)
{
    struct stat Was;
    ASSERT_EQ(stat(Path.c_str(), &Was), 0);
    {
        EditorPtr Editor = OpenEditor(Path);
        ASSERT_TRUE(Editor);
        EXPECT_EQ(Editor->Flush(), 0); // nothing changed: nothing written
    }
    {
        EditorPtr Editor = OpenEditor(Path);
        InfoPtr Info = InfoOf(Editor.get());
        ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Dropped"), 0);
        EXPECT_EQ(Editor->Close(), 0); // changes discarded
        EXPECT_EQ(Editor->Close(), WM_E_INVALID_REQUEST);
        uint16_t Count = 0;
        EXPECT_EQ(Info->GetAttributeCountEx(0, &Count), WM_E_INVALID_REQUEST); // the view ended with the session
    }
    {
        EditorPtr Editor = OpenEditor(Path);
        InfoPtr Info = InfoOf(Editor.get());
        ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Released"), 0);
        // Released without Flush: discarded like Close.
    }
    struct stat Now;
    ASSERT_EQ(stat(Path.c_str(), &Now), 0);
    EXPECT_EQ(ReadFile(Path), Before);
    EXPECT_EQ(Now.st_ino, Was.st_ino);
    EXPECT_EQ(Now.st_mtim.tv_nsec, Was.st_mtim.tv_nsec);
}

TEST_F(WMEditor, ReadOnlyAttributesAndUnwritableValuesAreRefused)
{
    EditorPtr Editor = OpenEditor(Path);
    ASSERT_TRUE(Editor);
    InfoPtr Info = InfoOf(Editor.get());
    uint8_t Q[8] = {1};
    for (const char* Name : {"Duration", "Bitrate"}) {
        std::vector<uint16_t> At = IndicesOf(Info.get(), Name);
        ASSERT_EQ(At.size(), 1u) << Name;
        WMT_ATTR_DATATYPE Type{};
        std::vector<uint8_t> Value = ValueAt(Info.get(), At[0], &Type);
        EXPECT_EQ(Info->ModifyAttribute(0, At[0], Type, 0, Value.data(), Value.size()), WM_E_READ_ONLY) << Name;
        EXPECT_EQ(Info->DeleteAttribute(0, At[0]), WM_E_READ_ONLY) << Name;
        EXPECT_EQ(Info->SetAttribute(0, Utf16(Name).data(), Type, Value.data(), Value.size()), WM_E_READ_ONLY);
    }
    uint16_t Index = 0;
    EXPECT_EQ(Info->AddAttribute(0, Utf16("IsVBR").data(), &Index, WMT_TYPE_BOOL, 0, Q, 4), WM_E_READ_ONLY);
    // Sizes that do not fit the type, GUID values, other streams.
    EXPECT_LT(Info->AddAttribute(0, Utf16("WM/X").data(), &Index, WMT_TYPE_DWORD, 0, Q, 3), 0);
    EXPECT_LT(Info->AddAttribute(0, Utf16("WM/X").data(), &Index, WMT_TYPE_QWORD, 0, Q, 4), 0);
    EXPECT_LT(Info->AddAttribute(0, Utf16("WM/X").data(), &Index, WMT_TYPE_STRING, 0, Q, 3), 0);
    EXPECT_LT(Info->AddAttribute(0, Utf16("WM/X").data(), &Index, WMT_TYPE_GUID, 0, Q, 8), 0);
    EXPECT_LT(Info->AddAttribute(1, Utf16("WM/X").data(), &Index, WMT_TYPE_DWORD, 0, Q, 4), 0);
    EXPECT_LT(Info->AddAttribute(0, Utf16("Title").data(), &Index, WMT_TYPE_STRING, 0, Q, 2), 0); // exists once
    EXPECT_TRUE(IndicesOf(Info.get(), "WM/X").empty());
    EXPECT_EQ(Editor->Flush(), 0);
    EXPECT_EQ(ReadFile(Path), Before);
}

TEST_F(WMEditor, IndicesStayPutAcrossDeletesAndValuesAreNormalised)
{
    EditorPtr Editor = OpenEditor(Path);
    InfoPtr Info = InfoOf(Editor.get());
    uint16_t Album = IndicesOf(Info.get(), "WM/AlbumTitle").at(0);
    uint16_t Title = IndicesOf(Info.get(), "Title").at(0);
    std::vector<uint8_t> TitleValue = ValueAt(Info.get(), Title);
    ASSERT_EQ(Info->DeleteAttribute(0, Album), 0);
    EXPECT_EQ(Info->DeleteAttribute(0, Album), WM_E_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(ValueAt(Info.get(), Album), std::vector<uint8_t>{});
    EXPECT_EQ(ValueAt(Info.get(), Title), TitleValue);
    uint16_t Added = 0;
    uint8_t True[4] = {9, 9, 0, 0};
    ASSERT_EQ(Info->AddAttribute(0, Utf16("WM/Flag").data(), &Added, WMT_TYPE_BOOL, 0, True, 4), 0);
    EXPECT_NE(Added, Album);
    EXPECT_EQ(ValueAt(Info.get(), Added), DwordBytes(1));
    // A string without its terminator gets one; one cut at a terminator ends there.
    uint8_t Text[6] = {'a', 0, 'b', 0, 0, 0};
    ASSERT_EQ(Info->ModifyAttribute(0, Added, WMT_TYPE_STRING, 0, Text, 4), 0);
    EXPECT_EQ(ValueAt(Info.get(), Added), StringBytes("ab"));
    uint8_t Cut[6] = {'a', 0, 0, 0, 'b', 0};
    ASSERT_EQ(Info->ModifyAttribute(0, Added, WMT_TYPE_STRING, 0, Cut, 6), 0);
    EXPECT_EQ(ValueAt(Info.get(), Added), StringBytes("a"));
    EXPECT_EQ(Editor->Flush(), 0);
}

TEST_F(WMEditor, FailedSavesLeaveTheOriginalWhole)
{
    for (ASFSaveStep Step : {ASFSaveStep::Copy, ASFSaveStep::Rewrite, ASFSaveStep::Sync, ASFSaveStep::Rename}) {
        SimulateASFSaveFailure(Step);
        EditorPtr Editor = OpenEditor(Path);
        ASSERT_TRUE(Editor);
        InfoPtr Info = InfoOf(Editor.get());
        ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Lost"), 0);
        EXPECT_LT(Editor->Flush(), 0) << static_cast<int>(Step);
        EXPECT_EQ(ReadFile(Path), Before) << static_cast<int>(Step);
        EXPECT_TRUE(Leftovers(Path).empty()) << static_cast<int>(Step);
    }
    SimulateASFSaveFailure(ASFSaveStep::None);

    // Changed by someone else after the editor opened it: not overwritten.
    EditorPtr Editor = OpenEditor(Path);
    InfoPtr Info = InfoOf(Editor.get());
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Mine"), 0);
    std::vector<uint8_t> Theirs = Before;
    Theirs.push_back(0);
    WriteFile(Path, Theirs);
    EXPECT_LT(Editor->Flush(), 0);
    EXPECT_EQ(ReadFile(Path), Theirs);
    EXPECT_TRUE(Leftovers(Path).empty());

    // Removed meanwhile: nothing is created in its place.
    Editor = OpenEditor(Path);
    Info = InfoOf(Editor.get());
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Mine"), 0);
    std::remove(Path.c_str());
    EXPECT_LT(Editor->Flush(), 0);
    EXPECT_NE(access(Path.c_str(), F_OK), 0);
    EXPECT_TRUE(Leftovers(Path).empty());
}

TEST_F(WMEditor, SavedFileKeepsThePermissionBits)
{
    ASSERT_EQ(chmod(Path.c_str(), 0640), 0);
    EditorPtr Editor = OpenEditor(Path);
    InfoPtr Info = InfoOf(Editor.get());
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Kept"), 0);
    ASSERT_EQ(Editor->Flush(), 0);
    struct stat St;
    ASSERT_EQ(stat(Path.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0640u);
}

TEST_F(WMEditor, SavesKeepHardLinksExtendedAttributesOwnerAndMode)
{
    std::string Other = Path + ".second-name.wma";
    ASSERT_EQ(link(Path.c_str(), Other.c_str()), 0);
    std::string Single = WorkCopy(Base, "wmed-single");
    for (const std::string& F : {Path, Single}) {
        ASSERT_EQ(chmod(F.c_str(), 0640), 0);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(F.c_str(), 12345, 23456), 0);
        }
    }
    bool Xattrs = setxattr(Path.c_str(), "user.zebtest", "linked", 6, 0) == 0 &&
                  setxattr(Single.c_str(), "user.zebtest", "single", 6, 0) == 0;
    struct stat Was;
    ASSERT_EQ(stat(Path.c_str(), &Was), 0);
    ASSERT_EQ(SaveOne(Path, "Both names"), 0);
    ASSERT_EQ(SaveOne(Single, "Renamed in"), 0);

    struct stat Now, OtherNow;
    ASSERT_EQ(stat(Path.c_str(), &Now), 0);
    ASSERT_EQ(stat(Other.c_str(), &OtherNow), 0);
    EXPECT_EQ(Now.st_ino, Was.st_ino) << "rewritten in place";
    EXPECT_EQ(OtherNow.st_ino, Now.st_ino);
    EXPECT_EQ(Now.st_nlink, 2u);
    EXPECT_EQ(ProbeTag(Other, "composer"), "Both names");
    EXPECT_EQ(ProbeTag(Single, "composer"), "Renamed in");
    for (const std::string& F : {Path, Single}) {
        struct stat St;
        ASSERT_EQ(stat(F.c_str(), &St), 0);
        EXPECT_EQ(St.st_mode & 07777, 0640u) << F;
        if (geteuid() == 0) {
            EXPECT_EQ(St.st_uid, 12345u) << F;
            EXPECT_EQ(St.st_gid, 23456u) << F;
        }
        char Value[16] = {};
        if (Xattrs) {
            EXPECT_EQ(getxattr(F.c_str(), "user.zebtest", Value, sizeof Value), 6) << F;
            EXPECT_STREQ(Value, F == Path ? "linked" : "single");
        }
        EXPECT_TRUE(Leftovers(F).empty()) << F;
    }
    std::remove(Other.c_str());
    std::remove(Single.c_str());
}

TEST_F(WMEditor, AnotherEditorOrAWriterMeanwhileLosesNothing)
{
    EditorPtr First = OpenEditor(Path);
    ASSERT_TRUE(First);
    WMStatus Status = 0;
    EXPECT_FALSE(OpenEditor(Path, &Status)) << "the first editor holds the lock";
    InfoPtr Info = InfoOf(First.get());
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Mine"), 0);
    // Another program writes the file just before the editor's rename.
    static std::string Target;
    Target = Path;
    SetASFSaveStepHook([](ASFSaveStep Step) {
        if (Step != ASFSaveStep::Rename)
            return;
        int Fd = open(Target.c_str(), O_WRONLY);
        const char Byte = 0x5A;
        if (Fd >= 0 && pwrite(Fd, &Byte, 1, lseek(Fd, 0, SEEK_END) - 1) == 1)
            close(Fd);
    });
    EXPECT_LT(First->Flush(), 0);
    SetASFSaveStepHook(nullptr);
    std::vector<uint8_t> Theirs = Before;
    Theirs.back() = 0x5A;
    EXPECT_EQ(ReadFile(Path), Theirs);
    EXPECT_TRUE(Leftovers(Path).empty());
    First.reset();
    EXPECT_EQ(SaveOne(Path, "After"), 0) << "the lock went with the first editor";
}

TEST_F(WMEditor, InterruptedSavesLeaveTheOriginalOrTheWayBack)
{
    // Killed just before the rename: the original stays, and the next save
    // removes the full-size copy left beside it.
    int Ended = InChild([&] {
        SetASFSaveStepHook([](ASFSaveStep Step) {
            if (Step == ASFSaveStep::Rename)
                raise(SIGKILL);
        });
        return SaveOne(Path, "Never") == 0 ? 0 : 1;
    });
    EXPECT_EQ(Ended, -1);
    EXPECT_EQ(ReadFile(Path), Before);
    EXPECT_EQ(Leftovers(Path, ".wmedit-").size(), 1u);
    ASSERT_EQ(SaveOne(Path, "Next"), 0);
    EXPECT_TRUE(Leftovers(Path).empty());
    EXPECT_EQ(ProbeTag(Path, "composer"), "Next");

    // Killed halfway through rewriting a hard-linked file in place: the
    // synced copy of the original beside it is the way back, and stays.
    std::vector<uint8_t> Saved = ReadFile(Path);
    std::string Other = Path + ".second-name.wma";
    ASSERT_EQ(link(Path.c_str(), Other.c_str()), 0);
    Ended = InChild([&] {
        SetASFSaveStepHook([](ASFSaveStep Step) {
            if (Step == ASFSaveStep::InPlace)
                raise(SIGKILL);
        });
        return SaveOne(Path, std::string(20000, 'x')) == 0 ? 0 : 1; // moves the media data
    });
    EXPECT_EQ(Ended, -1);
    std::vector<std::string> Kept = Leftovers(Path, ".wmkeep-");
    ASSERT_EQ(Kept.size(), 1u);
    EXPECT_EQ(ReadFile(Path.substr(0, Path.rfind('/') + 1) + Kept[0]), Saved);
    EXPECT_EQ(Leftovers(Path, ".wmedit-").size(), 1u) << "the complete new version stays too";
    EXPECT_NE(ReadFile(Path), Saved);
    SaveOne(Path, "Whatever the torn file allows");
    EXPECT_EQ(Leftovers(Path, ".wmkeep-"), Kept) << "a torn file keeps its way back";
    for (const std::string& L : Leftovers(Path))
        std::remove((Path.substr(0, Path.rfind('/') + 1) + L).c_str());
    std::remove(Other.c_str());
}

TEST_F(WMEditor, TheCallersRightsDecide)
{
    unsigned Uid, Gid;
    if (geteuid() != 0 || !NobodyIds(&Uid, &Gid))
        GTEST_SKIP() << "needs root to act as the user nobody in a folder of that user";
    std::string Dir = FixturePath("wmed-rights." + std::to_string(getpid()));
    ASSERT_TRUE(zebtest::Run("rm -rf '" + Dir + "' && mkdir '" + Dir + "'"));
    ASSERT_EQ(chown(Dir.c_str(), Uid, Gid), 0);
    // The user's own file without write permission, and another user's
    // file the user may write: neither is edited.
    std::string ReadOnly = Dir + "/read-only.wma", Foreign = Dir + "/foreign.wma";
    WriteFile(ReadOnly, Before);
    WriteFile(Foreign, Before);
    ASSERT_EQ(chown(ReadOnly.c_str(), Uid, Gid), 0);
    ASSERT_EQ(chmod(ReadOnly.c_str(), 0444), 0);
    ASSERT_EQ(chmod(Foreign.c_str(), 0666), 0);
    int Result = InChild(
        [&] {
            bool Refused = !OpenEditor(ReadOnly);
            bool SaveFailed = SaveOne(Foreign, "Taken over") < 0;
            return (Refused ? 0 : 1) | (SaveFailed ? 0 : 2);
        },
        true);
    EXPECT_EQ(Result, 0) << "1: a read-only file opened, 2: another user's file was saved, 100: no privileges to drop";
    for (const std::string& F : {ReadOnly, Foreign}) {
        EXPECT_EQ(ReadFile(F), Before) << F;
        EXPECT_TRUE(Leftovers(F).empty()) << F;
    }
    struct stat St;
    ASSERT_EQ(stat(Foreign.c_str(), &St), 0);
    EXPECT_EQ(St.st_uid, 0u);
    zebtest::Run("rm -rf '" + Dir + "'");
}

TEST_F(WMEditor, EditingThroughASymbolicLinkChangesTheFileAndKeepsTheLink)
{
    std::string Link = Path + ".link.wma";
    ASSERT_EQ(symlink(Path.c_str(), Link.c_str()), 0);
    EditorPtr Editor = OpenEditor(Link);
    ASSERT_TRUE(Editor);
    InfoPtr Info = InfoOf(Editor.get());
    ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Linked"), 0);
    ASSERT_EQ(Editor->Flush(), 0);
    struct stat St;
    ASSERT_EQ(lstat(Link.c_str(), &St), 0);
    EXPECT_TRUE(S_ISLNK(St.st_mode));
    EXPECT_EQ(ProbeTag(Path, "composer"), "Linked");
    std::remove(Link.c_str());
}

TEST_F(WMEditor, WhatCannotBeEditedIsNotOpened)
{
    std::string Cut = FixturePath("wmed-cut." + std::to_string(getpid()) + ".wma");
    WriteFile(Cut, std::vector<uint8_t>(Before.begin(), Before.begin() + 200));
    std::string Wav = FixturePath("wmed-not." + std::to_string(getpid()) + ".wma");
    WriteWav(Wav, 44100, 1, 16, TestPcm(441, 1, 44100));
    for (const std::string& Bad : {Cut, Wav, FixtureDir(), std::string("/nonexistent/a.wma")}) {
        WMStatus Status = 0;
        EXPECT_FALSE(OpenEditor(Bad, &Status)) << Bad;
        EXPECT_LT(Status, 0);
    }
    EXPECT_EQ(ReadFile(Cut).size(), 200u);
    std::remove(Cut.c_str());
    std::remove(Wav.c_str());
    // A wide path with a character no byte widens to.
    EditorPtr Editor(CreateASFEditor());
    std::vector<WMChar> Odd = Widened(Path);
    Odd[0] = 0x263A;
    EXPECT_LT(Editor->Open(Odd.data()), 0);
    void* Object = nullptr;
    EXPECT_EQ(Editor->QueryInterface(IID_IWMHeaderInfo, &Object), WM_E_NOINTERFACE);
    EXPECT_EQ(Editor->Flush(), WM_E_INVALID_REQUEST);
}

TEST(WMEditorCorpus, EveryFileOpensOrIsRefusedAndReadingChangesNothing)
{
    std::vector<std::string> Files = CorpusWindowsMediaFiles();
    if (Files.empty())
        GTEST_SKIP() << "no corpus";
    for (const std::string& File : Files) {
        std::vector<uint8_t> Bytes = ReadFile(File);
        std::string Copy = WorkCopy(File, "wmed-corpus");
        WMStatus Status = 0;
        EditorPtr Editor = OpenEditor(Copy, &Status);
        if (Editor) {
            InfoPtr Info = InfoOf(Editor.get());
            uint16_t Count = 0;
            ASSERT_EQ(Info->GetAttributeIndices(0, nullptr, nullptr, nullptr, &Count), 0);
            for (uint16_t i = 0; i < Count; ++i)
                ValueAt(Info.get(), i);
            EXPECT_EQ(Editor->Close(), 0);
            // An edit keeps the decoded audio exactly.
            std::vector<uint8_t> Pcm = FfmpegPcm(Copy);
            Editor = OpenEditor(Copy);
            ASSERT_TRUE(Editor);
            Info = InfoOf(Editor.get());
            ASSERT_EQ(AddString(Info.get(), "WM/Composer", "Corpus"), 0);
            WMStatus Saved = Editor->Flush();
            if (Saved == 0)
                EXPECT_EQ(FfmpegPcm(Copy), Pcm) << File;
            else
                EXPECT_EQ(ReadFile(Copy), Bytes) << File;
        } else {
            EXPECT_LT(Status, 0);
        }
        EXPECT_EQ(ReadFile(File), Bytes) << File;
        std::remove(Copy.c_str());
    }
}

// ---- The engine's editor and the exports, over this module's editor ----

namespace {

// Init needs a reader; the editor never uses it.
struct IdleReader final : IWMReader {
    WMStatus QueryInterface(const WMGuid&, void** Object) override { *Object = nullptr; return WM_E_NOINTERFACE; }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    WMStatus Open(const WMChar*, IWMReaderCallback*, void*) override { return WM_E_NOTIMPL; }
    WMStatus Close() override { return WM_E_NOTIMPL; }
    WMStatus GetOutputCount(uint32_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputProps(uint32_t, IWMOutputMediaProps**) override { return WM_E_NOTIMPL; }
    WMStatus SetOutputProps(uint32_t, IWMOutputMediaProps*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormatCount(uint32_t, uint32_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormat(uint32_t, uint32_t, IWMOutputMediaProps**) override { return WM_E_NOTIMPL; }
    WMStatus Start(uint64_t, uint64_t, float, void*) override { return WM_E_NOTIMPL; }
    WMStatus Stop() override { return WM_E_NOTIMPL; }
    WMStatus Pause() override { return WM_E_NOTIMPL; }
    WMStatus Resume() override { return WM_E_NOTIMPL; }
} Idle;

WMStatus CreateIdleReader(IUnknown*, uint32_t, IWMReader** Reader)
{
    *Reader = &Idle;
    return WM_S_OK;
}

WMStatus CreateEditorHere(IWMMetadataEditor** Editor)
{
    *Editor = CreateASFEditor();
    return *Editor ? WM_S_OK : WM_E_OUTOFMEMORY;
}

std::vector<uint8_t> Get(void* Handle, const std::string& Name, size_t Size)
{
    uint8_t* Value = nullptr;
    if (!_WMGetHeaderAttribute(Handle, Utf16(Name).data(), &Value))
        return {};
    std::vector<uint8_t> Out(Value, Value + Size);
    _WMFreeHeaderAttribute(Value);
    return Out;
}

class WMEditorExports : public WMEditor {
protected:
    void SetUp() override
    {
        WMEditor::SetUp();
        SetWMARuntimeForTesting(CreateIdleReader, CreateEditorHere);
    }
    void TearDown() override
    {
        ResetWMARuntimeForTesting();
        WMEditor::TearDown();
    }
};

} // namespace

TEST_F(WMEditorExports, SetChangesEveryOccurrenceAddsAndDeletes)
{
    void* H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    EXPECT_EQ(Get(H, "Author", 4), StringBytes("A"));
    std::vector<uint8_t> Who = StringBytes("B");
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("Author").data(), Who.data(), ZEB_WMT_TYPE_STRING, Who.size()), 1);
    std::vector<uint8_t> Seven = DwordBytes(7);
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/TrackNumber").data(), Seven.data(), ZEB_WMT_TYPE_DWORD, 4), 1);
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/AlbumTitle").data(), nullptr, 0, 0), 1);
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/NeverThere").data(), nullptr, 0, 0), 1);
    EXPECT_EQ(_WMSetHeaderAttribute(H, Utf16("Duration").data(), Seven.data(), ZEB_WMT_TYPE_DWORD, 4), 0);
    EXPECT_EQ(Get(H, "WM/TrackNumber", 4), Seven);
    ASSERT_EQ(_WMCloseMetaEditor(H), 1);

    TagLib::ASF::File F(Path.c_str());
    EXPECT_EQ(F.tag()->artist(), "B");
    EXPECT_EQ(F.tag()->attribute("Author").front().toString(), "B");
    EXPECT_FALSE(F.tag()->contains("WM/AlbumTitle"));
    EXPECT_EQ(F.tag()->attribute("WM/TrackNumber").front().toUInt(), 7u);
}

TEST_F(WMEditorExports, FailedSaveReturnsZeroAndKeepsTheFile)
{
    void* H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    std::vector<uint8_t> V = StringBytes("Lost");
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/Composer").data(), V.data(), ZEB_WMT_TYPE_STRING, V.size()), 1);
    SimulateASFSaveFailure(ASFSaveStep::Sync);
    EXPECT_EQ(_WMCloseMetaEditor(H), 0);
    EXPECT_EQ(ReadFile(Path), Before);
    EXPECT_TRUE(Leftovers(Path).empty());

    // Reading only: Close, not Flush, even with the save failing.
    H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    EXPECT_EQ(Get(H, "Title", 4), StringBytes("T"));
    EXPECT_EQ(_WMCloseMetaEditor(H), 1);
    EXPECT_EQ(ReadFile(Path), Before);
}

TEST_F(WMEditorExports, RefusalsLeaveNothingBehind)
{
    EXPECT_EQ(_WMOpenMetaEditor(std::string(PATH_MAX, 'a').c_str()), nullptr); // no room for the terminator
    EXPECT_EQ(_WMOpenMetaEditor(nullptr), nullptr);
    EXPECT_EQ(_WMOpenMetaEditor(FixtureDir().c_str()), nullptr);
    EXPECT_EQ(_WMCloseMetaEditor(nullptr), 0);
    uint8_t* Value = reinterpret_cast<uint8_t*>(1);
    EXPECT_EQ(_WMGetHeaderAttribute(nullptr, Utf16("Title").data(), &Value), 0);
    void* H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    EXPECT_EQ(_WMGetHeaderAttribute(H, Utf16("WM/Missing").data(), &Value), 0);
    EXPECT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/X").data(), Value, 7, 4), 0); // no such type
    EXPECT_EQ(_WMCloseMetaEditor(H), 1);
    // Without the runtime nothing opens.
    SetWMARuntimeForTesting(nullptr, nullptr);
    EXPECT_EQ(_WMOpenMetaEditor(Path.c_str()), nullptr);
    EXPECT_EQ(ReadFile(Path), Before);
}

TEST_F(WMEditorExports, GuidValuesAreWrittenAndAnOverfullHeaderOpensReadOnly)
{
    void* H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    std::vector<uint8_t> Guid(16);
    for (size_t i = 0; i < Guid.size(); ++i)
        Guid[i] = static_cast<uint8_t>(i * 17 + 1);
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/MediaClassPrimaryID").data(), Guid.data(), ZEB_WMT_TYPE_GUID, 16), 1);
    EXPECT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/Short").data(), Guid.data(), ZEB_WMT_TYPE_GUID, 15), 0);
    ASSERT_EQ(_WMCloseMetaEditor(H), 1);
    {
        TagLib::ASF::File F(Path.c_str());
        TagLib::ASF::AttributeList Saved = F.tag()->attribute("WM/MediaClassPrimaryID");
        ASSERT_EQ(Saved.size(), 1u);
        EXPECT_EQ(Saved.front().type(), TagLib::ASF::Attribute::GuidType);
        EXPECT_EQ(Saved.front().toByteVector(), TagLib::ByteVector(reinterpret_cast<const char*>(Guid.data()), 16));
        // More attributes than 16-bit indices reach (in two objects, whose
        // counts are 16-bit too).
        for (int i = 0; i < 70000; ++i) {
            TagLib::ASF::Attribute A(TagLib::String("v"));
            A.setLanguage(i < 40000 ? 0 : 1);
            F.tag()->addAttribute("N" + TagLib::String::number(i), A);
        }
        ASSERT_TRUE(F.save());
    }
    const std::vector<uint8_t> Full = ReadFile(Path);
    H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    EXPECT_EQ(_WMGetHeaderAttributeCount(H), 0xFFFFu);
    EXPECT_EQ(Get(H, "WM/MediaClassPrimaryID", 16), Guid) << "past the last index, read by name";
    std::vector<uint8_t> X = StringBytes("x");
    EXPECT_EQ(_WMSetHeaderAttribute(H, Utf16("Title").data(), X.data(), ZEB_WMT_TYPE_STRING, X.size()), 0);
    EXPECT_EQ(_WMSetHeaderAttribute(H, Utf16("N0").data(), nullptr, 0, 0), 0);
    EXPECT_EQ(_WMCloseMetaEditor(H), 1);
    EXPECT_EQ(ReadFile(Path), Full);
}

TEST_F(WMEditorExports, ANameInTwoLanguagesReadsAsTheFirstListed)
{
    {
        TagLib::ASF::File F(Path.c_str());
        TagLib::ASF::Attribute Other(TagLib::String("zweite"));
        Other.setLanguage(2);
        F.tag()->addAttribute("WM/Mood", Other);
        F.tag()->addAttribute("WM/Mood", TagLib::ASF::Attribute(TagLib::String("first")));
        ASSERT_TRUE(F.save());
    }
    EditorPtr Editor = OpenEditor(Path);
    InfoPtr Info = InfoOf(Editor.get());
    std::vector<uint16_t> Moods = IndicesOf(Info.get(), "WM/Mood");
    ASSERT_EQ(Moods.size(), 2u);
    std::vector<uint8_t> First = ValueAt(Info.get(), Moods[0]);
    Editor->Close();

    void* H = _WMOpenMetaEditor(Path.c_str());
    ASSERT_TRUE(H);
    EXPECT_EQ(Get(H, "WM/Mood", First.size()), First);
    // Setting it gives both the new value in language 0.
    std::vector<uint8_t> Calm = StringBytes("calm");
    ASSERT_EQ(_WMSetHeaderAttribute(H, Utf16("WM/Mood").data(), Calm.data(), ZEB_WMT_TYPE_STRING, Calm.size()), 1);
    ASSERT_EQ(_WMCloseMetaEditor(H), 1);
    TagLib::ASF::File F(Path.c_str());
    TagLib::ASF::AttributeList Saved = F.tag()->attribute("WM/Mood");
    ASSERT_EQ(Saved.size(), 2u);
    for (const TagLib::ASF::Attribute& A : Saved) {
        EXPECT_EQ(A.toString(), "calm");
        EXPECT_EQ(A.language(), 0);
    }
}
