// The device layer's buffers and mixer on a virtual device: summing, gains,
// clipping, mono spreading, resampling and the buffer operations' limits.
#include "platform/dsdevice_testing.h"
#include "support/host.h"
#include "support/sound.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <chrono>
#include <cstring>
#include <iterator>
#include <thread>

namespace {

class MixerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetVirtualDevicesForTesting(1);
        ASSERT_EQ(DirectSoundCreate(DSVirtualId(0), &Device, nullptr), DS_OK);
        DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRLVOLUME, 0, 0, nullptr};
        ASSERT_EQ(DSDeviceCreateSoundBuffer(Device, &Desc, &Primary, nullptr), DS_OK);
        VirtualDeviceSetCapture(Device, true);
    }
    void TearDown() override
    {
        for (DSBuffer* Buffer : Buffers)
            DSBufferRelease(Buffer);
        DSDeviceRelease(Device);
        SetVirtualDevicesForTesting(0);
    }
    // A looping buffer of one second filled with Pcm (repeated), playing.
    DSBuffer* Playing(const std::vector<uint8_t>& Pcm, uint16_t Channels, uint32_t Rate)
    {
        WAVEFORMATEX Format = {WAVE_FORMAT_PCM, Channels, Rate, Rate * Channels * 2u,
                               static_cast<uint16_t>(Channels * 2), 16, 0};
        DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLFREQUENCY, Format.nAvgBytesPerSec, 0,
                             &Format};
        DSBuffer* Buffer = nullptr;
        EXPECT_EQ(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
        if (!Buffer)
            return nullptr;
        Buffers.push_back(Buffer);
        Fill(Buffer, Pcm, Desc.dwBufferBytes);
        EXPECT_EQ(DSBufferPlay(Buffer, 0, 0, DSBPLAY_LOOPING), DS_OK);
        return Buffer;
    }
    void Fill(DSBuffer* Buffer, const std::vector<uint8_t>& Pcm, uint32_t Size)
    {
        void *P1, *P2;
        uint32_t L1, L2;
        ASSERT_EQ(DSBufferLock(Buffer, 0, Size, &P1, &L1, &P2, &L2, 0), DS_OK);
        for (uint32_t I = 0; I < L1; ++I)
            static_cast<uint8_t*>(P1)[I] = Pcm[I % Pcm.size()];
        ASSERT_EQ(DSBufferUnlock(Buffer, P1, L1, P2, L2), DS_OK);
    }
    std::vector<int16_t> Mix(uint32_t Frames)
    {
        VirtualDeviceTakeCapture(Device);
        VirtualDeviceAdvance(Device, Frames);
        return VirtualDeviceTakeCapture(Device);
    }

    DSDevice* Device = nullptr;
    DSBuffer* Primary = nullptr;
    std::vector<DSBuffer*> Buffers;
};

std::vector<uint8_t> Constant(uint32_t Frames, uint16_t Channels, int16_t Value)
{
    std::vector<uint8_t> Out(Frames * Channels * 2);
    for (size_t I = 0; I < Out.size(); I += 2)
        memcpy(&Out[I], &Value, 2);
    return Out;
}

} // namespace

TEST_F(MixerTest, SumsBuffersWithTheirGainsThenThePrimaryGain)
{
    DSBuffer* A = Playing(Constant(100, 2, 1000), 2, 44100);
    DSBuffer* B = Playing(Constant(100, 1, 3000), 1, 44100);
    auto Out = Mix(512);
    for (int16_t S : Out)
        ASSERT_EQ(S, 4000);
    ASSERT_EQ(DSBufferSetVolume(B, -602), DS_OK); // half amplitude
    Out = Mix(512);
    EXPECT_NEAR(Out[100], 1000 + 1500, 2);
    ASSERT_EQ(DSBufferSetVolume(Primary, -602), DS_OK);
    Out = Mix(512);
    EXPECT_NEAR(Out[100], 1250, 2);
    ASSERT_EQ(DSBufferSetVolume(A, DSBVOLUME_MIN), DS_OK);
    ASSERT_EQ(DSBufferSetVolume(Primary, 0), DS_OK);
    Out = Mix(512);
    EXPECT_NEAR(Out[100], 1500, 2);
}

TEST_F(MixerTest, SumIsClippedToSixteenBits)
{
    Playing(Constant(100, 2, 30000), 2, 44100);
    Playing(Constant(100, 2, 30000), 2, 44100);
    DSBuffer* Low = Playing(Constant(100, 2, -30000), 2, 44100);
    ASSERT_EQ(DSBufferStop(Low), DS_OK);
    auto Out = Mix(256);
    EXPECT_EQ(Out[0], 32767);
    for (DSBuffer* B : Buffers)
        Fill(B, Constant(100, 2, -30000), 176400);
    ASSERT_EQ(DSBufferPlay(Low, 0, 0, DSBPLAY_LOOPING), DS_OK);
    Out = Mix(256);
    EXPECT_EQ(Out[0], -32768);
}

TEST_F(MixerTest, StoppedBufferIsNeitherMixedNorAdvanced)
{
    DSBuffer* A = Playing(Constant(100, 2, 1000), 2, 44100);
    ASSERT_EQ(DSBufferStop(A), DS_OK);
    auto Out = Mix(300);
    for (int16_t S : Out)
        ASSERT_EQ(S, 0);
    uint32_t Play = 1;
    DSBufferGetCurrentPosition(A, &Play, nullptr);
    EXPECT_EQ(Play, 0u);
}

TEST_F(MixerTest, ResamplesToTheMixRateAndConsumesAtTheBufferRate)
{
    DSBuffer* A = Playing(zebtest::Tone(22050, 1, 22050, 1000.0, 10000.0), 1, 22050);
    auto Left = zebtest::Channel(Mix(44100), 2, 0);
    std::vector<int16_t> Settled(Left.begin() + 1000, Left.end());
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Settled, 44100), 1000.0, 5.0);
    EXPECT_GT(zebtest::ToneShare(Settled, 44100, 1000.0), 0.4);
    EXPECT_NEAR(zebtest::Rms(Settled), 10000.0 / std::sqrt(2.0), 300.0);
    uint32_t Play = 0;
    DSBufferGetCurrentPosition(A, &Play, nullptr);
    // One second of 22050 Hz mono consumed, a whole lap, plus the
    // resampler's look-ahead.
    EXPECT_LT(Play, 128u);

    ASSERT_EQ(DSBufferSetFrequency(A, 11025), DS_OK); // half speed: half the pitch
    Left = zebtest::Channel(Mix(44100), 2, 0);
    Settled.assign(Left.begin() + 1000, Left.end());
    EXPECT_NEAR(zebtest::ZeroCrossingFrequency(Settled, 44100), 500.0, 5.0);
    DSBufferGetCurrentPosition(A, &Play, nullptr);
    EXPECT_NEAR(static_cast<double>(Play), 22050.0, 128.0);
}

// What a buffer played that the output still queues: the output's latency,
// no more than the buffer played since it started; after a stop it drains
// as the device plays on; a resampling buffer adds what its filter holds.
TEST_F(MixerTest, UnheardAudioIsWhatTheOutputQueuesOfTheBuffer)
{
    VirtualDeviceSetLatency(Device, 40000);
    DSBuffer* A = Playing(Constant(100, 2, 1000), 2, 44100);
    auto Unheard = [&] {
        uint32_t Us = UINT32_MAX;
        EXPECT_EQ(DSBufferGetUnheard(A, &Us), DS_OK);
        return Us;
    };
    EXPECT_EQ(Unheard(), 0u);
    Mix(441);
    EXPECT_EQ(Unheard(), 10000u);
    Mix(4410);
    EXPECT_EQ(Unheard(), 40000u);
    ASSERT_EQ(DSBufferStop(A), DS_OK);
    EXPECT_EQ(Unheard(), 40000u) << "a stop leaves the queue as it was";
    Mix(882);
    EXPECT_EQ(Unheard(), 20000u);
    Mix(4410);
    EXPECT_EQ(Unheard(), 0u) << "paused: the queue has played out";
    ASSERT_EQ(DSBufferPlay(A, 0, 0, DSBPLAY_LOOPING), DS_OK);
    EXPECT_EQ(Unheard(), 0u) << "resumed: nothing of it queued yet";
    ASSERT_EQ(DSBufferSetFrequency(A, 22050), DS_OK);
    Mix(4410);
    EXPECT_GT(Unheard(), 40000u);
    EXPECT_LT(Unheard(), 40000u + DSMixChunkFrames * 1000000u / 22050);
    uint32_t Us = 0;
    EXPECT_EQ(DSBufferGetUnheard(Primary, &Us), DSERR_INVALIDPARAM);
    DSDeviceSetLost(Device);
    EXPECT_EQ(Unheard(), 0u);
}

TEST_F(MixerTest, LockGivesTwoSpansAcrossTheEndAndUnlockMustMatch)
{
    DSBuffer* A = Playing(Constant(100, 2, 0), 2, 44100);
    void *P1, *P2;
    uint32_t L1, L2;
    ASSERT_EQ(DSBufferLock(A, 176000, 1000, &P1, &L1, &P2, &L2, 0), DS_OK);
    EXPECT_EQ(L1, 400u);
    EXPECT_EQ(L2, 600u);
    EXPECT_EQ(DSBufferLock(A, 0, 4, &P1, &L1, &P2, &L2, 0), DSERR_INVALIDCALL); // one lock at a time
    EXPECT_NE(DSBufferUnlock(A, P1, 999, P2, L2), DS_OK);
    ASSERT_EQ(DSBufferLock(A, 0, 400, &P1, &L1, &P2, &L2, 0), DS_OK);
    EXPECT_EQ(L2, 0u);
    EXPECT_EQ(DSBufferUnlock(A, P1, L1, P2, L2), DS_OK);
    EXPECT_NE(DSBufferLock(A, 176400, 4, &P1, &L1, &P2, &L2, 0), DS_OK);
    EXPECT_NE(DSBufferLock(A, 0, 176404, &P1, &L1, &P2, &L2, 0), DS_OK);
}

// A lock of the whole buffer gives its staging pages back; later locks there
// still show what the buffer holds, and write it back.
TEST_F(MixerTest, LockAfterAWholeBufferLockShowsTheBuffersBytes)
{
    DSBuffer* A = Playing(Constant(100, 2, 0x1234), 2, 44100);
    auto Holds = [](const void* P, uint32_t Len, uint8_t Low, uint8_t High) {
        for (uint32_t I = 0; I < Len; ++I)
            if (static_cast<const uint8_t*>(P)[I] != (I % 2 ? High : Low))
                return false;
        return true;
    };
    void *P1, *P2;
    uint32_t L1, L2;
    ASSERT_EQ(DSBufferLock(A, 170000, 8000, &P1, &L1, &P2, &L2, 0), DS_OK);
    EXPECT_TRUE(Holds(P1, L1, 0x34, 0x12));
    EXPECT_TRUE(Holds(P2, L2, 0x34, 0x12));
    memcpy(P1, "\x78\x56", 2);
    ASSERT_EQ(DSBufferUnlock(A, P1, L1, P2, L2), DS_OK);
    ASSERT_EQ(DSBufferLock(A, 170000, 4, &P1, &L1, &P2, &L2, 0), DS_OK);
    EXPECT_TRUE(Holds(P1, 2, 0x78, 0x56));
    EXPECT_TRUE(Holds(static_cast<uint8_t*>(P1) + 2, 2, 0x34, 0x12));
    EXPECT_EQ(DSBufferUnlock(A, P1, L1, P2, L2), DS_OK);
}

TEST_F(MixerTest, VolumeFrequencyAndFormatLimits)
{
    DSBuffer* A = Playing(Constant(100, 2, 0), 2, 44100);
    EXPECT_EQ(DSBufferSetVolume(A, 1), DSERR_INVALIDPARAM);
    EXPECT_EQ(DSBufferSetVolume(A, -10001), DSERR_INVALIDPARAM);
    int32_t Volume = 1;
    DSBufferGetVolume(A, &Volume);
    EXPECT_EQ(Volume, 0);
    EXPECT_EQ(DSBufferSetFrequency(A, 99), DSERR_INVALIDPARAM);
    EXPECT_EQ(DSBufferSetFrequency(A, 200001), DSERR_INVALIDPARAM);
    EXPECT_EQ(DSBufferSetFrequency(A, 200000), DS_OK);
    WAVEFORMATEX Master = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    EXPECT_EQ(DSBufferSetFormat(Primary, &Master), DS_OK);
    WAVEFORMATEX Other = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    EXPECT_NE(DSBufferSetFormat(Primary, &Other), DS_OK);
    EXPECT_NE(DSBufferSetFormat(A, &Master), DS_OK);
}

TEST_F(MixerTest, LostDeviceShowsInTheStatusAndFailsCursorReads)
{
    DSBuffer* A = Playing(Constant(100, 2, 0), 2, 44100);
    uint32_t Status = 0;
    ASSERT_EQ(DSBufferGetStatus(A, &Status), DS_OK);
    EXPECT_EQ(Status & DSBSTATUS_BUFFERLOST, 0u);
    DSDeviceSetLost(Device);
    EXPECT_TRUE(DSDeviceIsLost(Device));
    ASSERT_EQ(DSBufferGetStatus(A, &Status), DS_OK);
    EXPECT_NE(Status & DSBSTATUS_BUFFERLOST, 0u);
    uint32_t Play = 0;
    EXPECT_EQ(DSBufferGetCurrentPosition(A, &Play, nullptr), DSERR_BUFFERLOST);
    // A new stream still gets a buffer, so that its first write can tell.
    DSBuffer* B = Playing(Constant(100, 2, 0), 2, 44100);
    ASSERT_NE(B, nullptr);
    ASSERT_EQ(DSBufferGetStatus(B, &Status), DS_OK);
    EXPECT_NE(Status & DSBSTATUS_BUFFERLOST, 0u);
}

// A looping sine played through rate changes that cross the mix rate, with
// the output checked for seams: no step steeper than the sine itself, no
// stretch of silence, and at the end the phase that the rates imply (a
// skipped or repeated half filter would shift it by 24 frames). Speex counts
// its position in steps of the reduced rate ratio, so each return to 1:1
// drops a fraction of a frame: the phase may lag by less than one frame per
// return.
TEST_F(MixerTest, RateChangesAcrossTheMixRateKeepTheOutputContinuous)
{
    constexpr double Frequency = 441.0, Amplitude = 10000.0; // 441 whole periods per looped second
    DSBuffer* A = Playing(zebtest::Tone(44100, 2, 44100, Frequency, Amplitude), 2, 44100);
    struct Step {
        uint32_t Frames;
        uint32_t Rate;
    };
    const Step Steps[] = {{5025, 44100}, {3001, 44101}, {2999, 44100}, {3003, 44099}, {2001, 44100},
                          {1777, 48000}, {3000, 44100}, {999, 40000},  {8820, 44100}};
    std::vector<int16_t> Left;
    double Played = 0.0; // input frames the rates imply
    int Returns = 0;     // changes back to the mix rate
    for (const Step& S : Steps) {
        ASSERT_EQ(DSBufferSetFrequency(A, S.Rate), DS_OK);
        auto Out = zebtest::Channel(Mix(S.Frames), 2, 0);
        Left.insert(Left.end(), Out.begin(), Out.end());
        Played += static_cast<double>(S.Frames) * S.Rate / 44100.0;
        if (&S != &Steps[0] && S.Rate == 44100)
            ++Returns;
    }
    const double Step = 2.0 * M_PI * Frequency / 44100.0;
    const double Steepest = Amplitude * Step * 48000.0 / 44100.0;
    int QuietRun = 0;
    for (size_t I = 1; I < Left.size(); ++I) {
        ASSERT_LT(std::abs(Left[I] - Left[I - 1]), Steepest * 1.2) << "seam at output frame " << I;
        QuietRun = std::abs(Left[I]) < 50 ? QuietRun + 1 : 0;
        ASSERT_LT(QuietRun, 3) << "silence at output frame " << I;
    }
    // Phase of the last step (at the mix rate) against the implied position.
    const uint32_t Tail = Steps[std::size(Steps) - 1].Frames;
    double Sin = 0.0, Cos = 0.0;
    for (uint32_t N = 0; N < Tail; ++N) {
        double Expected = Step * (Played - Tail + N);
        double Y = Left[Left.size() - Tail + N];
        Sin += Y * std::cos(Expected);
        Cos += Y * std::sin(Expected);
    }
    double OffsetFrames = std::atan2(Sin, Cos) / Step;
    EXPECT_GT(OffsetFrames, -(Returns + 0.25));
    EXPECT_LT(OffsetFrames, 0.25);
}

TEST_F(MixerTest, BufferOutlivingItsDeviceStaysUsable)
{
    DSBuffer* A = Playing(Constant(100, 2, 0), 2, 44100);
    DSDeviceRelease(Device);
    Device = nullptr;
    uint32_t Play = 1;
    EXPECT_EQ(DSBufferGetCurrentPosition(A, &Play, nullptr), DS_OK);
    EXPECT_EQ(Play, 0u);
    DSBufferRelease(A);
    Buffers.clear();
    SetVirtualDevicesForTesting(0);
}

TEST(DeviceCreation, InvalidBufferDescriptionsAreRefused)
{
    SetVirtualDevicesForTesting(1);
    DSDevice* Device = nullptr;
    ASSERT_EQ(DirectSoundCreate(DSVirtualId(0), &Device, nullptr), DS_OK);
    WAVEFORMATEX Format = {WAVE_FORMAT_PCM, 3, 44100, 264600, 6, 16, 0};
    DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_CTRLVOLUME, 264600, 0, &Format};
    DSBuffer* Buffer = nullptr;
    EXPECT_NE(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
    Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 8, 0};
    EXPECT_NE(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
    Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    Desc.dwBufferBytes = 176402; // not whole frames
    EXPECT_NE(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
    Desc.dwSize = 36;
    EXPECT_NE(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
    DSDeviceRelease(Device);
    SetVirtualOpenFailureForTesting(true);
    EXPECT_NE(DirectSoundCreate(DSVirtualId(0), &Device, nullptr), DS_OK);
    SetVirtualOpenFailureForTesting(false);
    SetVirtualDevicesForTesting(0);
}

// ALSA's "null" output needs no sound card: it takes frames as fast as they
// come, so the mixer runs and the cursor of a playing buffer moves.
TEST(AlsaBackend, NullOutputPullsFromTheMixer)
{
    DSDevice* Device = nullptr;
    if (DirectSoundCreate(DeviceIdForTesting("alsa", "null"), &Device, nullptr) != DS_OK)
        GTEST_SKIP() << "ALSA not available";
    WAVEFORMATEX Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    DSBUFFERDESC Desc = {DSBUFFERDESC_SIZE, DSBCAPS_CTRLVOLUME, 176400, 0, &Format};
    DSBuffer* Buffer = nullptr;
    ASSERT_EQ(DSDeviceCreateSoundBuffer(Device, &Desc, &Buffer, nullptr), DS_OK);
    ASSERT_EQ(DSBufferPlay(Buffer, 0, 0, DSBPLAY_LOOPING), DS_OK);
    uint32_t Play = 0;
    for (int Tries = 0; Tries < 2000 && Play == 0; ++Tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        DSBufferGetCurrentPosition(Buffer, &Play, nullptr);
    }
    EXPECT_NE(Play, 0u);
    DSBufferRelease(Buffer);
    DSDeviceRelease(Device);
}

int HostAlsaHandlerCalls = 0;
void HostAlsaHandler(const char*, int, const char*, int, const char*, ...) { ++HostAlsaHandlerCalls; }
void IgnoreOutput(void*, const char*, const char*) {}

// alsa-lib reports outputs it cannot open on standard error unless given a
// handler: nothing reaches it from the library, and a handler the host
// installed keeps receiving the reports.
TEST(AlsaBackend, MissingOutputsPrintNothingAndTheHostsHandlerStays)
{
    void* Alsa = dlopen("libasound.so.2", RTLD_NOW | RTLD_NODELETE);
    if (!Alsa)
        GTEST_SKIP() << "ALSA not available";
    auto SetHandler = reinterpret_cast<decltype(&snd_lib_error_set_handler)>(dlsym(Alsa, "snd_lib_error_set_handler"));
    ASSERT_NE(SetHandler, nullptr);
    SetHandler(nullptr); // alsa-lib's own, printing handler
    DSDevice* Device = nullptr;
    testing::internal::CaptureStderr();
    AlsaBackend.Enumerate(IgnoreOutput, nullptr);
    EXPECT_NE(DirectSoundCreate(DeviceIdForTesting("alsa", "hw:99"), &Device, nullptr), DS_OK);
    EXPECT_NE(DirectSoundCreate(DeviceIdForTesting("alsa", "zeb_no_such_pcm"), &Device, nullptr), DS_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    SetHandler(HostAlsaHandler);
    EXPECT_NE(DirectSoundCreate(DeviceIdForTesting("alsa", "zeb_no_such_pcm"), &Device, nullptr), DS_OK);
    EXPECT_GT(HostAlsaHandlerCalls, 0);
    SetHandler(nullptr);
    dlclose(Alsa);
}

TEST(AlsaBackend, UnknownOutputFailsToOpen)
{
    DSDevice* Device = nullptr;
    EXPECT_NE(DirectSoundCreate(DeviceIdForTesting("alsa", "zeb_no_such_pcm"), &Device, nullptr), DS_OK);
    EXPECT_NE(DirectSoundCreate(DeviceIdForTesting("pulse", "zeb_no_such_sink"), &Device, nullptr), DS_OK);
}
