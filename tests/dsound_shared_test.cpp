// Shared DirectSound device objects and the built-in output module over
// virtual devices: sharing, release with the last output, device indexes,
// the device array for the export, the module's command switch, and what
// happens when a device's output is lost.
#include "core/dsound_shared.h"
#include "core/player.h"
#include "output/dsound_if.h"
#include "output/modDSound.h"
#include "platform/dsdevice_testing.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Opens and closes one output, so that the library holds no device list.
void FlushDeviceList()
{
    SetVirtualDevicesForTesting(1);
    auto Player = std::make_unique<PlayerInstanceType>();
    if (InitDSoundInstance(Player.get(), nullptr, 0))
        Player->cOutputModule.OutputDelete(Player->cOutputInst);
    SetVirtualDevicesForTesting(0);
}

class SharedTest : public ::testing::Test {
protected:
    void SetUp() override { SetVirtualDevicesForTesting(2); }
    void TearDown() override
    {
        for (auto& Player : Players)
            Close(Player.get());
        FlushDeviceList();
    }
    PlayerInstanceType* NewPlayer()
    {
        Players.push_back(std::make_unique<PlayerInstanceType>());
        Players.back()->hPar = Host.Window();
        return Players.back().get();
    }
    void Close(PlayerInstanceType* Player)
    {
        if (Player->cOutputModule.OutputDelete)
            Player->cOutputModule.OutputDelete(Player->cOutputInst);
        Player->cOutputModule = OutputModule{};
        Player->cOutputInst = nullptr;
        Player->DSoundProp = nullptr;
    }
    unsigned ListedCount()
    {
        unsigned Count = 0;
        free(EnumerateDeviceArray(&Count));
        return Count;
    }

    zebtest::Host Host;
    std::vector<std::unique_ptr<PlayerInstanceType>> Players;
};

} // namespace

TEST_F(SharedTest, OpenInstallsTheModuleWithTheStreamAsItsInstance)
{
    PlayerInstanceType* P = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(P, nullptr, 0), 1);
    EXPECT_EQ(P->cOutputModule.OutputCreate, nullptr);
    EXPECT_EQ(P->cOutputModule.OutputDelete, &DeleteDSoundInstance);
    EXPECT_EQ(P->cOutputModule.OutputOpen, &modDSoundOpen);
    EXPECT_EQ(P->cOutputModule.OutputClose, &modDSoundClose);
    EXPECT_EQ(P->cOutputModule.OutputWrite, &modDSoundWrite);
    EXPECT_EQ(P->cOutputModule.OutputCmd, &modDSoundCommand);
    ASSERT_NE(P->DSoundProp, nullptr);
    EXPECT_EQ(P->cOutputInst, P->DSoundProp);
    EXPECT_EQ(P->DSoundProp->hPar, Host.Window());
    EXPECT_NE(P->DSoundProp->lpdsPrimary, nullptr);
}

TEST_F(SharedTest, TwoPlayersShareADeviceReleasedWithTheLastOutput)
{
    PlayerInstanceType* A = NewPlayer();
    PlayerInstanceType* B = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(A, nullptr, 0), 1);
    ASSERT_EQ(InitDSoundInstance(B, nullptr, 0), 1);
    EXPECT_EQ(A->DSoundProp->lpds, B->DSoundProp->lpds);
    EXPECT_EQ(A->DSoundProp->lpdsPrimary, B->DSoundProp->lpdsPrimary);
    EXPECT_NE(A->DSoundProp->lpdsb, B->DSoundProp->lpdsb);
    DSDevice* Device = VirtualDeviceForTesting(0);
    ASSERT_EQ(Device, A->DSoundProp->lpds);

    Close(A);
    EXPECT_EQ(VirtualDeviceForTesting(0), Device);
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    modDSoundWrite(B->cOutputInst, Block.data(), 4000, 2, 2, 44100); // B keeps playing
    EXPECT_EQ(B->DSoundProp->BuffersStop, 0);

    Close(B);
    EXPECT_EQ(VirtualDeviceForTesting(0), nullptr);
    // The list went with the last output: the next query enumerates again.
    SetVirtualDevicesForTesting(3);
    EXPECT_EQ(ListedCount(), 3u);
}

TEST_F(SharedTest, DevicesOnTwoIndexesGoTogetherWithTheLastOutput)
{
    PlayerInstanceType* A = NewPlayer();
    PlayerInstanceType* B = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(A, nullptr, 0), 1);
    ASSERT_EQ(InitDSoundInstance(B, nullptr, 1), 1);
    EXPECT_NE(A->DSoundProp->lpds, B->DSoundProp->lpds);
    Close(A);
    EXPECT_NE(VirtualDeviceForTesting(0), nullptr);
    EXPECT_NE(VirtualDeviceForTesting(1), nullptr);
    Close(B);
    EXPECT_EQ(VirtualDeviceForTesting(0), nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(1), nullptr);
}

TEST_F(SharedTest, IndexAtOrBeyondTheCountFailsAndLeavesNoDevice)
{
    PlayerInstanceType* P = NewPlayer();
    EXPECT_EQ(InitDSoundInstance(P, nullptr, 2), 0);
    EXPECT_EQ(InitDSoundInstance(P, nullptr, -1), 0);
    EXPECT_EQ(P->cOutputModule.OutputDelete, nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(0), nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(1), nullptr);
    EXPECT_EQ(VirtualDeviceForTesting(2), nullptr);
}

TEST_F(SharedTest, FailedDeviceOpenFailsTheOutputOpen)
{
    PlayerInstanceType* P = NewPlayer();
    SetVirtualOpenFailureForTesting(true);
    EXPECT_EQ(InitDSoundInstance(P, nullptr, 0), 0);
    SetVirtualOpenFailureForTesting(false);
    EXPECT_EQ(P->DSoundProp, nullptr);
    EXPECT_EQ(InitDSoundInstance(P, nullptr, 0), 1);
}

TEST_F(SharedTest, DeviceArrayPointsAtTheDescriptions)
{
    unsigned Count = 0;
    char** Array = EnumerateDeviceArray(&Count);
    ASSERT_NE(Array, nullptr);
    ASSERT_EQ(Count, 2u);
    EXPECT_STREQ(Array[0], "Virtual output 0");
    EXPECT_STREQ(Array[1], "Virtual output 1");
    EXPECT_NE(reinterpret_cast<DeviceEnumType*>(Array[0])->lpGUID, nullptr);
    free(Array);
}

TEST_F(SharedTest, ExportedDeviceArrayOutlivesTheLibraryList)
{
    unsigned Count = 0;
    char** Array = ZEBAudioEnumerateDevices(&Count);
    ASSERT_EQ(Count, 2u);
    PlayerInstanceType* P = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(P, nullptr, 0), 1);
    Close(P); // the last output: the library releases its list
    SetVirtualDevicesForTesting(3);
    EXPECT_EQ(ListedCount(), 3u);
    EXPECT_STREQ(Array[0], "Virtual output 0");
    EXPECT_STREQ(Array[1], "Virtual output 1");
    EXPECT_EQ(reinterpret_cast<DeviceEnumType*>(Array[1])->lpGUID, DSVirtualId(1));
    ZEBAudioFreeDeviceEnums(Array);
}

TEST_F(SharedTest, ModuleCommandsMapOntoTheStream)
{
    PlayerInstanceType* P = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(P, nullptr, 0), 1);
    void* Inst = P->cOutputInst;
    DSoundPropType* Prop = P->DSoundProp;
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SEEK, 0), 1); // unknown to the module: nothing
    uint32_t One = 0x3F800000, Half = 0x3F000000;
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SET_OUTPUT_FREQUENCY, Half), 1);
    EXPECT_FLOAT_EQ(Prop->SampleRateRatio, 0.5f);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SET_OUTPUT_FREQUENCY, One), 1);
    EXPECT_FLOAT_EQ(Prop->SampleRateRatio, 1.0f);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SET_OUTPUT_VOLUME, 50), 1);
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 50u);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SET_OUTPUT_VOLUME, 101), 0);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_SET_MAIN_VOLUME, 25), 1);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_GET_MAIN_VOLUME, 0), 25);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_PLAY, 0), 1);
    EXPECT_EQ(Prop->BuffersStop, 0);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_PAUSE, 0), 1);
    EXPECT_EQ(Prop->BuffersStop, 1);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_OUTPUT_DRAIN, 0), 1);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_OUTPUT_RESET, 0), 1);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_STOP, 0), 1);
    EXPECT_EQ(modDSoundOpen(Inst), 1);
    modDSoundClose(Inst); // stopped: nothing to play out
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_OUTPUT_DRAIN, 0), 1);
}

// ---- Lost devices ----

TEST_F(SharedTest, WriteToALostDeviceIsReportedOncePerStreamAndGivesTheBufferUp)
{
    PlayerInstanceType* P = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(P, nullptr, 0), 1);
    void* Inst = P->cOutputInst;
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    modDSoundWrite(Inst, Block.data(), 4000, 2, 2, 44100);
    ASSERT_EQ(P->DSoundProp->BuffersStop, 0);
    DSDeviceSetLost(P->DSoundProp->lpds);
    for (int I = 0; I < 3; ++I)
        modDSoundWrite(Inst, Block.data(), 4000, 2, 2, 44100);
    EXPECT_EQ(P->DSoundProp->lpdsb, nullptr);
    EXPECT_EQ(modDSoundCommand(Inst, ZEB_CMD_OUTPUT_DRAIN, 0), 1); // returns: nothing plays
    const auto Lost = {zebtest::Msg(ZEB_NTF_ERROR, ZEB_ERR_DSOUND_BUFFER, DSoundDetailDeviceLost)};
    auto Got = Host.Settle(50);
    EXPECT_TRUE(zebtest::Same(Got, Lost)) << zebtest::Describe(Got);

    // The next stream on the same output is told as well, once, even
    // when it starts from a preload.
    ASSERT_EQ(modDSoundOpen(Inst), 1);
    PreloadDSoundBuffer(P->DSoundProp, Block.data(), 4000);
    for (int I = 0; I < 3; ++I)
        modDSoundWrite(Inst, Block.data(), 4000, 2, 2, 44100);
    Got = Host.Settle(50);
    EXPECT_TRUE(zebtest::Same(Got, Lost)) << zebtest::Describe(Got);
}

TEST_F(SharedTest, LostDeviceMakesWayForANewOneAndStaysWithItsOutputs)
{
    PlayerInstanceType* Old = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(Old, nullptr, 0), 1);
    DSDevice* Lost = Old->DSoundProp->lpds;
    DSDeviceSetLost(Lost);
    PlayerInstanceType* New = NewPlayer();
    SetVirtualOpenFailureForTesting(true); // the output is not back yet
    EXPECT_EQ(InitDSoundInstance(New, nullptr, 0), 0);
    SetVirtualOpenFailureForTesting(false);
    ASSERT_EQ(InitDSoundInstance(New, nullptr, 0), 1);
    DSDevice* Fresh = New->DSoundProp->lpds;
    EXPECT_NE(Fresh, Lost);
    EXPECT_FALSE(DSDeviceIsLost(Fresh));
    EXPECT_EQ(VirtualDevicesOpenForTesting(), 2u);

    // The old output keeps its own device and primary buffer until it closes.
    EXPECT_EQ(modDSoundCommand(Old->cOutputInst, ZEB_CMD_SET_MAIN_VOLUME, 50), 1);
    EXPECT_EQ(modDSoundCommand(Old->cOutputInst, ZEB_CMD_GET_MAIN_VOLUME, 0), 50);
    EXPECT_EQ(modDSoundCommand(New->cOutputInst, ZEB_CMD_GET_MAIN_VOLUME, 0), 100);
    Close(Old);
    EXPECT_EQ(VirtualDevicesOpenForTesting(), 1u);

    auto Block = zebtest::TestPcm(1000, 2, 44100);
    modDSoundWrite(New->cOutputInst, Block.data(), 4000, 2, 2, 44100);
    VirtualDeviceAdvance(Fresh, 1000);
    uint32_t Cursor = 0;
    ASSERT_EQ(DSBufferGetCurrentPosition(New->DSoundProp->lpdsb, &Cursor, nullptr), DS_OK);
    EXPECT_EQ(Cursor, 4000u);
    EXPECT_TRUE(Host.Settle(50).empty());
}

TEST_F(SharedTest, LostDeviceWithoutOutputsIsClosedWhenItsIndexIsOpened)
{
    PlayerInstanceType* A = NewPlayer();
    PlayerInstanceType* B = NewPlayer();
    ASSERT_EQ(InitDSoundInstance(A, nullptr, 0), 1);
    ASSERT_EQ(InitDSoundInstance(B, nullptr, 1), 1); // keeps the table alive
    DSDevice* Lost = A->DSoundProp->lpds;
    Close(A);
    DSDeviceSetLost(Lost);
    ASSERT_EQ(InitDSoundInstance(A, nullptr, 0), 1);
    EXPECT_FALSE(DSDeviceIsLost(A->DSoundProp->lpds));
    EXPECT_EQ(VirtualDevicesOpenForTesting(), 2u);
}

TEST(SharedEmpty, MachineWithoutOutputsListsNothing)
{
    FlushDeviceList();
    static const char* const Missing[] = {"libzeb-missing-backend.so", nullptr};
    SetSupportLibraryNames("pulse", Missing);
    SetSupportLibraryNames("alsa", Missing);
    unsigned Count = 7;
    char** Array = EnumerateDeviceArray(&Count);
    EXPECT_NE(Array, nullptr);
    EXPECT_EQ(Count, 0u);
    free(Array);
    auto Player = std::make_unique<PlayerInstanceType>();
    EXPECT_EQ(InitDSoundInstance(Player.get(), nullptr, 0), 0);
    SetSupportLibraryNames("pulse", nullptr);
    SetSupportLibraryNames("alsa", nullptr);
}
