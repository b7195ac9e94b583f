// Shared DirectSound device objects across threads: a device lost while a
// writer waits for room or the end-of-stream thread plays out, and a new
// output taking the device's index meanwhile.
#include "core/dsound_shared.h"
#include "core/player.h"
#include "output/dsound_if.h"
#include "output/modDSound.h"
#include "platform/dsdevice_testing.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

constexpr uint32_t Quarter = 44100; // a quarter of the one-second stereo buffer
constexpr auto HangLimit = std::chrono::seconds(20);

class LostDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { SetVirtualDevicesForTesting(1); }
    void TearDown() override
    {
        for (auto& Player : Players)
            if (Player->cOutputModule.OutputDelete)
                Player->cOutputModule.OutputDelete(Player->cOutputInst);
        SetVirtualDevicesForTesting(0);
    }
    PlayerInstanceType* Open()
    {
        Players.push_back(std::make_unique<PlayerInstanceType>());
        PlayerInstanceType* Player = Players.back().get();
        Player->hPar = Host.Window();
        EXPECT_EQ(InitDSoundInstance(Player, nullptr, 0), 1);
        return Player;
    }
    void Write(PlayerInstanceType* Player, uint32_t Bytes)
    {
        modDSoundWrite(Player->cOutputInst, Block.data(), Bytes, 2, 2, 44100);
    }
    // Exactly one error, the loss, arrives.
    void ExpectOneLossReport()
    {
        auto Got = Host.Until(ZEB_NTF_ERROR, ZEB_ERR_DSOUND_BUFFER, 10000);
        ASSERT_FALSE(Got.empty());
        EXPECT_EQ(Got.back().lParam, DSoundDetailDeviceLost);
        auto Later = Host.Settle(100);
        EXPECT_TRUE(Later.empty()) << zebtest::Describe(Later);
    }

    zebtest::Host Host;
    std::vector<std::unique_ptr<PlayerInstanceType>> Players;
    std::vector<uint8_t> Block = zebtest::TestPcm(Quarter / 4, 2, 44100);
};

} // namespace

TEST_F(LostDeviceTest, WaitingWriterReportsTheLossOnceWhileANewOutputTakesTheIndex)
{
    PlayerInstanceType* Old = Open();
    for (int I = 0; I < 4; ++I)
        Write(Old, Quarter); // the buffer is full: with the clock stopped, a fifth quarter must wait
    auto Writer = std::async(std::launch::async, [&] { Write(Old, Quarter); });
    // Most likely waiting by now; a writer that is not yet is told the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    DSDeviceSetLost(Old->DSoundProp->lpds);
    PlayerInstanceType* New = Open();
    ASSERT_EQ(Writer.wait_for(HangLimit), std::future_status::ready) << "the writer still waits";
    ExpectOneLossReport();
    EXPECT_FALSE(DSDeviceIsLost(New->DSoundProp->lpds));
}

TEST_F(LostDeviceTest, PlayOutReportsTheLossOnceAndTheDrainReturns)
{
    PlayerInstanceType* Player = Open();
    Write(Player, Quarter);
    modDSoundClose(Player->cOutputInst); // the end-of-stream thread waits for the cursor
    DSDeviceSetLost(Player->DSoundProp->lpds);
    auto Drain = std::async(std::launch::async,
                            [&] { modDSoundCommand(Player->cOutputInst, ZEB_CMD_OUTPUT_DRAIN, 0); });
    ASSERT_EQ(Drain.wait_for(HangLimit), std::future_status::ready) << "the drain still waits";
    ExpectOneLossReport();
}
