// Windows Media engine over a fake runtime: opening and its failures, the
// file record from the header attributes and outputs, the transport, and the
// hand-over of samples from the reader's thread to the audio thread with
// stops, seeks, restarts and closes arriving at any moment.
#include "core/player.h"
#include "wmaengine.h"
#include "wmaengine_testing.h"
#include "wmmedia.h"

#include "support/host.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int HangMs = 10000;

std::atomic<int> LiveObjects{0}; // fake readers, buffers and properties alive

std::u16string Wide(const char* Text)
{
    std::u16string W;
    for (const char* P = Text; *P; ++P)
        W.push_back(static_cast<unsigned char>(*P));
    return W;
}

template <typename T> std::vector<uint8_t> Bytes(T Value)
{
    std::vector<uint8_t> B(sizeof(T));
    memcpy(B.data(), &Value, sizeof(T));
    return B;
}

// Reference counting shared by the fakes.
template <typename Base> struct Counted : Base {
    std::atomic<int32_t> Refs{1};
    Counted() { ++LiveObjects; }
    virtual ~Counted() { --LiveObjects; }
    uint32_t AddRef() override { return static_cast<uint32_t>(++Refs); }
    uint32_t Release() override
    {
        int32_t Left = --Refs;
        if (Left == 0)
            delete this;
        return static_cast<uint32_t>(Left);
    }
    WMStatus QueryInterface(const WMGuid&, void** Object) override
    {
        *Object = nullptr;
        return WM_E_NOINTERFACE;
    }
};

struct FakeBuffer : Counted<INSSBuffer> {
    std::vector<uint8_t> Data;
    explicit FakeBuffer(std::vector<uint8_t> D) : Data(std::move(D)) {}
    WMStatus GetLength(uint32_t* L) override { *L = static_cast<uint32_t>(Data.size()); return WM_S_OK; }
    WMStatus SetLength(uint32_t) override { return WM_E_NOTIMPL; }
    WMStatus GetMaxLength(uint32_t* L) override { return GetLength(L); }
    WMStatus GetBuffer(uint8_t** B) override { *B = Data.data(); return WM_S_OK; }
    WMStatus GetBufferAndLength(uint8_t** B, uint32_t* L) override
    {
        *B = Data.data();
        return GetLength(L);
    }
};

struct OutputShape {
    WMGuid Major;
    uint32_t Rate;
    uint16_t Channels;
    uint16_t Bits;
};

struct FakeProps : Counted<IWMOutputMediaProps> {
    OutputShape Shape;
    explicit FakeProps(const OutputShape& S) : Shape(S) {}
    WMStatus GetType(WMGuid* T) override { *T = Shape.Major; return WM_S_OK; }
    WMStatus GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) override
    {
        uint32_t Need = sizeof(WM_MEDIA_TYPE) + sizeof(tWAVEFORMATEX);
        if (!Type) {
            *Size = Need;
            return WM_S_OK;
        }
        if (*Size < Need)
            return WM_E_BUFFERTOOSMALL;
        memset(Type, 0, Need);
        Type->majortype = Shape.Major;
        tWAVEFORMATEX Format{1, Shape.Channels, Shape.Rate, 0, 0, Shape.Bits, 0};
        Type->pbFormat = reinterpret_cast<uint8_t*>(Type + 1);
        Type->cbFormat = sizeof(Format);
        memcpy(Type->pbFormat, &Format, sizeof(Format));
        return WM_S_OK;
    }
    WMStatus SetMediaType(WM_MEDIA_TYPE*) override { return WM_E_NOTIMPL; }
    WMStatus GetStreamGroupName(WMChar*, uint16_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetConnectionName(WMChar*, uint16_t*) override { return WM_E_NOTIMPL; }
};

enum class OpenReply { Opened, OpenedWithError, Never };

// A reader whose statuses and samples the test sends when it wants.
struct FakeReader final : IWMReader, IWMReaderAdvanced, IWMHeaderInfo3 {
    // Configuration, set before the open.
    WMStatus OpenResult = WM_S_OK;
    OpenReply Reply = OpenReply::Opened;
    bool WithHeaderInfo3 = true;
    std::vector<std::pair<std::u16string, std::vector<uint8_t>>> Attributes;
    std::vector<OutputShape> Outputs{{WMMEDIATYPE_Audio, 44100, 2, 16}};

    std::atomic<int32_t> Refs{1};
    std::mutex Lock; // guards Calls, Url
    std::vector<std::string> Calls;
    std::u16string Url;
    IWMReaderCallback* Callback = nullptr;
    std::atomic<void*> RunContext{nullptr}; // the latest start's
    std::vector<std::thread> Repliers;

    FakeReader() { ++LiveObjects; }
    ~FakeReader()
    {
        for (std::thread& T : Repliers)
            T.join();
        if (Callback)
            Callback->Release();
        --LiveObjects;
    }
    void Log(const std::string& Call)
    {
        std::lock_guard<std::mutex> G(Lock);
        Calls.push_back(Call);
    }
    std::vector<std::string> CallLog()
    {
        std::lock_guard<std::mutex> G(Lock);
        return Calls;
    }
    void ReplyLater(WMT_STATUS Status, WMStatus Hr)
    {
        IWMReaderCallback* To = Callback;
        To->AddRef();
        Repliers.emplace_back([To, Status, Hr] {
            To->OnStatus(Status, Hr, WMT_TYPE_DWORD, nullptr, nullptr);
            To->Release();
        });
    }
    // Reports Status for the run that Context started (as the reader does).
    void Report(WMT_STATUS Status, void* Context, WMStatus Hr = WM_S_OK)
    {
        Callback->OnStatus(Status, Hr, WMT_TYPE_DWORD, nullptr, Context);
    }
    // Hands Data to the engine as the reader's thread would; returns when
    // the engine lets the sample go. The buffer is gone afterwards.
    WMStatus Deliver(uint32_t Output, std::vector<uint8_t> Data)
    {
        FakeBuffer* Sample = new FakeBuffer(std::move(Data));
        WMStatus Status = Callback->OnSample(Output, 0, 0, 0, Sample, nullptr);
        Sample->Release();
        return Status;
    }

    // IUnknown
    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override
    {
        if (Iid == IID_IWMReader || Iid == IID_IUnknown)
            *Object = static_cast<IWMReader*>(this);
        else if (Iid == IID_IWMReaderAdvanced)
            *Object = static_cast<IWMReaderAdvanced*>(this);
        else if (Iid == IID_IWMHeaderInfo)
            *Object = static_cast<IWMHeaderInfo*>(this);
        else if (Iid == IID_IWMHeaderInfo3 && WithHeaderInfo3)
            *Object = static_cast<IWMHeaderInfo3*>(this);
        else {
            *Object = nullptr;
            return WM_E_NOINTERFACE;
        }
        AddRef();
        return WM_S_OK;
    }
    uint32_t AddRef() override { return static_cast<uint32_t>(++Refs); }
    uint32_t Release() override
    {
        int32_t Left = --Refs;
        if (Left == 0)
            delete this;
        return static_cast<uint32_t>(Left);
    }

    // IWMReader
    WMStatus Open(const WMChar* Name, IWMReaderCallback* Cb, void*) override
    {
        {
            std::lock_guard<std::mutex> G(Lock);
            Url = reinterpret_cast<const char16_t*>(Name);
        }
        Log("Open");
        if (OpenResult < 0)
            return OpenResult;
        Cb->AddRef();
        if (Callback) // reopened: the earlier engine is let go
            Callback->Release();
        Callback = Cb;
        if (Reply != OpenReply::Never)
            ReplyLater(WMT_OPENED, Reply == OpenReply::Opened ? WM_S_OK : WM_E_INVALID_DATA);
        return WM_S_OK;
    }
    WMStatus Close() override
    {
        Log("Close");
        ReplyLater(WMT_CLOSED, WM_S_OK);
        return WM_S_OK;
    }
    WMStatus GetOutputCount(uint32_t* N) override
    {
        *N = static_cast<uint32_t>(Outputs.size());
        return WM_S_OK;
    }
    WMStatus GetOutputProps(uint32_t N, IWMOutputMediaProps** Props) override
    {
        if (N >= Outputs.size())
            return WM_E_INVALIDARG;
        *Props = new FakeProps(Outputs[N]);
        return WM_S_OK;
    }
    WMStatus SetOutputProps(uint32_t, IWMOutputMediaProps*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormatCount(uint32_t, uint32_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormat(uint32_t, uint32_t, IWMOutputMediaProps**) override { return WM_E_NOTIMPL; }
    WMStatus Start(uint64_t At, uint64_t, float, void* Context) override
    {
        RunContext = Context;
        Log("Start:" + std::to_string(At));
        return WM_S_OK;
    }
    WMStatus Stop() override { Log("Stop"); return WM_S_OK; }
    WMStatus Pause() override { Log("Pause"); return WM_S_OK; }
    WMStatus Resume() override { Log("Resume"); return WM_S_OK; }

    // IWMReaderAdvanced
    WMStatus SetUserProvidedClock(int32_t On) override
    {
        Log("UserClock:" + std::to_string(On));
        return WM_S_OK;
    }
    WMStatus GetUserProvidedClock(int32_t*) override { return WM_E_NOTIMPL; }
    WMStatus DeliverTime(uint64_t) override { return WM_S_OK; }

    // IWMHeaderInfo
    WMStatus GetAttributeCount(uint16_t, uint16_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetAttributeByIndex(uint16_t, uint16_t*, WMChar*, uint16_t*, WMT_ATTR_DATATYPE*, uint8_t*,
                                 uint16_t*) override
    {
        return WM_E_NOTIMPL;
    }
    WMStatus GetAttributeByName(uint16_t*, const WMChar* Name, WMT_ATTR_DATATYPE*, uint8_t* Value,
                                uint16_t* Length) override
    {
        for (auto& [N, V] : Attributes)
            if (N == reinterpret_cast<const char16_t*>(Name))
                return Copy(V, Value, Length);
        return WM_E_NO_SUCH_ATTRIBUTE;
    }
    template <typename L> static WMStatus Copy(const std::vector<uint8_t>& V, uint8_t* Value, L* Length)
    {
        if (Value && *Length < V.size())
            return WM_E_BUFFERTOOSMALL;
        if (Value)
            memcpy(Value, V.data(), V.size());
        *Length = static_cast<L>(V.size());
        return WM_S_OK;
    }
    WMStatus SetAttribute(uint16_t, const WMChar*, WMT_ATTR_DATATYPE, const uint8_t*, uint16_t) override
    {
        return WM_E_NOTIMPL;
    }
    WMStatus GetMarkerCount(uint16_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetMarker(uint16_t, WMChar*, uint16_t*, uint64_t*) override { return WM_E_NOTIMPL; }
    WMStatus AddMarker(const WMChar*, uint64_t) override { return WM_E_NOTIMPL; }
    WMStatus RemoveMarker(uint16_t) override { return WM_E_NOTIMPL; }
    WMStatus GetScriptCount(uint16_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetScript(uint16_t, WMChar*, uint16_t*, WMChar*, uint16_t*, uint64_t*) override { return WM_E_NOTIMPL; }
    WMStatus AddScript(const WMChar*, const WMChar*, uint64_t) override { return WM_E_NOTIMPL; }
    WMStatus RemoveScript(uint16_t) override { return WM_E_NOTIMPL; }
    // IWMHeaderInfo2
    WMStatus GetCodecInfoCount(uint32_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetCodecInfo(uint32_t, uint16_t*, WMChar*, uint16_t*, WMChar*, uint32_t*, uint16_t*, uint8_t*) override
    {
        return WM_E_NOTIMPL;
    }
    // IWMHeaderInfo3
    WMStatus GetAttributeCountEx(uint16_t, uint16_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetAttributeIndices(uint16_t, const WMChar* Name, uint16_t*, uint16_t* Indices, uint16_t* Count) override
    {
        std::vector<uint16_t> Found;
        for (size_t i = 0; i < Attributes.size(); ++i)
            if (Attributes[i].first == reinterpret_cast<const char16_t*>(Name))
                Found.push_back(static_cast<uint16_t>(i));
        if (Indices && *Count < Found.size())
            return WM_E_BUFFERTOOSMALL;
        if (Indices && !Found.empty())
            memcpy(Indices, Found.data(), Found.size() * 2);
        *Count = static_cast<uint16_t>(Found.size());
        return WM_S_OK;
    }
    WMStatus GetAttributeByIndexEx(uint16_t, uint16_t Index, WMChar*, uint16_t*, WMT_ATTR_DATATYPE*, uint16_t*,
                                   uint8_t* Value, uint32_t* Length) override
    {
        if (Index >= Attributes.size())
            return WM_E_NO_SUCH_ATTRIBUTE;
        return Copy(Attributes[Index].second, Value, Length);
    }
    WMStatus ModifyAttribute(uint16_t, uint16_t, WMT_ATTR_DATATYPE, uint16_t, const uint8_t*, uint32_t) override
    {
        return WM_E_NOTIMPL;
    }
    WMStatus AddAttribute(uint16_t, const WMChar*, uint16_t*, WMT_ATTR_DATATYPE, uint16_t, const uint8_t*,
                          uint32_t) override
    {
        return WM_E_NOTIMPL;
    }
    WMStatus DeleteAttribute(uint16_t, uint16_t) override { return WM_E_NOTIMPL; }
    WMStatus AddCodecInfo(const WMChar*, const WMChar*, uint32_t, uint16_t, uint8_t*) override
    {
        return WM_E_NOTIMPL;
    }
};

FakeReader* NextReader = nullptr; // handed out by the fake runtime

WMStatus FakeCreateReader(IUnknown*, uint32_t, IWMReader** Reader)
{
    if (!NextReader)
        return WM_E_FAIL;
    NextReader->AddRef();
    *Reader = NextReader;
    return WM_S_OK;
}

WMStatus FakeCreateEditor(IWMMetadataEditor** Editor)
{
    *Editor = nullptr;
    return WM_E_NOTIMPL;
}

// A 10.5-second constant-bit-rate file with one stereo output.
void DescribeUsualFile(FakeReader* R)
{
    R->Attributes = {{Wide("Duration"), Bytes<uint64_t>(105000000)},
                     {Wide("Bitrate"), Bytes<uint32_t>(128000)},
                     {Wide("IsVBR"), Bytes<uint32_t>(0)}};
}

struct Unprepare {
    void operator()(MPEGFileInfoType* Info) const { UnPrepareWMAFile(Info); }
};
using Prepared = std::unique_ptr<MPEGFileInfoType, Unprepare>;

class WmaEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetWMARuntimeForTesting(FakeCreateReader, FakeCreateEditor);
        Reader = new FakeReader;
        DescribeUsualFile(Reader);
        NextReader = Reader;
    }
    void TearDown() override
    {
        NextReader = nullptr;
        Reader->Release();
        ResetWMARuntimeForTesting();
        EXPECT_EQ(LiveObjects.load(), 0) << "the engine kept a reader object";
    }
    Prepared Prepare(const char* Path = "/music/fake.wma") { return Prepared(PrepareWMAFile(Path)); }
    // Starts playing; each delivery runs on a thread of its own.
    void Play(MPEGFileInfoType* Info) { EXPECT_NE(WMAActionZEBCommand(ZEB_CMD_PLAY, Info), 0); }
    std::thread DeliverAsync(std::vector<uint8_t> Data, uint32_t Output = 0)
    {
        return std::thread([this, Data = std::move(Data), Output] { Reader->Deliver(Output, Data); });
    }
    // Waits until the engine reports a sample (the delivery has published it).
    static bool WaitPending(MPEGFileInfoType* Info)
    {
        for (int i = 0; i < 2000; ++i) {
            if (WMASamplesPending(Info))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    FakeReader* Reader = nullptr;
};

std::vector<uint8_t> Pattern(size_t Size, uint8_t Seed)
{
    std::vector<uint8_t> P(Size);
    for (size_t i = 0; i < Size; ++i)
        P[i] = static_cast<uint8_t>(Seed + i * 7 + (i >> 9));
    return P;
}

// ---- Opening ----

TEST_F(WmaEngine, FileRecordComesFromTheHeaderAndTheAudioOutput)
{
    Reader->Outputs = {{WMMEDIATYPE_Audio, 22050, 1, 16}};
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->TrackLength, 10u);
    EXPECT_EQ(Info->SampleRate, 22050u);
    EXPECT_EQ(Info->Channels, 1);
    EXPECT_EQ(Info->BytesPerSample, 2);
    EXPECT_EQ(Info->VBRFlag, 0);
    EXPECT_EQ(Info->BitRate, 128000);
    EXPECT_EQ(Info->Handle, nullptr);
    std::vector<std::string> Calls = Reader->CallLog();
    ASSERT_GE(Calls.size(), 2u);
    EXPECT_EQ(Calls[0], "Open");
    EXPECT_EQ(Calls[1], "UserClock:1");
}

TEST_F(WmaEngine, BitRateOnlyForConstantRateFiles)
{
    // Without "IsVBR" the file counts as constant rate.
    Reader->Attributes = {{Wide("Duration"), Bytes<uint64_t>(30000000)}, {Wide("Bitrate"), Bytes<uint32_t>(64000)}};
    Reader->WithHeaderInfo3 = false; // by name, through the basic interface
    {
        Prepared Info = Prepare();
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->TrackLength, 3u);
        EXPECT_EQ(Info->BitRate, 64000);
        EXPECT_EQ(Info->VBRFlag, 0);
    }
    FakeReader* Vbr = new FakeReader;
    Vbr->Attributes = {{Wide("Duration"), Bytes<uint64_t>(30000000)},
                       {Wide("IsVBR"), Bytes<uint32_t>(1)},
                       {Wide("Bitrate"), Bytes<uint32_t>(64000)}};
    NextReader = Vbr;
    {
        Prepared Info = Prepare();
        ASSERT_TRUE(Info);
        EXPECT_EQ(Info->VBRFlag, 1);
        EXPECT_EQ(Info->BitRate, 0);
    }
    Vbr->Release();
}

TEST_F(WmaEngine, OpenFailsWithoutDurationAudioOrAUsableFormat)
{
    struct Case {
        const char* What;
        std::function<void(FakeReader*)> Break;
    } Cases[] = {
        {"no Duration", [](FakeReader* R) { R->Attributes.erase(R->Attributes.begin()); }},
        {"short Duration", [](FakeReader* R) { R->Attributes[0].second = Bytes<uint32_t>(5); }},
        {"no audio output", [](FakeReader* R) { R->Outputs = {{WMMEDIATYPE_Video, 0, 0, 0}}; }},
        {"no outputs", [](FakeReader* R) { R->Outputs.clear(); }},
        {"rate 0", [](FakeReader* R) { R->Outputs = {{WMMEDIATYPE_Audio, 0, 2, 16}}; }},
        {"reader refuses the open", [](FakeReader* R) { R->OpenResult = WM_E_INVALID_DATA; }},
        {"opened with an error", [](FakeReader* R) { R->Reply = OpenReply::OpenedWithError; }},
        {"never opened", [](FakeReader* R) { R->Reply = OpenReply::Never; }},
    };
    for (const Case& C : Cases) {
        FakeReader* R = new FakeReader;
        DescribeUsualFile(R);
        C.Break(R);
        NextReader = R;
        MPEGFileInfoType* Info = reinterpret_cast<MPEGFileInfoType*>(1);
        EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [&Info] { Info = PrepareWMAFile("/music/bad.wma"); })) << C.What;
        EXPECT_EQ(Info, nullptr) << C.What;
        EXPECT_EQ(R->Refs.load(), 1) << C.What << ": the engine kept the reader";
        R->Release();
    }
}

TEST_F(WmaEngine, PathIsWidenedByteForByteAndALongOneIsRefused)
{
    const char* Path = "/m\xc3\xa9lodie/\xff.wma";
    ASSERT_TRUE(Prepare(Path));
    {
        std::lock_guard<std::mutex> G(Reader->Lock);
        EXPECT_EQ(Reader->Url, Wide(Path));
    }
    std::string Long = "/" + std::string(PATH_MAX - 1, 'x'); // PATH_MAX bytes: no room for the terminator
    std::string Fits = "/" + std::string(PATH_MAX - 2, 'x');
    size_t OpensBefore = Reader->CallLog().size();
    EXPECT_FALSE(Prepare(Long.c_str()));
    EXPECT_EQ(Reader->CallLog().size(), OpensBefore) << "the reader saw a cut path";
    EXPECT_TRUE(Prepare(Fits.c_str()));
    std::lock_guard<std::mutex> G(Reader->Lock);
    EXPECT_EQ(Reader->Url, Wide(Fits.c_str()));
}

TEST(WmaEngineRuntime, MissingModuleRefusesWindowsMediaFilesOnly)
{
    static const char* const Absent[] = {"libzeb-absent-wmf.so", nullptr};
    SetSupportLibraryNames("wmf", Absent);
    ResetWMARuntimeForTesting();
    EXPECT_EQ(CommonDllInit(), 0);
    EXPECT_EQ(PrepareWMAFile("/music/any.wma"), nullptr);

    std::string Wma = zebtest::FixturePath("no_runtime.wma");
    zebtest::WriteFile(Wma, std::vector<uint8_t>(4096, 0x30));
    std::string Wav = zebtest::FixturePath("no_runtime.wav");
    zebtest::WriteWav(Wav, 8000, 1, 16, zebtest::TestPcm(800, 1, 8000));
    zebtest::Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    ZEBAudioInputOpen(Player, Wma.c_str());
    ZEBAudioInputOpen(Player, Wav.c_str());
    std::vector<ZEBMessage> Got = H.Drain(Player);
    ZEBAudioPlayerDestroy(Player);
    ASSERT_EQ(Got.size(), 3u) << zebtest::Describe(Got);
    EXPECT_TRUE(zebtest::Same(Got, {zebtest::Msg(ZEB_RSP_ERROR, ZEB_CMD_INPUT_OPEN, 1),
                                    zebtest::Msg(ZEB_RSP_OK, ZEB_CMD_INPUT_OPEN, 0), Got[2]}));
    EXPECT_EQ(Got[2].Msg, static_cast<uint32_t>(ZEB_NTF_INPUT_OPENED));

    SetSupportLibraryNames("wmf", nullptr);
    ResetWMARuntimeForTesting();
}

TEST(WmaEngineCallback, AnswersOnlyTheCallbackInterfaces)
{
    CWMediaEngine* Engine = new CWMediaEngine;
    for (const WMGuid& Iid : {IID_IUnknown, IID_IWMStatusCallback, IID_IWMReaderCallback}) {
        void* Got = nullptr;
        EXPECT_EQ(Engine->QueryInterface(Iid, &Got), WM_S_OK);
        EXPECT_EQ(Got, static_cast<IWMReaderCallback*>(Engine));
    }
    EXPECT_EQ(Engine->m_cRef.load(), 4);
    void* Other = Engine;
    EXPECT_EQ(Engine->QueryInterface(IID_IWMReader, &Other), WM_E_NOINTERFACE);
    EXPECT_EQ(Other, nullptr);
    EXPECT_EQ(Engine->Release(), 3u);
    Engine->Release();
    Engine->Release();
    EXPECT_EQ(Engine->Release(), 0u);
}

// ---- Transport ----

TEST_F(WmaEngine, PlayStartsOrResumesAndSeeksTakeEffectAtTheNextPlay)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    WMAActionZEBCommand(ZEB_CMD_PAUSE, Info.get());     // nothing under way to pause
    Play(Info.get());                                   // Start at 0
    WMAActionZEBCommand(ZEB_CMD_PAUSE, Info.get());
    Play(Info.get());                                   // Resume
    WMAActionZEBCommand(ZEB_CMD_PAUSE, Info.get());
    SeekWMAFile(Info.get(), 1500);
    Play(Info.get());                                   // Start at 1.5 s
    WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
    SeekWMAFile(Info.get(), 0);
    WMAActionZEBCommand(ZEB_CMD_PAUSE, Info.get());     // stopped: nothing to pause
    Play(Info.get());                                   // Start at 0
    EXPECT_EQ(WMAActionZEBCommand(ZEB_CMD_SEEK, Info.get()), 1);
    std::vector<std::string> Calls = Reader->CallLog();
    std::vector<std::string> Transport(Calls.begin() + 2, Calls.end());
    EXPECT_EQ(Transport, (std::vector<std::string>{"Start:0", "Pause", "Resume", "Pause", "Start:15000000", "Stop",
                                                   "Start:0"}));
}

TEST_F(WmaEngine, EndOfFileEndsTheStreamAndANewStartPlaysAgain)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    Play(Info.get());
    EXPECT_EQ(WMASamplesPending(Info.get()), 0u);
    Reader->Report(WMT_EOF, Reader->RunContext);
    EXPECT_NE(WMASamplesPending(Info.get()), 0u);
    std::vector<uint8_t> Out(OutBufSz);
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
    // Stop and Play after the end: the reader starts again from 0.
    WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
    SeekWMAFile(Info.get(), 0);
    Play(Info.get());
    EXPECT_EQ(WMASamplesPending(Info.get()), 0u);
    std::thread T = DeliverAsync(Pattern(4096, 1));
    ASSERT_TRUE(WaitPending(Info.get()));
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 4096u);
    T.join();
    // A missing codec or a reader error ends the stream the same way.
    for (WMT_STATUS Status : {WMT_MISSING_CODEC, WMT_ERROR}) {
        WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
        SeekWMAFile(Info.get(), 0);
        Play(Info.get());
        Reader->Report(Status, Reader->RunContext, WM_E_FAIL);
        EXPECT_NE(WMASamplesPending(Info.get()), 0u);
        EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
    }
}

// The old run's end report arrives after a stop and a new start: it ends
// nothing, and the new run plays until its own end.
TEST_F(WmaEngine, EndReportOfAnEarlierRunDoesNotEndARestartedOne)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    Play(Info.get());
    void* Earlier = Reader->RunContext;
    WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
    SeekWMAFile(Info.get(), 0);
    Play(Info.get());
    void* Current = Reader->RunContext;
    ASSERT_NE(Earlier, Current);
    for (WMT_STATUS Status : {WMT_EOF, WMT_ERROR})
        Reader->Report(Status, Earlier);
    EXPECT_EQ(WMASamplesPending(Info.get()), 0u) << "the new run ended with the old one";
    std::vector<uint8_t> Out(OutBufSz);
    std::thread T = DeliverAsync(Pattern(4096, 4));
    ASSERT_TRUE(WaitPending(Info.get()));
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 4096u);
    T.join();
    Reader->Report(WMT_EOF, Current);
    EXPECT_NE(WMASamplesPending(Info.get()), 0u);
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
}

// ---- Hand-over ----

TEST_F(WmaEngine, SamplesOfTheAudioOutputAreHandedOverOneByOne)
{
    Reader->Outputs = {{WMMEDIATYPE_Video, 0, 0, 0}, {WMMEDIATYPE_Audio, 44100, 2, 16}, {WMMEDIATYPE_Audio, 8000, 1, 16}};
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->SampleRate, 44100u);
    Play(Info.get());
    // Samples of the other outputs are dropped at once.
    EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [R = Reader] { R->Deliver(0, Pattern(100, 9)); }));
    EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [R = Reader] { R->Deliver(2, Pattern(100, 9)); }));
    EXPECT_EQ(WMASamplesPending(Info.get()), 0u);

    std::atomic<int> Delivered{0};
    std::thread Thread([&] {
        for (uint8_t Seed = 0; Seed < 5; ++Seed) {
            Reader->Deliver(1, Pattern(8192 + Seed * 4, Seed));
            ++Delivered;
        }
    });
    std::vector<uint8_t> Out(OutBufSz);
    for (uint8_t Seed = 0; Seed < 5; ++Seed) {
        ASSERT_TRUE(WaitPending(Info.get()));
        EXPECT_LE(Delivered.load(), Seed) << "the reader's thread went on before its sample was taken";
        uint32_t Got = DecodeWMASection(Info.get(), Out.data(), OutBufSz);
        ASSERT_EQ(Got, 8192u + Seed * 4);
        EXPECT_TRUE(std::equal(Out.begin(), Out.begin() + Got, Pattern(Got, Seed).begin()));
    }
    Thread.join();
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
}

TEST_F(WmaEngine, SampleLargerThanTheBufferArrivesInPieces)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    Play(Info.get());
    std::vector<uint8_t> Big = Pattern(OutBufSz + 75000, 3);
    std::atomic<bool> Returned{false};
    std::thread T([&] {
        Reader->Deliver(0, Big);
        Returned = true;
    });
    ASSERT_TRUE(WaitPending(Info.get()));
    std::vector<uint8_t> Out(OutBufSz + 64, 0xEE);
    std::vector<uint8_t> Heard;
    uint32_t First = DecodeWMASection(Info.get(), Out.data(), OutBufSz);
    EXPECT_EQ(First, OutBufSz);
    EXPECT_EQ(Out[OutBufSz], 0xEE) << "written past the buffer";
    Heard.insert(Heard.end(), Out.begin(), Out.begin() + First);
    EXPECT_FALSE(Returned.load()) << "the sample was let go half copied";
    EXPECT_NE(WMASamplesPending(Info.get()), 0u);
    uint32_t Second = DecodeWMASection(Info.get(), Out.data(), OutBufSz);
    EXPECT_EQ(Second, 75000u);
    Heard.insert(Heard.end(), Out.begin(), Out.begin() + Second);
    T.join();
    EXPECT_EQ(Heard, Big);
}

TEST_F(WmaEngine, ReleasedSampleIsNeverCopiedAndPausedOneStays)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    Play(Info.get());
    std::vector<uint8_t> Out(OutBufSz);
    // Paused: the waiting sample stays, and a preload may take it.
    std::thread Kept = DeliverAsync(Pattern(2000, 5));
    ASSERT_TRUE(WaitPending(Info.get()));
    WMAActionZEBCommand(ZEB_CMD_PAUSE, Info.get());
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 2000u);
    Kept.join();
    Play(Info.get()); // resume

    for (uint32_t Cmd : {ZEB_CMD_STOP, ZEB_CMD_SEEK}) {
        std::thread T = DeliverAsync(Pattern(3000, 6));
        ASSERT_TRUE(WaitPending(Info.get()));
        if (Cmd == ZEB_CMD_STOP)
            WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
        else
            SeekWMAFile(Info.get(), 2000);
        // The reader's thread is let go and takes its buffer back (the fake
        // frees it); a decode now, as a preload would make, finds nothing.
        T.join();
        EXPECT_EQ(WMASamplesPending(Info.get()), 0u);
        EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
        // Deliveries while released do not wait either.
        EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [R = Reader] { R->Deliver(0, Pattern(100, 7)); }));
        EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
        Play(Info.get());
    }
}

// The delivery thread publishes its sample only after the engine was
// stopped, repositioned and started again: the release event it could have
// seen is reset already. It must neither wait forever nor be copied.
TEST_F(WmaEngine, DeliveryOverlappingStopSeekStartNeitherHangsNorIsCopied)
{
    Prepared Info = Prepare();
    ASSERT_TRUE(Info);
    Play(Info.get());

    struct GatedBuffer : FakeBuffer {
        std::mutex M;
        std::condition_variable Cv;
        bool Entered = false, Open = false;
        using FakeBuffer::FakeBuffer;
        WMStatus GetBufferAndLength(uint8_t** B, uint32_t* L) override
        {
            std::unique_lock<std::mutex> G(M);
            Entered = true;
            Cv.notify_all();
            Cv.wait(G, [this] { return Open; });
            return FakeBuffer::GetBufferAndLength(B, L);
        }
    };
    GatedBuffer* Sample = new GatedBuffer(Pattern(4000, 8));
    IWMReaderCallback* Callback = Reader->Callback;
    auto Done = std::make_shared<std::atomic<bool>>(false);
    std::thread Delivery([Callback, Sample, Done] {
        Callback->OnSample(0, 0, 0, 0, Sample, nullptr);
        *Done = true;
    });
    {
        std::unique_lock<std::mutex> G(Sample->M);
        Sample->Cv.wait(G, [&] { return Sample->Entered; });
    }
    WMAActionZEBCommand(ZEB_CMD_STOP, Info.get());
    SeekWMAFile(Info.get(), 0);
    Play(Info.get());
    {
        std::lock_guard<std::mutex> G(Sample->M);
        Sample->Open = true;
        Sample->Cv.notify_all();
    }
    std::vector<uint8_t> Out(OutBufSz);
    for (int i = 0; i < 20 && !*Done; ++i) {
        EXPECT_EQ(WMASamplesPending(Info.get()), 0u);
        EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 0u);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool Returned = zebtest::ReturnsWithin(HangMs, [&Delivery] { Delivery.join(); });
    ASSERT_TRUE(Returned) << "the delivery thread waits for a hand-over that cannot come";
    Sample->Release();

    // The new run hands its samples over as usual.
    std::thread Next = DeliverAsync(Pattern(1000, 9));
    ASSERT_TRUE(WaitPending(Info.get()));
    EXPECT_EQ(DecodeWMASection(Info.get(), Out.data(), OutBufSz), 1000u);
    Next.join();
}

TEST_F(WmaEngine, CloseAndStopReleaseAWaitingDelivery)
{
    for (bool CloseIt : {false, true}) {
        FakeReader* R = new FakeReader;
        DescribeUsualFile(R);
        NextReader = R;
        MPEGFileInfoType* Info = PrepareWMAFile("/music/waiting.wma");
        ASSERT_NE(Info, nullptr);
        Play(Info);
        std::thread T([R] { R->Deliver(0, Pattern(5000, 2)); });
        ASSERT_TRUE(WaitPending(Info));
        if (!CloseIt)
            WMAActionZEBCommand(ZEB_CMD_STOP, Info);
        EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [Info] { UnPrepareWMAFile(Info); }));
        EXPECT_TRUE(zebtest::ReturnsWithin(HangMs, [&T] { T.join(); }));
        R->Release();
    }
}

} // namespace
