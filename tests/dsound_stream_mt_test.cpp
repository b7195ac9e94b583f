// Several stream records on one virtual device, each written from its own
// thread at its own rate while the device's clock thread mixes them and
// their end-of-stream threads play out: no errors, every stream ends stopped.
#include "output/dsound_if.h"
#include "platform/dsdevice_testing.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

struct StreamCase {
    uint32_t Rate;
    uint16_t Channels;
    float Ratio;
};

// Two streams in a row on one record, with commands in between, then drain.
void PlayTwoStreams(DSoundPropType* Prop, const StreamCase& Case)
{
    SetDSoundBufferFrequency(Prop, Case.Ratio);
    uint32_t Section = Case.Rate * Case.Channels * 2 / 10; // 100 ms
    auto Pcm = zebtest::TestPcm(Case.Rate / 10, Case.Channels, Case.Rate);
    for (int Stream = 0; Stream < 2; ++Stream) {
        OpenDSoundBufferStream(Prop);
        for (int I = 0; I < 8; ++I) {
            StreamToDSoundBuffer(Prop, 2, Case.Channels, Case.Rate, Pcm.data(), Section);
            if (I == 3) {
                SetDSoundBufferVolume(Prop, 60 + I);
                StopDSoundBuffer(Prop); // "Pause"
                PlayDSoundBuffer(Prop);
            }
        }
        CloseDSoundBufferStream(Prop);
        if (Stream == 0)
            continue; // the next stream's first write cancels this play-out
        WaitDSoundStreamEnd(Prop);
    }
}

} // namespace

TEST(StreamThreads, FourStreamsAtMixedRatesOnOneDevice)
{
    SetVirtualDevicesForTesting(1);
    DSBuffer* Primary = nullptr;
    DSDevice* Device = InitDSound(nullptr, DSVirtualId(0), &Primary);
    ASSERT_NE(Device, nullptr);
    zebtest::Host Host;
    const StreamCase Cases[] = {{44100, 2, 1.0f}, {22050, 1, 1.5f}, {48000, 2, 0.75f}, {8000, 1, 1.0f}};
    std::vector<DSoundPropType*> Props;
    for (size_t I = 0; I < 4; ++I) {
        Props.push_back(InitDSoundBuffers(Device, Host.Window()));
        ASSERT_NE(Props.back(), nullptr);
    }
    VirtualDeviceRunClock(Device, 3.0);
    std::vector<std::thread> Writers;
    for (size_t I = 0; I < 4; ++I)
        Writers.emplace_back(PlayTwoStreams, Props[I], Cases[I]);
    // The main volume changes under the mixer meanwhile.
    for (uint32_t Level = 100; Level > 50; Level -= 10) {
        SetDSoundPrimaryVolume(Primary, Level);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (std::thread& Writer : Writers)
        Writer.join();
    for (DSoundPropType* Prop : Props) {
        EXPECT_EQ(Prop->BuffersStop, 1);
        EXPECT_NE(Prop->lpdsb, nullptr);
    }
    EXPECT_TRUE(Host.Settle(50).empty());
    VirtualDeviceRunClock(Device, 0);
    for (DSoundPropType* Prop : Props)
        FreeDSoundBuffers(Prop);
    CloseDSound(Device);
    SetVirtualDevicesForTesting(0);
}

TEST(StreamThreads, FreeingARecordDuringItsPlayOutEndsTheThread)
{
    SetVirtualDevicesForTesting(1);
    DSBuffer* Primary = nullptr;
    DSDevice* Device = InitDSound(nullptr, DSVirtualId(0), &Primary);
    ASSERT_NE(Device, nullptr);
    zebtest::Host Host;
    for (int Round = 0; Round < 5; ++Round) {
        DSoundPropType* Prop = InitDSoundBuffers(Device, Host.Window());
        ASSERT_NE(Prop, nullptr);
        auto Pcm = zebtest::TestPcm(20000, 2, 44100);
        StreamToDSoundBuffer(Prop, 2, 2, 44100, Pcm.data(), static_cast<uint32_t>(Pcm.size()));
        VirtualDeviceRunClock(Device, 2.0);
        CloseDSoundBufferStream(Prop);
        std::this_thread::sleep_for(std::chrono::milliseconds(Round * 10));
        FreeDSoundBuffers(Prop);
        VirtualDeviceRunClock(Device, 0);
    }
    EXPECT_TRUE(Host.Settle(50).empty());
    CloseDSound(Device);
    SetVirtualDevicesForTesting(0);
}
