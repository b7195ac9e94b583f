// CWMediaEngine: the reader callback, transport, sample hand-over between the
// reader's delivery thread and the audio thread, file information and
// attribute reading. The attribute editing methods live in wmmedia_editor.
#include "wmmedia.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

// A value buffer for the caller, with two zeroed spare bytes: an empty value
// still gets a buffer of its own, and a value a host reads as a wide string
// always ends inside the buffer.
uint8_t* NewValueBuffer(uint32_t Size)
{
    return static_cast<uint8_t*>(calloc(static_cast<size_t>(Size) + 2u, 1));
}

constexpr uint32_t OpenWaitMs = 1000;
// The reader answers a close at once; the bound only keeps a reader that
// never does from hanging the player.
constexpr int CloseWaitMs = 10000;
// How often a waiting delivery looks whether the engine moved on without
// the release event being seen (set and reset again by a quick restart).
constexpr int HandOverRecheckMs = 50;
// How long WMASamplesPending waits for the reader while playing, so that
// the audio thread does not spin while the reader decodes.
constexpr int PendingWaitMs = 5;
constexpr uint64_t HundredNsPerSecond = 10000000;
constexpr uint64_t HundredNsPerMs = 10000;
// Delivery granted to the end of the file whatever the header's duration
// says: a short "Duration" must not stop the stream before its end.
constexpr uint64_t DeliverToEnd = ~0ull;

const WMChar DurationName[] = {'D', 'u', 'r', 'a', 't', 'i', 'o', 'n', 0};
const WMChar IsVBRName[] = {'I', 's', 'V', 'B', 'R', 0};
const WMChar BitrateName[] = {'B', 'i', 't', 'r', 'a', 't', 'e', 0};

template <typename T> void ReleaseInterface(T*& Interface)
{
    if (Interface)
        Interface->Release();
    Interface = nullptr;
}

void CloseEventField(ZEBEvent*& Event)
{
    if (Event)
        CloseEvent(Event);
    Event = nullptr;
}

// An attribute value's leading bytes as a little-endian T; false when the
// value is shorter.
template <typename T> bool ValueFrom(const uint8_t* Bytes, uint32_t Length, T* Value)
{
    if (Length < sizeof(T))
        return false;
    memcpy(Value, Bytes, sizeof(T));
    return true;
}

// Sample frames at Rate in Duration (100 ns units), rounded down; 0
// (unknown) when the count does not fit.
uint64_t FramesIn(uint64_t Duration, uint32_t Rate)
{
    uint64_t Seconds = Duration / HundredNsPerSecond;
    uint64_t Rest = Duration % HundredNsPerSecond;
    if (Rate != 0 && Seconds > (UINT64_MAX - Rate) / Rate)
        return 0;
    return Seconds * Rate + Rest * Rate / HundredNsPerSecond;
}

} // namespace

WMCreateReaderFn WMCreateReader = nullptr;
WMCreateEditorFn WMCreateEditor = nullptr;

CWMediaEngine::CWMediaEngine() = default;

CWMediaEngine::~CWMediaEngine()
{
    Exit();
}

// ---- IUnknown ----

WMStatus CWMediaEngine::QueryInterface(const WMGuid& Iid, void** Object)
{
    if (!Object)
        return WM_E_POINTER;
    if (Iid == IID_IUnknown || Iid == IID_IWMStatusCallback || Iid == IID_IWMReaderCallback) {
        *Object = static_cast<IWMReaderCallback*>(this);
        AddRef();
        return WM_S_OK;
    }
    *Object = nullptr;
    return WM_E_NOINTERFACE;
}

uint32_t CWMediaEngine::AddRef()
{
    return static_cast<uint32_t>(InterlockedIncrement(&m_cRef));
}

uint32_t CWMediaEngine::Release()
{
    int32_t Count = InterlockedDecrement(&m_cRef);
    if (Count == 0)
        delete this;
    return static_cast<uint32_t>(Count);
}

// ---- Set-up and tear-down ----

int CWMediaEngine::Init()
{
    // No per-thread COM initialisation on this platform.
    m_hAsyncEvent = CreateEvent(false, false);
    hSampleReady[0] = CreateEvent(false, false);
    hSampleReady[1] = CreateEvent(true, false);
    hSamplePosted = CreateEvent(false, false);
    if (!m_hAsyncEvent || !hSampleReady[0] || !hSampleReady[1] || !hSamplePosted)
        return 0;
    if (!WMCreateReader || WMCreateReader(nullptr, 0, &m_pReader) < 0 || !m_pReader) {
        m_pReader = nullptr;
        return 0;
    }
    return 1;
}

void CWMediaEngine::Exit()
{
    ReleaseInterface(m_pHeaderInfo);
    ReleaseInterface(m_pHeaderInfo3);
    ReleaseInterface(m_pReaderAdv);
    ReleaseInterface(m_pReader);
    {
        std::lock_guard<std::mutex> Guard(EventsLock);
        CloseEventField(m_hAsyncEvent);
    }
    {
        // A delivery still inside OnSample has been released; it leaves
        // before the events it waits on go.
        std::lock_guard<std::mutex> Guard(DeliveryLock);
        CloseEventField(hSampleReady[0]);
        CloseEventField(hSampleReady[1]);
        CloseEventField(hSamplePosted);
    }
    ReleaseInterface(m_pMetaEditor);
}

int CWMediaEngine::Open(const WMChar* pwszUrl)
{
    {
        std::lock_guard<std::mutex> Guard(EventsLock);
        OpenStatus = WM_S_OK;
    }
    // A reader that refuses at once reports nothing later: no wait.
    if (m_pReader->Open(pwszUrl, this, nullptr) < 0)
        return 0;
    if (!WaitEvent(m_hAsyncEvent, OpenWaitMs))
        return 0;
    {
        // An opened status that carries a failure is a failed open.
        std::lock_guard<std::mutex> Guard(EventsLock);
        if (OpenStatus < 0)
            return 0;
    }
    if (!TakeReaderInterfaces()) {
        Close(); // the file is open: close it before the reader goes
        return 0;
    }
    SeekPos = 0;
    return 1;
}

int CWMediaEngine::TakeReaderInterfaces()
{
    if (m_pReader->QueryInterface(IID_IWMHeaderInfo, reinterpret_cast<void**>(&m_pHeaderInfo)) < 0) {
        m_pHeaderInfo = nullptr;
        return 0;
    }
    if (m_pReader->QueryInterface(IID_IWMHeaderInfo3, reinterpret_cast<void**>(&m_pHeaderInfo3)) < 0)
        m_pHeaderInfo3 = nullptr;
    if (m_pReader->QueryInterface(IID_IWMReaderAdvanced, reinterpret_cast<void**>(&m_pReaderAdv)) < 0) {
        m_pReaderAdv = nullptr;
        return 0;
    }
    return m_pReaderAdv->SetUserProvidedClock(1) >= 0 ? 1 : 0;
}

// ---- File information ----

int CWMediaEngine::SetMPGFileInfo(MPEGFileInfoType* Info)
{
    uint8_t* Bytes = nullptr;
    uint32_t Length = 0;
    uint64_t Duration = 0;
    if (!ReadHeaderAttribute(DurationName, &Bytes, &Length))
        return 0;
    bool HaveDuration = ValueFrom(Bytes, Length, &Duration);
    free(Bytes);
    if (!HaveDuration)
        return 0;
    Info->TrackLength = static_cast<uint32_t>(Duration / HundredNsPerSecond);
    TrackDuration = Duration;

    uint32_t Flag = 0;
    if (ReadHeaderAttribute(IsVBRName, &Bytes, &Length)) {
        if (ValueFrom(Bytes, Length, &Flag))
            Info->VBRFlag = static_cast<int>(Flag);
        free(Bytes);
    }
    uint32_t Rate = 0;
    if (Info->VBRFlag == 0 && ReadHeaderAttribute(BitrateName, &Bytes, &Length)) {
        if (ValueFrom(Bytes, Length, &Rate))
            Info->BitRate = static_cast<int>(Rate);
        free(Bytes);
    }
    if (!FindAudioOutput(Info))
        return 0;
    Info->TotalSamples = FramesIn(Duration, Info->SampleRate);
    return 1;
}

int CWMediaEngine::FindAudioOutput(MPEGFileInfoType* Info)
{
    uint32_t Outputs = 0;
    if (m_pReader->GetOutputCount(&Outputs) < 0)
        return 0;
    for (uint32_t Output = 0; Output < Outputs; ++Output) {
        int Found = ExamineOutput(Output, Info);
        if (Found != 0)
            return Found > 0 ? 1 : 0;
    }
    return 0;
}

int CWMediaEngine::ExamineOutput(uint32_t Output, MPEGFileInfoType* Info)
{
    IWMOutputMediaProps* Props = nullptr;
    if (m_pReader->GetOutputProps(Output, &Props) < 0 || !Props)
        return -1;
    int Result = -1;
    uint32_t Size = 0;
    uint8_t* Buffer = nullptr;
    if (Props->GetMediaType(nullptr, &Size) >= 0 && Size >= sizeof(WM_MEDIA_TYPE) &&
        (Buffer = static_cast<uint8_t*>(malloc(Size))) != nullptr &&
        Props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(Buffer), &Size) >= 0) {
        const WM_MEDIA_TYPE* Type = reinterpret_cast<const WM_MEDIA_TYPE*>(Buffer);
        Result = 0;
        if (Type->majortype == WMMEDIATYPE_Audio) {
            // The wave format must be all there: its first 16 bytes carry
            // what the player needs.
            tWAVEFORMATEX Format{};
            constexpr uint32_t NeededBytes = 16;
            Result = -1;
            if (Type->pbFormat && Type->cbFormat >= NeededBytes) {
                memcpy(&Format, Type->pbFormat, Type->cbFormat < sizeof(Format) ? Type->cbFormat : sizeof(Format));
                // A format without rate, channels or sample width cannot be timed.
                if (Format.nSamplesPerSec && Format.nChannels && Format.wBitsPerSample >= 8) {
                    m_dwAudioOutputNum = Output;
                    Info->SampleRate = Format.nSamplesPerSec;
                    Info->Channels = Format.nChannels;
                    Info->BytesPerSample = static_cast<uint16_t>(Format.wBitsPerSample / 8);
                    Result = 1;
                }
            }
        }
    }
    free(Buffer);
    Props->Release();
    return Result;
}

// ---- Attributes ----

int CWMediaEngine::GetHeaderAttribute(const WMChar* pwszName, uint8_t** ppbValue)
{
    uint32_t Length = 0;
    return ReadHeaderAttribute(pwszName, ppbValue, &Length);
}

int CWMediaEngine::ReadHeaderAttribute(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length)
{
    if (!m_pHeaderInfo || !ppbValue || !pwszName)
        return 0;
    *Length = 0;
    // A name the indices do not reach (a header with more attributes than
    // they count) is still read by name.
    if (m_pHeaderInfo3 && ReadByIndices(pwszName, ppbValue, Length))
        return 1;
    return ReadByName(pwszName, ppbValue, Length);
}

int CWMediaEngine::ReadByIndices(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length)
{
    uint16_t Count = 0;
    uint16_t* Indices = AttributeIndicesList(pwszName, &Count);
    if (!Indices)
        return 0;
    uint16_t NameLen = 0, Lang = 0;
    WMT_ATTR_DATATYPE Type = WMT_TYPE_DWORD;
    uint32_t Size = 0;
    int Result = 0;
    if (m_pHeaderInfo3->GetAttributeByIndexEx(0, Indices[0], nullptr, &NameLen, &Type, &Lang, nullptr, &Size) >= 0) {
        uint8_t* Value = NewValueBuffer(Size);
        uint32_t Got = Size;
        if (Value &&
            m_pHeaderInfo3->GetAttributeByIndexEx(0, Indices[0], nullptr, &NameLen, &Type, &Lang, Value, &Got) >= 0 &&
            Got <= Size) {
            *ppbValue = Value;
            *Length = Got;
            Result = 1;
        } else {
            free(Value);
        }
    }
    free(Indices);
    return Result;
}

int CWMediaEngine::ReadByName(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length)
{
    uint16_t Stream = 0;
    uint16_t Size = 0;
    WMT_ATTR_DATATYPE Type = WMT_TYPE_DWORD;
    WMStatus Status = m_pHeaderInfo->GetAttributeByName(&Stream, pwszName, &Type, nullptr, &Size);
    if (Status == WM_E_NO_SUCH_ATTRIBUTE)
        *ppbValue = nullptr;
    if (Status < 0)
        return 0;
    uint8_t* Value = NewValueBuffer(Size);
    uint16_t Got = Size;
    Stream = 0;
    if (!Value || m_pHeaderInfo->GetAttributeByName(&Stream, pwszName, &Type, Value, &Got) < 0 || Got > Size) {
        free(Value);
        return 0;
    }
    *ppbValue = Value;
    *Length = Got;
    return 1;
}

uint16_t* CWMediaEngine::AttributeIndicesList(const WMChar* pwszName, uint16_t* Count)
{
    *Count = 0;
    if (!m_pHeaderInfo3)
        return nullptr;
    uint16_t Wanted = 0;
    if (m_pHeaderInfo3->GetAttributeIndices(0, pwszName, nullptr, nullptr, &Wanted) < 0 || Wanted == 0)
        return nullptr;
    uint16_t* Indices = static_cast<uint16_t*>(malloc(sizeof(uint16_t) * Wanted));
    if (!Indices)
        return nullptr;
    uint16_t Got = Wanted;
    if (m_pHeaderInfo3->GetAttributeIndices(0, pwszName, nullptr, Indices, &Got) < 0 || Got == 0 || Got > Wanted) {
        free(Indices);
        return nullptr;
    }
    *Count = Got;
    return Indices;
}

// ---- Transport (audio thread) ----

void CWMediaEngine::ReleaseDelivery()
{
    // A released sample is never copied: the generation moves on first, so
    // the sample counts as gone before the reader's thread is let go and
    // may hand its buffer back.
    DeliveryGeneration.fetch_add(1, std::memory_order_acq_rel);
    Released.store(true, std::memory_order_release);
    SampleSz.store(0, std::memory_order_release);
    SampleOff = 0;
    if (hSampleReady[1])
        SetEvent(hSampleReady[1]);
}

int CWMediaEngine::Start()
{
    // Whatever an earlier run left is gone; samples published from now on
    // belong to this run.
    SampleSz.store(0, std::memory_order_release);
    SampleOff = 0;
    DeliveryGeneration.fetch_add(1, std::memory_order_acq_rel);
    ResetEvent(hSampleReady[1]);
    Released.store(false, std::memory_order_release);
    // A new run has not ended, whatever an earlier one reports later.
    uintptr_t Run = ++RunsStarted;
    CurrentRun.store(Run, std::memory_order_release);
    if (m_pReader->Start(SeekPos, 0, 1.0f, reinterpret_cast<void*>(Run)) != 0)
        return 0;
    if (m_pReaderAdv->DeliverTime(DeliverToEnd) != 0)
        return 0;
    NoSeekPlay = 1;
    return 1;
}

int CWMediaEngine::Stop()
{
    if (m_pReader->Stop() != 0)
        return 0;
    ReleaseDelivery();
    NoSeekPlay = 0;
    return 1;
}

// Without a run under way there is nothing to hold: the next Play starts
// one, as it would without the pause.
int CWMediaEngine::Pause()
{
    if (!NoSeekPlay)
        return 1;
    return m_pReader->Pause() == 0 ? 1 : 0;
}

int CWMediaEngine::Resume()
{
    ResetEvent(hSampleReady[1]);
    return m_pReader->Resume() == 0 ? 1 : 0;
}

void CWMediaEngine::Seek(uint32_t msPos)
{
    SeekPos = static_cast<uint64_t>(msPos) * HundredNsPerMs;
    NoSeekPlay = 0;
    ReleaseDelivery();
}

void CWMediaEngine::Close()
{
    ReleaseDelivery();
    if (!m_pReader)
        return;
    ResetEvent(m_hAsyncEvent);
    if (m_pReader->Close() < 0)
        return;
    if (!WaitEvent(m_hAsyncEvent, CloseWaitMs))
        db_printf("WMA: the reader did not report its close\n");
}

// ---- Hand-over ----

bool CWMediaEngine::SampleIsCurrent()
{
    if (Released.load(std::memory_order_acquire))
        return false;
    return SampleGen.load(std::memory_order_acquire) == DeliveryGeneration.load(std::memory_order_acquire);
}

uint32_t CWMediaEngine::PendingBytes()
{
    if (!SampleIsCurrent())
        return 0;
    uint32_t Size = SampleSz.load(std::memory_order_acquire);
    return Size > SampleOff ? Size - SampleOff : 0;
}

bool CWMediaEngine::RunEnded()
{
    uintptr_t Run = CurrentRun.load(std::memory_order_acquire);
    return Run != 0 && EndedRun.load(std::memory_order_acquire) == Run;
}

uint32_t CWMediaEngine::WMASamplesPending()
{
    if (RunEnded())
        return 1;
    if (uint32_t Left = PendingBytes())
        return Left;
    // While the reader runs, wait a moment for its next sample instead of
    // letting the audio thread spin.
    if (NoSeekPlay && !Released.load(std::memory_order_acquire) && hSamplePosted)
        WaitEvent(hSamplePosted, PendingWaitMs);
    if (RunEnded())
        return 1;
    return PendingBytes();
}

uint32_t CWMediaEngine::DecodeSection(uint8_t* Buffer, uint32_t BufferSz)
{
    if (!Buffer || !SampleIsCurrent())
        return 0;
    uint32_t Size = SampleSz.load(std::memory_order_acquire);
    if (Size == 0)
        return 0;
    const uint8_t* Source = SampleBuf.load(std::memory_order_acquire);
    // A sample larger than the buffer is handed over in whole 4-byte frames
    // piece by piece and stays pending until it has been copied whole.
    if (Size > BufferSz)
        db_printf("WMA: sample of %u bytes exceeds the buffer\n", Size);
    uint32_t Room = BufferSz - BufferSz % 4;
    uint32_t Left = Size - SampleOff;
    uint32_t Piece = Left < Room ? Left : Room;
    if (Piece == 0)
        return 0;
    memcpy(Buffer, Source + SampleOff, Piece);
    SampleOff += Piece;
    if (SampleOff >= Size) {
        SampleOff = 0;
        SampleSz.store(0, std::memory_order_release);
        SetEvent(hSampleReady[0]);
    }
    return Piece;
}

// ---- Reader callbacks (the reader's thread) ----

WMStatus CWMediaEngine::OnStatus(WMT_STATUS Status, WMStatus hr, WMT_ATTR_DATATYPE, uint8_t*, void* pvContext)
{
    switch (Status) {
    case WMT_OPENED:
    case WMT_CLOSED: {
        std::lock_guard<std::mutex> Guard(EventsLock);
        if (Status == WMT_OPENED)
            OpenStatus = hr;
        else
            db_printf("WMA::Close\n");
        if (m_hAsyncEvent)
            SetEvent(m_hAsyncEvent);
        break;
    }
    case WMT_ERROR:
    case WMT_EOF:
    case WMT_MISSING_CODEC:
        // The context names the run that ended.
        db_printf("WMA::EOF\n");
        EndedRun.store(reinterpret_cast<uintptr_t>(pvContext), std::memory_order_release);
        break;
    default:
        break;
    }
    return WM_S_OK;
}

WMStatus CWMediaEngine::OnSample(uint32_t dwOutputNum, uint64_t, uint64_t, uint32_t, INSSBuffer* pSample, void*)
{
    if (dwOutputNum != m_dwAudioOutputNum)
        return WM_S_OK;
    if (!pSample)
        return WM_E_POINTER;
    std::lock_guard<std::mutex> Guard(DeliveryLock);
    uint32_t Generation = DeliveryGeneration.load(std::memory_order_acquire);
    // Released (stopped, seeking, closing) or already torn down: nobody
    // will take the sample.
    if (Released.load(std::memory_order_acquire) || !hSampleReady[0])
        return WM_S_OK;
    uint8_t* Buffer = nullptr;
    uint32_t Length = 0;
    WMStatus Status = pSample->GetBufferAndLength(&Buffer, &Length);
    if (Status < 0)
        return Status;
    if (!Buffer || Length == 0)
        return WM_S_OK;
    // A consumed signal left from a hand-over that ended otherwise must not
    // end this one.
    ResetEvent(hSampleReady[0]);
    SampleBuf.store(Buffer, std::memory_order_relaxed);
    SampleGen.store(Generation, std::memory_order_release);
    SampleSz.store(Length, std::memory_order_release);
    SetEvent(hSamplePosted);
    if (!WaitForHandOver(Generation))
        SampleSz.store(0, std::memory_order_release); // withdrawn: the buffer goes back to the reader
    return WM_S_OK;
}

bool CWMediaEngine::WaitForHandOver(uint32_t Generation)
{
    for (;;) {
        int Which = WaitForEitherEvent(hSampleReady[0], hSampleReady[1], HandOverRecheckMs);
        if (Which == 0)
            return true;
        if (Which == 1)
            return false;
        // A stop, seek, start or close came and went without the release
        // being seen: the engine has moved on.
        if (DeliveryGeneration.load(std::memory_order_acquire) != Generation)
            return false;
    }
}
