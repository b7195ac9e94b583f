// The Windows Media module's reader, loaded as the player loads it: outputs
// and media types, PCM against the ffmpeg program's decode from the start and
// from a position, the transport (pause, stop, a new start, close) around a
// callback that blocks like the engine's, the user clock, bad files and the
// corpus.
#include "support/host.h"
#include "support/returns_within.h"
#include "wmf/wm_interfaces.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using zebtest::FixturePath;
using zebtest::MakeFixtureOnce;
using zebtest::ReadFile;
using zebtest::ReturnsWithin;

constexpr int HangMs = 30000; // a wait this long means a hang
constexpr uint64_t Second = 10000000;

WMCreateReaderFn CreateReaderFn()
{
    static WMCreateReaderFn Fn = [] {
        void* Module = dlopen(ZEB_BUILD_DIR "/zeb-audio/libzeb-wmf.so", RTLD_NOW | RTLD_LOCAL);
        return Module ? reinterpret_cast<WMCreateReaderFn>(dlsym(Module, "WMCreateReader")) : nullptr;
    }();
    return Fn;
}

std::vector<WMChar> Widen(const std::string& Path)
{
    std::vector<WMChar> Wide;
    for (unsigned char C : Path)
        Wide.push_back(C);
    Wide.push_back(0);
    return Wide;
}

// A reader callback that records everything, and like the engine can hold
// the delivery thread in OnSample until the test lets it go.
class Recorder final : public IWMReaderCallback {
public:
    WMStatus QueryInterface(const WMGuid&, void** Object) override
    {
        *Object = nullptr;
        return WM_E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++Refs; }
    uint32_t Release() override
    {
        std::lock_guard<std::mutex> L(Lock);
        uint32_t Left = --Refs;
        Changed.notify_all();
        return Left;
    }
    WMStatus OnStatus(WMT_STATUS Status, WMStatus, WMT_ATTR_DATATYPE, uint8_t*, void*) override
    {
        std::lock_guard<std::mutex> L(Lock);
        Statuses.push_back(Status);
        if (Status == WMT_STARTED)
            Pcm.clear();
        Changed.notify_all();
        return WM_S_OK;
    }
    WMStatus OnSample(uint32_t Output, uint64_t Time, uint64_t Duration, uint32_t, INSSBuffer* Sample,
                      void*) override
    {
        uint8_t* Bytes = nullptr;
        uint32_t Length = 0;
        EXPECT_EQ(Sample->GetBufferAndLength(&Bytes, &Length), WM_S_OK);
        std::unique_lock<std::mutex> L(Lock);
        auto& Out = Pcm[Output];
        // PCM times count the samples from the start of the stream.
        if (Output == AudioOutput && Rate) {
            EXPECT_EQ(Time, (FirstSample + Out.size() / BlockAlign) * Second / Rate);
        }
        Out.insert(Out.end(), Bytes, Bytes + Length);
        if (Output == AudioOutput) {
            AudioTime = Time;
            AudioEnd = Time + Duration;
        }
        ++Samples;
        Changed.notify_all();
        if (Samples >= HoldAt) {
            ++Waiting;
            Changed.notify_all();
            Changed.wait(L, [&] { return Samples < HoldAt; });
            --Waiting;
            Changed.notify_all();
        }
        return WM_S_OK;
    }

    // Waits until Done() holds (under the lock); false after HangMs.
    template <class Pred> bool WaitFor(Pred Done)
    {
        std::unique_lock<std::mutex> L(Lock);
        return Changed.wait_for(L, std::chrono::milliseconds(HangMs), [&] { return Done(); });
    }
    bool WaitStatus(WMT_STATUS S)
    {
        return WaitFor([&] { return std::count(Statuses.begin(), Statuses.end(), S) > 0; });
    }
    bool WaitEnd()
    {
        return WaitFor([&] {
            return std::any_of(Statuses.begin(), Statuses.end(),
                               [](WMT_STATUS S) { return S == WMT_EOF || S == WMT_ERROR || S == WMT_MISSING_CODEC; });
        });
    }
    // Samples from the N-th on wait in OnSample until Hold(false).
    void HoldFrom(size_t N)
    {
        std::lock_guard<std::mutex> L(Lock);
        HoldAt = N;
        Changed.notify_all();
    }
    void Hold(bool On) { HoldFrom(On ? 0 : SIZE_MAX); }
    size_t Count()
    {
        std::lock_guard<std::mutex> L(Lock);
        return Samples;
    }
    std::vector<uint8_t> Audio()
    {
        std::lock_guard<std::mutex> L(Lock);
        return Pcm[AudioOutput];
    }
    WMT_STATUS Last()
    {
        std::lock_guard<std::mutex> L(Lock);
        return Statuses.empty() ? static_cast<WMT_STATUS>(~0u) : Statuses.back();
    }
    uint64_t LastTime()
    {
        std::lock_guard<std::mutex> L(Lock);
        return AudioTime;
    }
    // The next run starts at Time: its first sample for the time check.
    void ExpectRunAt(uint64_t Time)
    {
        std::lock_guard<std::mutex> L(Lock);
        FirstSample = (Time * Rate + Second - 1) / Second;
    }

    std::mutex Lock;
    std::condition_variable Changed;
    std::atomic<uint32_t> Refs{1};
    std::vector<WMT_STATUS> Statuses;
    std::map<uint32_t, std::vector<uint8_t>> Pcm;
    uint64_t AudioTime = 0, AudioEnd = 0; // of the last audio sample
    size_t Samples = 0;
    int Waiting = 0;
    size_t HoldAt = SIZE_MAX;
    // Set by the test: the audio output and its format, and the first sample
    // of the run, for the time check.
    uint32_t AudioOutput = 0;
    uint32_t Rate = 0;
    uint32_t BlockAlign = 1;
    uint64_t FirstSample = 0;
};

struct ReaderRef {
    IWMReader* P = nullptr;
    ~ReaderRef()
    {
        if (P)
            P->Release();
    }
    IWMReader* operator->() const { return P; }
};

IWMReader* NewReader()
{
    IWMReader* R = nullptr;
    WMCreateReaderFn Create = CreateReaderFn();
    EXPECT_NE(Create, nullptr);
    if (Create) {
        EXPECT_EQ(Create(nullptr, 0, &R), WM_S_OK);
    }
    return R;
}

// ---- Fixtures ----

std::string Encoded(const std::string& Name, const std::string& Ffmpeg)
{
    std::string Path = FixturePath(Name);
    EXPECT_TRUE(MakeFixtureOnce(Path, [&](const std::string& Own) {
        return "ffmpeg -nostdin -v error -y " + Ffmpeg + " -f asf " + Own;
    })) << Name;
    return Path;
}

std::string StereoWmav2()
{
    return Encoded("wmfr_stereo.wma",
                   "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=5 -ac 2 -c:a wmav2 -b:a 128k");
}
std::string MonoWmav1()
{
    return Encoded("wmfr_mono.wma",
                   "-f lavfi -i sine=frequency=1000:sample_rate=22050:duration=3 -ac 1 -c:a wmav1 -b:a 32k");
}
// A minute of noise at two rates: every frame differs, so a start placed a
// frame off shows.
std::string LongNoise(const std::string& Name, const std::string& Codec)
{
    return Encoded(Name, "-f lavfi -i anoisesrc=duration=60:color=pink:sample_rate=44100:amplitude=0.4:seed=7 -ac 2 " +
                             Codec);
}
// Output 0 video, output 1 audio.
std::string VideoThenAudio()
{
    return Encoded("wmfr_av.wmv", "-f lavfi -i color=size=32x32:duration=3 -f lavfi -i "
                                  "sine=frequency=660:sample_rate=44100:duration=3 -map 0:v -map 1:a -c:v wmv2 "
                                  "-c:a wmav2 -b:a 64k");
}
std::string VideoOnly()
{
    return Encoded("wmfr_video.wmv", "-f lavfi -i color=size=32x32:duration=2 -c:v wmv2");
}

// The ffmpeg program's PCM of the file's first audio stream.
std::vector<uint8_t> FfmpegPcm(const std::string& Path)
{
    std::string Out = FixturePath("wmfr_ref." + std::to_string(getpid()) + ".raw");
    bool Ok = zebtest::Run("ffmpeg -nostdin -v quiet -y -i '" + Path + "' -map 0:a:0 -f s16le '" + Out + "'");
    std::vector<uint8_t> Pcm = Ok ? ReadFile(Out) : std::vector<uint8_t>();
    unlink(Out.c_str());
    return Pcm;
}

// ---- Driving a reader ----

struct Opened {
    ReaderRef Reader;
    Recorder* Rec = new Recorder;
    tWAVEFORMATEX Wave{};
    bool HasAudio = false;
    ~Opened()
    {
        Reader.P && Reader->Release();
        Reader.P = nullptr;
        // The reader lets the callback go when its thread ends.
        EXPECT_TRUE(Rec->WaitFor([&] { return Rec->Refs == 1; }));
        delete Rec;
    }
};

// The media type of output N.
std::vector<uint8_t> MediaType(IWMReader* R, uint32_t N)
{
    IWMOutputMediaProps* Props = nullptr;
    EXPECT_EQ(R->GetOutputProps(N, &Props), WM_S_OK);
    if (!Props)
        return {};
    uint32_t Size = 0;
    EXPECT_EQ(Props->GetMediaType(nullptr, &Size), WM_S_OK);
    std::vector<uint8_t> Type(Size);
    EXPECT_EQ(Props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(Type.data()), &Size), WM_S_OK);
    Props->Release();
    return Type;
}

// Opens Path and finds its first audio output.
bool Open(Opened& O, const std::string& Path)
{
    O.Reader.P = NewReader();
    if (!O.Reader.P)
        return false;
    auto Wide = Widen(Path);
    if (O.Reader->Open(Wide.data(), O.Rec, nullptr) != WM_S_OK)
        return false;
    EXPECT_TRUE(O.Rec->WaitStatus(WMT_OPENED));
    uint32_t Count = 0;
    EXPECT_EQ(O.Reader->GetOutputCount(&Count), WM_S_OK);
    for (uint32_t i = 0; i < Count && !O.HasAudio; ++i) {
        std::vector<uint8_t> Type = MediaType(O.Reader.P, i);
        auto* T = reinterpret_cast<WM_MEDIA_TYPE*>(Type.data());
        if (T->majortype == WMMEDIATYPE_Audio) {
            O.HasAudio = true;
            std::memcpy(&O.Wave, T->pbFormat, sizeof O.Wave);
            O.Rec->AudioOutput = i;
            O.Rec->Rate = O.Wave.nSamplesPerSec;
            O.Rec->BlockAlign = O.Wave.nBlockAlign;
        }
    }
    return true;
}

// The bytes of the ffmpeg PCM from the first sample at or after Time.
std::vector<uint8_t> From(const std::vector<uint8_t>& Pcm, const tWAVEFORMATEX& W, uint64_t Time)
{
    uint64_t First = (Time * W.nSamplesPerSec + Second - 1) / Second;
    size_t At = std::min<size_t>(Pcm.size(), First * W.nBlockAlign);
    return std::vector<uint8_t>(Pcm.begin() + static_cast<long>(At), Pcm.end());
}

void StartAt(Opened& O, uint64_t Time)
{
    O.Rec->ExpectRunAt(Time);
    {
        std::lock_guard<std::mutex> L(O.Rec->Lock);
        O.Rec->Statuses.clear();
    }
    ASSERT_EQ(O.Reader->Start(Time, 0, 1.0f, nullptr), WM_S_OK);
}

// Plays to the end and returns the audio PCM.
std::vector<uint8_t> PlayAll(Opened& O, uint64_t Time = 0)
{
    StartAt(O, Time);
    EXPECT_TRUE(O.Rec->WaitEnd());
    return O.Rec->Audio();
}

// ---- Outputs and interfaces ----

TEST(WmfReaderOutputs, OutputsFollowTheStreamsAudioAsPcm)
{
    Opened Mono;
    ASSERT_TRUE(Open(Mono, MonoWmav1()));
    ASSERT_TRUE(Mono.HasAudio);
    const tWAVEFORMATEX& W = Mono.Wave;
    EXPECT_EQ(std::vector<uint32_t>({W.wFormatTag, W.nChannels, W.nSamplesPerSec, W.wBitsPerSample, W.nBlockAlign,
                                     W.nAvgBytesPerSec}),
              std::vector<uint32_t>({1, 1, 22050, 16, 2, 44100}));
    std::vector<uint8_t> Type = MediaType(Mono.Reader.P, 0);
    auto* T = reinterpret_cast<WM_MEDIA_TYPE*>(Type.data());
    EXPECT_EQ(Type.size(), sizeof(WM_MEDIA_TYPE) + sizeof(tWAVEFORMATEX));
    EXPECT_TRUE(T->subtype == WMMEDIASUBTYPE_PCM && T->formattype == WMFORMAT_WaveFormatEx);
    EXPECT_EQ(T->pbFormat, Type.data() + sizeof(WM_MEDIA_TYPE));
    IWMOutputMediaProps* Props = nullptr;
    ASSERT_EQ(Mono.Reader->GetOutputProps(0, &Props), WM_S_OK);
    uint32_t Small = static_cast<uint32_t>(Type.size() - 1);
    EXPECT_EQ(Props->GetMediaType(T, &Small), WM_E_BUFFERTOOSMALL);
    Props->Release();
    EXPECT_NE(Mono.Reader->GetOutputProps(1, &Props), WM_S_OK);
    EXPECT_EQ(Props, nullptr);

    // Output 0 video (type only, its packets as samples), output 1 audio.
    Opened AV;
    ASSERT_TRUE(Open(AV, VideoThenAudio()));
    uint32_t Count = 0;
    ASSERT_EQ(AV.Reader->GetOutputCount(&Count), WM_S_OK);
    ASSERT_EQ(Count, 2u);
    std::vector<uint8_t> Video = MediaType(AV.Reader.P, 0);
    EXPECT_TRUE(reinterpret_cast<WM_MEDIA_TYPE*>(Video.data())->majortype == WMMEDIATYPE_Video);
    EXPECT_EQ(Video.size(), sizeof(WM_MEDIA_TYPE));
    EXPECT_EQ(AV.Rec->AudioOutput, 1u);
    EXPECT_EQ(PlayAll(AV), FfmpegPcm(VideoThenAudio()));
    std::lock_guard<std::mutex> L(AV.Rec->Lock);
    EXPECT_FALSE(AV.Rec->Pcm[0].empty());
}

TEST(WmfReaderOutputs, InterfacesAndHeaderInfoWhileOpen)
{
    ReaderRef R{NewReader()};
    ASSERT_NE(R.P, nullptr);
    void* Object = &R;
    EXPECT_EQ(R->QueryInterface(IID_IWMHeaderInfo3, &Object), WM_E_NOINTERFACE);
    EXPECT_EQ(Object, nullptr);
    EXPECT_EQ(R->QueryInterface(IID_IWMMetadataEditor, &Object), WM_E_NOINTERFACE);
    IWMReaderAdvanced* Adv = nullptr;
    ASSERT_EQ(R->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&Adv)), WM_S_OK);
    IWMReader* Back = nullptr;
    ASSERT_EQ(Adv->QueryInterface(IID_IWMReader, reinterpret_cast<void**>(&Back)), WM_S_OK);
    EXPECT_EQ(Back, R.P);
    EXPECT_EQ(Back->Release(), 2u);
    EXPECT_EQ(Adv->Release(), 1u);
    EXPECT_NE(R->Start(0, 0, 1.0f, nullptr), WM_S_OK);
    EXPECT_NE(R->Close(), WM_S_OK); // nothing open: no close report follows

    Opened O;
    ASSERT_TRUE(Open(O, StereoWmav2()));
    IWMHeaderInfo* Header = nullptr;
    ASSERT_EQ(O.Reader->QueryInterface(IID_IWMHeaderInfo, reinterpret_cast<void**>(&Header)), WM_S_OK);
    WMT_ATTR_DATATYPE Type{};
    uint16_t Stream = 0, Length = 0;
    const WMChar Duration[] = {'D', 'u', 'r', 'a', 't', 'i', 'o', 'n', 0};
    EXPECT_EQ(Header->GetAttributeByName(&Stream, Duration, &Type, nullptr, &Length), WM_S_OK);
    EXPECT_EQ(Length, 8);
    ASSERT_EQ(O.Reader->Close(), WM_S_OK);
    ASSERT_TRUE(O.Rec->WaitStatus(WMT_CLOSED));
    EXPECT_EQ(O.Reader->QueryInterface(IID_IWMHeaderInfo3, &Object), WM_E_NOINTERFACE);
    Header->Release(); // the caller's reference outlives the close
}

// ---- PCM ----

TEST(WmfReaderPcm, StartAtZeroEqualsFfmpeg)
{
    for (const std::string& Path : {StereoWmav2(), MonoWmav1()}) {
        Opened O;
        ASSERT_TRUE(Open(O, Path)) << Path;
        std::vector<uint8_t> Ref = FfmpegPcm(Path);
        ASSERT_FALSE(Ref.empty());
        EXPECT_EQ(PlayAll(O), Ref) << Path;
        EXPECT_EQ(O.Rec->Last(), WMT_EOF);
    }
}

TEST(WmfReaderPcm, StartAtAPositionEqualsFfmpegFromThatSample)
{
    std::string Path = StereoWmav2();
    std::vector<uint8_t> Ref = FfmpegPcm(Path);
    Opened O;
    ASSERT_TRUE(Open(O, Path));
    for (uint64_t At : {uint64_t{12345678}, uint64_t{3 * Second + 1}, uint64_t{0}, uint64_t{40 * Second}})
        EXPECT_EQ(PlayAll(O, At), From(Ref, O.Wave, At)) << At;
    // Deep into longer files, in any order, and at their last frames.
    for (const std::string& Long : {LongNoise("wmfr_long.wma", "-c:a wmav2 -b:a 128k"),
                                    LongNoise("wmfr_long1.wma", "-c:a wmav1 -b:a 96k"), MonoWmav1()}) {
        std::vector<uint8_t> LongRef = FfmpegPcm(Long);
        Opened L;
        ASSERT_TRUE(Open(L, Long));
        for (uint64_t At : {uint64_t{55 * Second + 12345}, uint64_t{21 * Second + 7}, uint64_t{2 * Second + 5},
                            uint64_t{59 * Second + 9000000}}) {
            std::vector<uint8_t> Got = PlayAll(L, At), Want = From(LongRef, L.Wave, At);
            EXPECT_EQ(Got.size(), Want.size()) << Long << " at " << At;
            EXPECT_TRUE(Got == Want) << Long << " at " << At;
        }
    }
}

// Every WMA file of the corpus plays to its end (or is refused) and gives the
// ffmpeg program's PCM.
TEST(WmfReaderPcm, CorpusFilesPlayToTheEndAsFfmpegDecodesThem)
{
    size_t Tried = 0, Compared = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        std::string Ext = Path.substr(Path.find_last_of('.') + 1);
        std::transform(Ext.begin(), Ext.end(), Ext.begin(), ::tolower);
        if (Ext != "wma" && Ext != "asf" && Ext != "wmv")
            return;
        ++Tried;
        Opened O;
        if (!Open(O, Path))
            return;
        std::vector<uint8_t> Got = PlayAll(O);
        if (O.HasAudio) {
            std::vector<uint8_t> Ref = FfmpegPcm(Path);
            EXPECT_EQ(Got.size(), Ref.size()) << Path;
            EXPECT_TRUE(Got == Ref) << Path;
            Compared += !Ref.empty();
        }
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus";
    EXPECT_GT(Compared, 0u);
}

// ---- Transport around a callback held like the engine holds it ----

// Starts at Time and holds the delivery thread in the N-th OnSample.
void StartAndHoldAt(Opened& O, size_t N, uint64_t Time = 0)
{
    O.Rec->HoldFrom(N);
    StartAt(O, Time);
    ASSERT_TRUE(O.Rec->WaitFor([&] { return O.Rec->Waiting > 0; }));
}

// Runs a transport call; it must return while the callback is held.
#define EXPECT_PROMPT(Call) EXPECT_TRUE(ReturnsWithin(HangMs, [R = O.Reader.P] { EXPECT_EQ(R->Call, WM_S_OK); }))

TEST(WmfReaderTransport, PauseAndResumeLoseAndRepeatNothing)
{
    std::string Path = StereoWmav2();
    Opened O;
    ASSERT_TRUE(Open(O, Path));
    StartAndHoldAt(O, 0);
    EXPECT_PROMPT(Pause());
    O.Rec->Hold(false);
    size_t AtPause = 0;
    ASSERT_TRUE(O.Rec->WaitFor([&] { return O.Rec->Waiting == 0 && (AtPause = O.Rec->Samples) > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(O.Rec->Count(), AtPause) << "a sample arrived while paused";
    ASSERT_EQ(O.Reader->Resume(), WM_S_OK);
    ASSERT_TRUE(O.Rec->WaitEnd());
    EXPECT_EQ(O.Rec->Audio(), FfmpegPcm(Path));
}

TEST(WmfReaderTransport, StopOrANewStartTakeOverWhenTheCallbackReturns)
{
    std::string Path = StereoWmav2();
    std::vector<uint8_t> Ref = FfmpegPcm(Path);
    Opened O;
    ASSERT_TRUE(Open(O, Path));
    StartAndHoldAt(O, 3);
    EXPECT_PROMPT(Stop());
    O.Rec->Hold(false);
    ASSERT_TRUE(O.Rec->WaitStatus(WMT_STOPPED));
    EXPECT_EQ(O.Rec->Last(), WMT_STOPPED);
    EXPECT_EQ(PlayAll(O), Ref);

    StartAndHoldAt(O, O.Rec->Count() + 2);
    const uint64_t At = 2 * Second + 5000;
    O.Rec->ExpectRunAt(At);
    EXPECT_PROMPT(Start(At, 0, 1.0f, nullptr));
    O.Rec->Hold(false);
    ASSERT_TRUE(O.Rec->WaitEnd());
    EXPECT_EQ(O.Rec->Audio(), From(Ref, O.Wave, At));
}

TEST(WmfReaderTransport, UserClockDeliversOnlyWhatIsGranted)
{
    std::string Path = StereoWmav2();
    Opened O;
    ASSERT_TRUE(Open(O, Path));
    IWMReaderAdvanced* Adv = nullptr;
    ASSERT_EQ(O.Reader->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&Adv)), WM_S_OK);
    ASSERT_EQ(Adv->SetUserProvidedClock(1), WM_S_OK);
    StartAt(O, 0);
    ASSERT_EQ(Adv->DeliverTime(Second), WM_S_OK);
    // Everything before the grant arrives, then nothing more.
    ASSERT_TRUE(O.Rec->WaitFor([&] { return O.Rec->AudioEnd >= Second; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LT(O.Rec->LastTime(), Second);
    EXPECT_EQ(O.Rec->Last(), WMT_STARTED);
    ASSERT_EQ(Adv->DeliverTime(5 * Second), WM_S_OK);
    ASSERT_TRUE(O.Rec->WaitEnd());
    EXPECT_EQ(O.Rec->Audio(), FfmpegPcm(Path));
    Adv->Release();
}

// Transport calls in any order, while the callback now holds the thread and
// now lets it go, never wait for it; the close still completes.
TEST(WmfReaderTransport, RandomTransportNeverWaitsForTheCallback)
{
    Opened O;
    ASSERT_TRUE(Open(O, MonoWmav1()));
    O.Rec->Rate = 0; // positions jump: no time check
    IWMReaderAdvanced* Adv = nullptr;
    ASSERT_EQ(O.Reader->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&Adv)), WM_S_OK);
    Adv->SetUserProvidedClock(1);
    unsigned Seed = 12345;
    auto Rand = [&Seed](unsigned N) { return (Seed = Seed * 1103515245u + 12345u) / 65536u % N; };
    IWMReader* R = O.Reader.P;
    for (int i = 0; i < 300; ++i) {
        unsigned Op = Rand(7);
        uint64_t At = Rand(40) * Second / 10;
        O.Rec->HoldFrom(Rand(2) ? SIZE_MAX : O.Rec->Count() + Rand(3));
        ASSERT_TRUE(ReturnsWithin(HangMs, [R, Adv, Op, At] {
            switch (Op) {
            case 0: EXPECT_EQ(R->Start(At, 0, 1.0f, nullptr), WM_S_OK); break;
            case 1: EXPECT_EQ(R->Stop(), WM_S_OK); break;
            case 2: EXPECT_EQ(R->Pause(), WM_S_OK); break;
            case 3: EXPECT_EQ(R->Resume(), WM_S_OK); break;
            case 4: EXPECT_EQ(Adv->DeliverTime(At), WM_S_OK); break;
            default: std::this_thread::yield(); break;
            }
        })) << "operation " << Op;
    }
    EXPECT_PROMPT(Close());
    O.Rec->Hold(false);
    EXPECT_TRUE(O.Rec->WaitStatus(WMT_CLOSED));
    Adv->Release();
}

// ---- Closing ----

TEST(WmfReaderClose, CloseWhileTheCallbackIsHeldCompletesOnceItReturns)
{
    Opened O;
    ASSERT_TRUE(Open(O, StereoWmav2()));
    StartAndHoldAt(O, 1);
    EXPECT_PROMPT(Close());
    size_t Before = O.Rec->Count();
    O.Rec->Hold(false);
    ASSERT_TRUE(O.Rec->WaitStatus(WMT_CLOSED));
    EXPECT_TRUE(O.Rec->WaitFor([&] { return O.Rec->Refs == 1; }));
    EXPECT_EQ(O.Rec->Count(), Before);
    EXPECT_EQ(O.Rec->Last(), WMT_CLOSED);
}

// The Opened destructor checks that the callback is let go each time.
TEST(WmfReaderClose, LastReleaseWithoutCloseLetsEverythingGo)
{
    {
        Opened Idle;
        ASSERT_TRUE(Open(Idle, MonoWmav1()));
    }
    {
        Opened Playing;
        ASSERT_TRUE(Open(Playing, StereoWmav2()));
        StartAt(Playing, 0);
        ASSERT_TRUE(Playing.Rec->WaitFor([&] { return Playing.Rec->Samples > 0; }));
    }
    Opened Held;
    ASSERT_TRUE(Open(Held, StereoWmav2()));
    StartAndHoldAt(Held, 1);
    IWMReader* R = Held.Reader.P;
    Held.Reader.P = nullptr;
    ASSERT_TRUE(ReturnsWithin(HangMs, [R] { R->Release(); }));
    Held.Rec->Hold(false); // the thread finishes the close on its own
}

// ---- Bad input ----

TEST(WmfReaderBadInput, UnusableFilesAreRefusedAtOnce)
{
    std::string Text = FixturePath("wmfr_text.wma");
    zebtest::WriteFile(Text, std::vector<uint8_t>(3000, 'x'));
    std::string Fifo = FixturePath("wmfr_fifo.wma");
    unlink(Fifo.c_str());
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    for (const std::string& Path : {FixturePath("wmfr_missing.wma"), Text, Fifo, std::string(ZEB_BUILD_DIR)}) {
        ReaderRef R{NewReader()};
        Recorder Rec;
        auto Wide = Widen(Path);
        EXPECT_TRUE(ReturnsWithin(HangMs, [P = R.P, Wide, Rec = &Rec] {
            EXPECT_LT(P->Open(Wide.data(), Rec, nullptr), 0);
        })) << Path;
        EXPECT_EQ(Rec.Refs, 1u) << Path;
    }
    unlink(Fifo.c_str());
}

TEST(WmfReaderBadInput, DamagedFilesAndFilesWithoutAudioEnd)
{
    std::vector<uint8_t> Good = ReadFile(StereoWmav2());
    ASSERT_GT(Good.size(), 10000u);
    std::string Cut = FixturePath("wmfr_cut.wma");
    zebtest::WriteFile(Cut, std::vector<uint8_t>(Good.begin(), Good.begin() + static_cast<long>(Good.size() / 2)));
    std::vector<uint8_t> Noisy = Good;
    for (size_t i = 6000; i < Noisy.size(); i += 97)
        Noisy[i] ^= 0x5A;
    std::string Damaged = FixturePath("wmfr_damaged.wma");
    zebtest::WriteFile(Damaged, Noisy);
    for (const std::string& Path : {Cut, Damaged}) {
        Opened O;
        ASSERT_TRUE(Open(O, Path));
        EXPECT_EQ(PlayAll(O), FfmpegPcm(Path)) << Path;
    }
    Opened O;
    ASSERT_TRUE(Open(O, VideoOnly()));
    EXPECT_FALSE(O.HasAudio);
    PlayAll(O);
    EXPECT_EQ(O.Rec->Last(), WMT_EOF);
}

TEST(WmfReaderBadInput, UnknownAudioCodecReportsAMissingCodec)
{
    // The stream's wave format tag (WMA v2, 0x0161) becomes an unknown one.
    std::vector<uint8_t> Bytes = ReadFile(StereoWmav2());
    const uint8_t Tag[] = {0x61, 0x01, 0x02, 0x00, 0x44, 0xAC, 0x00, 0x00};
    auto At = std::search(Bytes.begin(), Bytes.end(), std::begin(Tag), std::end(Tag));
    ASSERT_NE(At, Bytes.end());
    At[0] = At[1] = 0x77;
    std::string Path = FixturePath("wmfr_nocodec.wma");
    zebtest::WriteFile(Path, Bytes);
    Opened O;
    ASSERT_TRUE(Open(O, Path));
    ASSERT_TRUE(O.HasAudio);
    PlayAll(O);
    EXPECT_EQ(O.Rec->Last(), WMT_MISSING_CODEC);
    EXPECT_EQ(O.Rec->Count(), 0u);
}

} // namespace
