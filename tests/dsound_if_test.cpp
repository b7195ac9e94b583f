// The DirectSound stream record on a virtual device: free-space arithmetic,
// stream writes, preload, play-out, failures, format changes and volume.
#include "output/dsound_if.h"
#include "platform/dsdevice_testing.h"
#include "support/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

constexpr uint32_t N = 176400; // one second of 44100 Hz stereo
constexpr uint32_t FrameBytes = 4;

template <typename Predicate> bool WaitFor(Predicate Done, int TimeoutMs = 5000)
{
    auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > End)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<uint8_t> AsBytes(const std::vector<int16_t>& Samples)
{
    std::vector<uint8_t> Bytes(Samples.size() * 2);
    memcpy(Bytes.data(), Samples.data(), Bytes.size());
    return Bytes;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> Parts)
{
    std::vector<uint8_t> All;
    for (const auto& Part : Parts)
        All.insert(All.end(), Part.begin(), Part.end());
    return All;
}

bool StartsWith(const std::vector<uint8_t>& Whole, const std::vector<uint8_t>& Prefix)
{
    return Whole.size() >= Prefix.size() && std::equal(Prefix.begin(), Prefix.end(), Whole.begin());
}

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetVirtualDevicesForTesting(1);
        SetDSoundStallTimeoutForTesting(0);
        Device = InitDSound(nullptr, DSVirtualId(0), &Primary);
        ASSERT_NE(Device, nullptr);
        Prop = InitDSoundBuffers(Device, Host.Window());
        ASSERT_NE(Prop, nullptr);
        VirtualDeviceSetCapture(Device, true);
    }
    void TearDown() override
    {
        if (Device)
            VirtualDeviceRunClock(Device, 0);
        FreeDSoundBuffers(Prop);
        CloseDSound(Device);
        SetVirtualDevicesForTesting(0);
        SetDSoundStallTimeoutForTesting(0);
    }
    void Write(const std::vector<uint8_t>& Pcm, uint16_t Channels = 2, uint32_t Rate = 44100)
    {
        StreamToDSoundBuffer(Prop, 2, Channels, Rate, const_cast<uint8_t*>(Pcm.data()),
                             static_cast<uint32_t>(Pcm.size()));
    }
    uint32_t Cursor()
    {
        uint32_t Play = 0;
        DSBufferGetCurrentPosition(Prop->lpdsb, &Play, nullptr);
        return Play;
    }
    std::vector<DSLockRecord> Locks() { return VirtualDeviceTakeLockLog(Device); }
    std::vector<uint8_t> Output() { return AsBytes(VirtualDeviceTakeCapture(Device)); }
    void AdvanceBytes(uint32_t Bytes) { VirtualDeviceAdvance(Device, Bytes / FrameBytes); }
    // Waits until the end-of-stream thread has silenced half a buffer at W.
    bool WaitForClear(uint32_t W)
    {
        return WaitFor([&] {
            for (const DSLockRecord& L : VirtualDeviceTakeLockLog(Device))
                if (L.Offset == W && L.Bytes == Prop->sBufferSize / 2)
                    return true;
            return false;
        });
    }
    // Plays up to just past the last written byte; the play-out then stops.
    void FinishPlayOut()
    {
        uint32_t ToWrite = (Prop->sWritePtr + Prop->sBufferSize - Cursor()) % Prop->sBufferSize;
        AdvanceBytes(ToWrite + 4 * FrameBytes);
        EXPECT_TRUE(WaitFor([&] { return Prop->BuffersStop != 0; }));
    }
    // Host messages that arrived, without waiting for more.
    std::vector<ZEBMessage> Posted() { return Host.Settle(50); }

    zebtest::Host Host;
    DSDevice* Device = nullptr;
    DSBuffer* Primary = nullptr;
    DSoundPropType* Prop = nullptr;
};

bool SameLocks(const std::vector<DSLockRecord>& Got, const std::vector<DSLockRecord>& Want)
{
    if (Got.size() != Want.size())
        return false;
    for (size_t I = 0; I < Got.size(); ++I)
        if (Got[I].Offset != Want[I].Offset || Got[I].Bytes != Want[I].Bytes)
            return false;
    return true;
}

std::string Show(const std::vector<DSLockRecord>& Locks)
{
    std::ostringstream Text;
    for (const auto& L : Locks)
        Text << '(' << L.Offset << ',' << L.Bytes << ") ";
    return Text.str();
}

} // namespace

TEST(PlayBackDelta, FreeSpaceFromWriteToPlayCursor)
{
    EXPECT_EQ(PlayBackDelta(1000, 5000, N), 172400u);
    EXPECT_EQ(PlayBackDelta(5000, 1000, N), 4000u);
    EXPECT_EQ(PlayBackDelta(3000, 3000, N), 0u); // meeting cursors leave no room
}

TEST(Volume, LevelTableMatchesBothWays)
{
    struct Row {
        uint32_t Level;
        int32_t Attenuation;
    };
    const Row Table[] = {{100, 0},    {99, -8},     {90, -91},    {75, -249}, {50, -602},
                         {33, -962},  {25, -1204},  {10, -2000},  {1, -4000}, {0, -10000}};
    for (const Row& R : Table) {
        EXPECT_EQ(LevelToAttenuation(R.Level), R.Attenuation) << "level " << R.Level;
        EXPECT_EQ(AttenuationToLevel(R.Attenuation), R.Level) << "attenuation " << R.Attenuation;
    }
}

TEST_F(StreamTest, VolumeSettersApplyAndRefuseOutOfRange)
{
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 100u);
    EXPECT_EQ(SetDSoundBufferVolume(Prop, 50), 1);
    int32_t Attenuation = 0;
    ASSERT_EQ(DSBufferGetVolume(Prop->lpdsb, &Attenuation), DS_OK);
    EXPECT_EQ(Attenuation, -602);
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 50u);
    EXPECT_EQ(SetDSoundBufferVolume(Prop, 150), 0);
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 50u);
    EXPECT_EQ(SetDSoundBufferVolume(Prop, 0), 1);
    ASSERT_EQ(DSBufferGetVolume(Prop->lpdsb, &Attenuation), DS_OK);
    EXPECT_EQ(Attenuation, -10000);

    EXPECT_EQ(GetDSoundPrimaryVolume(Primary), 100u);
    EXPECT_EQ(SetDSoundPrimaryVolume(Primary, 0), 1);
    EXPECT_EQ(GetDSoundPrimaryVolume(Primary), 0u);
    EXPECT_EQ(SetDSoundPrimaryVolume(Primary, 101), 0);
    EXPECT_EQ(GetDSoundPrimaryVolume(Primary), 0u);
    EXPECT_EQ(GetDSoundPrimaryVolume(nullptr), 0u);
}

TEST_F(StreamTest, FrequencyFollowsRatioAndRefusesOutOfRange)
{
    uint32_t Hz = 0;
    EXPECT_EQ(SetDSoundBufferFrequency(Prop, 0.5f), 1);
    ASSERT_EQ(DSBufferGetFrequency(Prop->lpdsb, &Hz), DS_OK);
    EXPECT_EQ(Hz, 22050u);
    EXPECT_EQ(SetDSoundBufferFrequency(Prop, 1000.0f), 0);
    EXPECT_EQ(SetDSoundBufferFrequency(Prop, -1.0f), 0);
    EXPECT_FLOAT_EQ(Prop->SampleRateRatio, 0.5f);
    ASSERT_EQ(DSBufferGetFrequency(Prop->lpdsb, &Hz), DS_OK);
    EXPECT_EQ(Hz, 22050u);
}

TEST_F(StreamTest, FirstWriteClearsAndIsInBeforeTheBufferStarts)
{
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    Write(Block);
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}, {0, 4000}}));
    EXPECT_EQ(Prop->BuffersStop, 0);
    EXPECT_EQ(Prop->sWritePtr, 4000u);
    Write(Block);
    EXPECT_TRUE(SameLocks(Locks(), {{4000, 4000}}));

    // The very first frame the device mixes is the block's first frame.
    AdvanceBytes(8000);
    EXPECT_EQ(Output(), Concat({Block, Block}));
}

TEST_F(StreamTest, MonoBufferStartsAtOnceAndPlaysBothChannels)
{
    auto Block = zebtest::TestPcm(2000, 1, 22050);
    Write(Block, 1, 44100);
    ASSERT_EQ(Prop->sBufferSize, 88200u);
    auto Got = Locks();
    ASSERT_EQ(Got.size(), 2u);
    EXPECT_EQ(Got[1].Offset, 0u);
    VirtualDeviceAdvance(Device, 2000);
    auto Out = VirtualDeviceTakeCapture(Device);
    ASSERT_EQ(Out.size(), 2000 * 2u);
    for (uint32_t I = 0; I < 2000; ++I) {
        int16_t In;
        memcpy(&In, &Block[I * 2], 2);
        ASSERT_EQ(Out[I * 2], In) << I;
        ASSERT_EQ(Out[I * 2 + 1], In) << I;
    }
}

TEST_F(StreamTest, BlocksUpToThreeQuartersGoInOneLockAndWrapInTwoSpans)
{
    auto Large = zebtest::TestPcm(25000, 2, 44100); // 100000 bytes
    Write(Large);
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}, {0, 100000}}));
    auto Filler = zebtest::TestPcm(17000, 2, 44100); // W reaches 168000
    Write(Filler);
    AdvanceBytes(8000);
    auto Wrapping = zebtest::TestPcm(3000, 2, 44100); // 12000 bytes from 168000: 8400 + 3600
    Write(Wrapping);
    EXPECT_TRUE(SameLocks(Locks(), {{100000, 68000}, {168000, 12000}}));
    EXPECT_EQ(Prop->sWritePtr, 3600u);
    AdvanceBytes(N + 3600 - 8000);
    auto Want = Concat({Large, Filler, Wrapping});
    EXPECT_EQ(Output(), Want);
}

TEST_F(StreamTest, BlockOfTwoBuffersIsWrittenInEightQuarterPieces)
{
    VirtualDeviceRunClock(Device, 8.0);
    auto Block = zebtest::TestPcm(88200, 2, 44100); // 352800 bytes
    Write(Block);
    auto Got = Locks();
    ASSERT_EQ(Got.size(), 9u) << Show(Got);
    EXPECT_EQ(Got[0].Bytes, N); // the start-up clear
    for (size_t I = 1; I < Got.size(); ++I) {
        EXPECT_EQ(Got[I].Bytes, 44100u);
        EXPECT_EQ(Got[I].Offset, ((I - 1) * 44100) % N);
    }
}

TEST_F(StreamTest, BlockOfExactlyOneBufferIsCutToo)
{
    VirtualDeviceRunClock(Device, 8.0);
    auto Block = zebtest::TestPcm(N / FrameBytes, 2, 44100);
    Write(Block);
    auto Got = Locks();
    ASSERT_EQ(Got.size(), 5u) << Show(Got);
    for (size_t I = 1; I < Got.size(); ++I)
        EXPECT_EQ(Got[I].Bytes, 44100u);
}

TEST_F(StreamTest, FullPreloadHoldsTheRestAndPlaysItFirst)
{
    auto Preload = zebtest::TestPcm(50000, 2, 44100); // 200000 bytes
    EXPECT_EQ(IsPreloadBufferReady(Prop), 1);
    EXPECT_EQ(PreloadDSoundBuffer(Prop, Preload.data(), 200000), 1);
    EXPECT_EQ(Prop->sWritePtr, 0u);
    EXPECT_EQ(Prop->lBufferCount, 23600u);
    EXPECT_EQ(Prop->BuffersStop, 1);
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}}));

    auto Block = zebtest::TestPcm(1000, 2, 44100);
    std::thread Writer([&] { Write(Block); });
    // The clock starts once playback has: the capture then begins at 0.
    ASSERT_TRUE(WaitFor([&] { return Prop->BuffersStop == 0; }));
    VirtualDeviceRunClock(Device, 4.0);
    Writer.join();
    EXPECT_TRUE(SameLocks(Locks(), {{0, 23600}, {23600, 4000}}));
    EXPECT_EQ(Prop->lBufferCount, 0u);
    VirtualDeviceRunClock(Device, 0);
    auto Out = Output();
    if (Out.size() < 204000) {
        AdvanceBytes(static_cast<uint32_t>(204000 - Out.size()));
        auto More = Output();
        Out.insert(Out.end(), More.begin(), More.end());
    }
    // Playback began at 0 without a clear: the whole preload, then the block.
    EXPECT_TRUE(StartsWith(Out, Concat({Preload, Block})));
}

TEST_F(StreamTest, PartialPreloadStartsWithoutClearing)
{
    auto Preload = zebtest::TestPcm(25000, 2, 44100); // 100000 bytes
    EXPECT_EQ(PreloadDSoundBuffer(Prop, Preload.data(), 100000), 0);
    EXPECT_EQ(Prop->sWritePtr, 100000u);
    Locks();
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    Write(Block);
    EXPECT_TRUE(SameLocks(Locks(), {{100000, 4000}}));
    AdvanceBytes(104000);
    EXPECT_EQ(Output(), Concat({Preload, Block}));
}

TEST_F(StreamTest, OpeningAStreamForgetsAPreload)
{
    auto Preload = zebtest::TestPcm(25000, 2, 44100);
    PreloadDSoundBuffer(Prop, Preload.data(), 100000);
    OpenDSoundBufferStream(Prop);
    EXPECT_EQ(Prop->BufferPreLoaded, 0);
    Locks();
    Write(zebtest::TestPcm(1000, 2, 44100));
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}, {0, 4000}}));
}

TEST_F(StreamTest, ANewStreamDropsTheBytesAPreloadHeldBack)
{
    auto Preload = zebtest::TestPcm(50000, 2, 44100); // 23600 bytes held back
    EXPECT_EQ(PreloadDSoundBuffer(Prop, Preload.data(), 200000), 1);
    OpenDSoundBufferStream(Prop);
    EXPECT_EQ(Prop->lBufferCount, 0u);
    Locks();
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    Write(Block);
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}, {0, 4000}}));
    AdvanceBytes(4000);
    EXPECT_EQ(Output(), Block);
}

TEST_F(StreamTest, PreloadReformatsTheBufferForTheStream)
{
    auto Preload = zebtest::TestPcm(12000, 1, 22050); // 24000 bytes of 22050 Hz mono
    EXPECT_EQ(PreloadDSoundBufferFormat(Prop, Preload.data(), 24000, 1, 22050), 0);
    EXPECT_EQ(Prop->sBufferSize, 44100u);
    EXPECT_EQ(Prop->sWritePtr, 24000u);
    auto Block = zebtest::TestPcm(1000, 1, 22050);
    StreamToDSoundBuffer(Prop, 2, 1, 22050, Block.data(), 2000);
    EXPECT_EQ(Prop->sWritePtr, 26000u); // the preload was kept
}

TEST_F(StreamTest, PlayOutWaitsForHalfABufferSilencesAndStops)
{
    auto Block = zebtest::TestPcm(30000, 2, 44100); // 120000 bytes: W = 120000
    Write(Block);
    Locks();
    CloseDSoundBufferStream(Prop);
    AdvanceBytes(30000); // 90000 unplayed: more than half a buffer
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Locks().empty());
    EXPECT_EQ(Prop->BuffersStop, 0);
    AdvanceBytes(1800); // 88200 unplayed
    ASSERT_TRUE(WaitForClear(120000));
    EXPECT_EQ(Prop->BuffersStop, 0);
    AdvanceBytes(88200 + 4000);
    ASSERT_TRUE(WaitFor([&] { return Prop->BuffersStop != 0; }));
    WaitDSoundStreamEnd(Prop);
    auto Out = Output();
    auto Want = Concat({Block, std::vector<uint8_t>(4000, 0)});
    EXPECT_EQ(Out, Want);
    EXPECT_TRUE(Posted().empty());
}

TEST_F(StreamTest, PlayOutClearsExactlyHalfABufferAfterTheLastByte)
{
    Write(zebtest::TestPcm(10000, 2, 44100)); // W = 40000, 40000 unplayed
    Locks();
    CloseDSoundBufferStream(Prop);
    ASSERT_TRUE(WaitForClear(40000));
    FinishPlayOut();
}

TEST_F(StreamTest, WriteDuringPlayOutContinuesWithoutAGap)
{
    auto First = zebtest::TestPcm(10000, 2, 44100);
    auto Second = zebtest::TestPcm(10000, 2, 22050);
    Write(First);
    CloseDSoundBufferStream(Prop);
    Write(Second);
    EXPECT_EQ(Prop->AbortClose, 1);
    AdvanceBytes(80000 + 10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Prop->BuffersStop, 0);
    auto Want = Concat({First, Second});
    EXPECT_TRUE(StartsWith(Output(), Want));
}

// A short stream written and closed while the previous stream's play-out is
// still waiting must not be silenced by that play-out: only the newest
// request acts, at the newest write position.
TEST_F(StreamTest, LatePlayOutLeavesTheNextShortStreamAlone)
{
    auto First = zebtest::TestPcm(30000, 2, 44100); // W = 120000, too full to play out yet
    auto Second = zebtest::TestPcm(2000, 2, 44100); // 8000 bytes: W = 128000
    Write(First);
    CloseDSoundBufferStream(Prop);
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the play-out waits for room
    Write(Second);
    CloseDSoundBufferStream(Prop);
    Locks();
    AdvanceBytes(39800); // room for half a buffer after the second stream
    ASSERT_TRUE(WaitForClear(128000));
    FinishPlayOut();
    auto Want = Concat({First, Second});
    EXPECT_TRUE(StartsWith(Output(), Want));
}

// A play-out that waited while its stream was stopped and the buffer was
// replaced for another format must not go on with the old buffer's write
// position and size: on the smaller buffer the room it waits for never
// comes, and a later format change would wait for it forever.
TEST_F(StreamTest, PlayOutOfAStreamStoppedMeanwhileEndsWithItsBuffer)
{
    Write(zebtest::TestPcm(30000, 2, 44100)); // W = 130584 of 176400
    CloseDSoundBufferStream(Prop);
    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // the play-out waits for room
    EXPECT_EQ(StopDSoundBuffer(Prop), 1);
    OpenDSoundBufferStream(Prop);
    auto Mono = zebtest::TestPcm(2000, 1, 11025);
    StreamToDSoundBuffer(Prop, 2, 1, 11025, Mono.data(), 4000); // a 22050-byte buffer now
    ASSERT_EQ(Prop->sBufferSize, 22050u);
    CloseDSoundBufferStream(Prop);
    VirtualDeviceRunClock(Device, 4.0);
    EXPECT_TRUE(WaitFor([&] { return Prop->BuffersStop != 0; }));
    auto Stereo = zebtest::TestPcm(1000, 2, 44100);
    Write(Stereo); // waits for a stopped buffer before it replaces it
    EXPECT_EQ(Prop->sBufferSize, N);
}

TEST_F(StreamTest, ClosingAStoppedStreamDoesNothingAndDrainReturns)
{
    CloseDSoundBufferStream(Prop);
    WaitDSoundStreamEnd(Prop);
    EXPECT_EQ(Prop->BuffersStop, 1);
    EXPECT_TRUE(Locks().empty());
}

TEST_F(StreamTest, StopCancelsAPendingPlayOut)
{
    Write(zebtest::TestPcm(30000, 2, 44100));
    CloseDSoundBufferStream(Prop);
    EXPECT_EQ(StopDSoundBuffer(Prop), 1);
    EXPECT_EQ(Prop->AbortClose, 1);
    WaitDSoundStreamEnd(Prop);
    EXPECT_EQ(PlayDSoundBuffer(Prop), 1); // resumes where it stopped
    AdvanceBytes(N);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Prop->BuffersStop, 0); // the abandoned play-out stops nothing
}

TEST_F(StreamTest, PauseAndPlayResumeWhereTheBufferStopped)
{
    Write(zebtest::TestPcm(5000, 2, 44100));
    AdvanceBytes(8000);
    EXPECT_EQ(StopDSoundBuffer(Prop), 1);
    AdvanceBytes(8000);
    EXPECT_EQ(Cursor(), 8000u);
    EXPECT_EQ(PlayDSoundBuffer(Prop), 1);
    AdvanceBytes(4000);
    EXPECT_EQ(Cursor(), 12000u);
}

TEST_F(StreamTest, ResetStopsClearsAndRewinds)
{
    Write(zebtest::TestPcm(5000, 2, 44100));
    AdvanceBytes(4000);
    EXPECT_EQ(ResetDSoundBuffer(Prop), 1);
    EXPECT_EQ(Prop->BuffersStop, 1);
    EXPECT_EQ(Cursor(), 0u);
    Output();
    EXPECT_EQ(PlayDSoundBuffer(Prop), 1);
    AdvanceBytes(N);
    auto Out = Output();
    EXPECT_EQ(Out, std::vector<uint8_t>(N, 0));
}

TEST_F(StreamTest, FailedLockReportsGivesUpTheBufferAndSkipsLaterWrites)
{
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    Write(Block);
    VirtualDeviceSetFault(Device, DSFAULT_LOCK, 1);
    Write(Block);
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 1u) << zebtest::Describe(Msgs);
    EXPECT_EQ(Msgs[0].Msg, static_cast<uint32_t>(ZEB_NTF_ERROR));
    EXPECT_EQ(Msgs[0].wParam, 10u);
    EXPECT_EQ(Msgs[0].lParam, 3u);
    EXPECT_EQ(Prop->lpdsb, nullptr);
    EXPECT_EQ(Prop->BuffersStop, 1);
    Locks();
    Write(Block);
    EXPECT_TRUE(Locks().empty());
    EXPECT_TRUE(Posted().empty());
}

TEST_F(StreamTest, RecordWithoutBufferIsSafeAndANewStreamRecovers)
{
    Write(zebtest::TestPcm(1000, 2, 44100));
    VirtualDeviceSetFault(Device, DSFAULT_UNLOCK, 1);
    Write(zebtest::TestPcm(1000, 2, 44100));
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 1u);
    EXPECT_EQ(Msgs[0].lParam, 4u);
    ASSERT_EQ(Prop->lpdsb, nullptr);

    EXPECT_EQ(PlayDSoundBuffer(Prop), 0);
    EXPECT_EQ(StopDSoundBuffer(Prop), 1);
    EXPECT_EQ(ResetDSoundBuffer(Prop), 1);
    EXPECT_EQ(ClearSecondaryBuffer(Prop, 0, 100), 0);
    EXPECT_EQ(SetDSoundBufferVolume(Prop, 40), 1);
    EXPECT_EQ(SetDSoundBufferFrequency(Prop, 2.0f), 1);
    EXPECT_EQ(PreloadDSoundBuffer(Prop, nullptr, 0), 1);
    CloseDSoundBufferStream(Prop);
    WaitDSoundStreamEnd(Prop);

    // The next stream gets a buffer with the level and ratio set meanwhile.
    OpenDSoundBufferStream(Prop);
    ASSERT_NE(Prop->lpdsb, nullptr);
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 40u);
    uint32_t Hz = 0;
    DSBufferGetFrequency(Prop->lpdsb, &Hz);
    EXPECT_EQ(Hz, 88200u);
    SetDSoundBufferFrequency(Prop, 1.0f);
    Write(zebtest::TestPcm(1000, 2, 44100));
    Locks();
    CloseDSoundBufferStream(Prop);
    ASSERT_TRUE(WaitForClear(4000));
    FinishPlayOut();
}

TEST_F(StreamTest, StartOfPlaybackFailuresDropTheBlockAndRetry)
{
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    VirtualDeviceSetFault(Device, DSFAULT_SET_POSITION, 1);
    Write(Block);
    VirtualDeviceSetFault(Device, DSFAULT_PLAY, 1);
    Write(Block);
    VirtualDeviceSetFault(Device, DSFAULT_LOCK, 1); // the start-up clear
    Write(Block);
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 3u) << zebtest::Describe(Msgs);
    EXPECT_EQ(Msgs[0].wParam, 10u);
    EXPECT_EQ(Msgs[0].lParam, 5u);
    EXPECT_EQ(Msgs[1].wParam, 12u);
    EXPECT_EQ(Msgs[1].lParam, 0u);
    EXPECT_EQ(Msgs[2].wParam, 10u);
    EXPECT_EQ(Msgs[2].lParam, 7u);
    EXPECT_EQ(Prop->BuffersStop, 1);
    Locks();
    Write(Block);
    EXPECT_TRUE(SameLocks(Locks(), {{0, N}, {0, 4000}}));
    EXPECT_EQ(Prop->BuffersStop, 0);
}

TEST_F(StreamTest, UnreadableCursorReportsDetailTwo)
{
    Write(zebtest::TestPcm(1000, 2, 44100));
    VirtualDeviceSetFault(Device, DSFAULT_CURSOR, 1);
    Write(zebtest::TestPcm(1000, 2, 44100));
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 1u);
    EXPECT_EQ(Msgs[0].wParam, 10u);
    EXPECT_EQ(Msgs[0].lParam, 2u);
}

TEST_F(StreamTest, StalledCursorEndsTheWaitForRoomWithDetailOne)
{
    SetDSoundStallTimeoutForTesting(200);
    Write(zebtest::TestPcm(40000, 2, 44100)); // W = 160000
    Write(zebtest::TestPcm(5000, 2, 44100)); // needs room the still cursor never gives
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 1u);
    EXPECT_EQ(Msgs[0].wParam, 10u);
    EXPECT_EQ(Msgs[0].lParam, 1u);
    EXPECT_EQ(Prop->lpdsb, nullptr);
}

TEST_F(StreamTest, FailedFinalStopReportsDetailEightAndDrainReturns)
{
    Write(zebtest::TestPcm(1000, 2, 44100));
    VirtualDeviceSetFault(Device, DSFAULT_STOP, -1);
    Locks();
    CloseDSoundBufferStream(Prop);
    ASSERT_TRUE(WaitForClear(4000));
    AdvanceBytes(4000 + 16);
    WaitDSoundStreamEnd(Prop);
    auto Msgs = Host.Until(ZEB_NTF_ERROR, 10);
    ASSERT_FALSE(Msgs.empty());
    EXPECT_EQ(Msgs.back().lParam, 8u);
    EXPECT_EQ(Prop->lpdsb, nullptr);
    VirtualDeviceSetFault(Device, DSFAULT_STOP, 0);

    // The end-of-stream thread still serves the next stream's buffer.
    OpenDSoundBufferStream(Prop);
    ASSERT_NE(Prop->lpdsb, nullptr);
    Write(zebtest::TestPcm(1000, 2, 44100));
    Locks();
    CloseDSoundBufferStream(Prop);
    ASSERT_TRUE(WaitForClear(4000));
    FinishPlayOut();
}

TEST_F(StreamTest, FormatChangeReplacesTheBufferAndKeepsTheRatio)
{
    DSBuffer* Original = Prop->lpdsb;
    EXPECT_EQ(SetDSoundBufferFrequency(Prop, 0.5f), 1);
    SetDSoundBufferVolume(Prop, 50);
    auto Block = zebtest::TestPcm(4800, 2, 48000);
    Write(Block, 2, 48000);
    EXPECT_NE(Prop->lpdsb, nullptr);
    EXPECT_EQ(Prop->sBufferSize, 192000u);
    EXPECT_GE(Prop->lBufferSize, 96000u);
    EXPECT_FLOAT_EQ(Prop->SampleRateRatio, 0.5f);
    uint32_t Hz = 0;
    ASSERT_EQ(DSBufferGetFrequency(Prop->lpdsb, &Hz), DS_OK);
    EXPECT_EQ(Hz, 24000u);
    EXPECT_EQ(GetDSoundBufferVolume(Prop), 50u);
    (void)Original;
    DSBuffer* Replaced = Prop->lpdsb;
    Write(Block, 2, 48000);
    EXPECT_EQ(Prop->lpdsb, Replaced);
}

TEST_F(StreamTest, UnsupportedFormatReportsErrorNineOnce)
{
    auto Block = zebtest::TestPcm(1000, 2, 44100);
    StreamToDSoundBuffer(Prop, 2, 2, 0, Block.data(), 4000);
    StreamToDSoundBuffer(Prop, 2, 2, 0, Block.data(), 4000);
    auto Msgs = Posted();
    ASSERT_EQ(Msgs.size(), 1u) << zebtest::Describe(Msgs);
    EXPECT_EQ(Msgs[0].wParam, 9u);
    EXPECT_EQ(Msgs[0].lParam, 0u);
    Write(Block); // another format creates a buffer again
    EXPECT_NE(Prop->lpdsb, nullptr);
    EXPECT_EQ(Prop->BuffersStop, 0);
}

TEST_F(StreamTest, EmptyBlockWritesNothingAndStartsNothing)
{
    Write({});
    EXPECT_TRUE(Locks().empty());
    EXPECT_EQ(Prop->BuffersStop, 1);
}

TEST(DeviceEnumeration, VirtualDevicesListInOrderWithStableIdentifiers)
{
    SetVirtualDevicesForTesting(2);
    unsigned Count = 99;
    DeviceEnumType* List = EnumerateDevices(&Count);
    ASSERT_EQ(Count, 2u);
    ASSERT_NE(List, nullptr);
    EXPECT_STREQ(List[0].Description, "Virtual output 0");
    EXPECT_STREQ(List[1].Description, "Virtual output 1");
    void* First = List[0].lpGUID;
    FreeEnumDevices(List);
    List = EnumerateDevices(&Count);
    EXPECT_EQ(List[0].lpGUID, First);
    FreeEnumDevices(List);
    SetVirtualDevicesForTesting(0);
}

TEST(DeviceEnumeration, NoBackendListsNothing)
{
    static const char* const Missing[] = {"libzeb-missing-backend.so", nullptr};
    SetSupportLibraryNames("pulse", Missing);
    SetSupportLibraryNames("alsa", Missing);
    unsigned Count = 99;
    DeviceEnumType* List = EnumerateDevices(&Count);
    EXPECT_EQ(Count, 0u);
    EXPECT_EQ(List, nullptr);
    DSBuffer* Primary = nullptr;
    EXPECT_EQ(InitDSound(nullptr, nullptr, &Primary), nullptr);
    SetSupportLibraryNames("pulse", nullptr);
    SetSupportLibraryNames("alsa", nullptr);
}
