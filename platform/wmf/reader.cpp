// The asynchronous reader: WMCreateReader's object. Open prepares the file
// at once and starts the reader's delivery thread, which reports every
// status and delivers every sample through the caller's callback. Transport
// calls (Start, Stop, Pause, Resume, Close) only record a request and wake
// the thread; they never wait for it, so a callback that blocks until the
// caller acts cannot deadlock them. Callbacks are never made with the lock
// held.
#include "asf_attributes.h"
#include "reader_objects.h"
#include "reader_source.h"
#include "wm_interfaces.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

// The transport request the thread has not taken yet; the newest wins.
enum class Request { None, Start, Stop };

// What the reader and its delivery thread share. The thread keeps its own
// reference, so it can finish a close after the reader object is gone.
struct ReaderCore {
    std::mutex Lock;
    std::condition_variable Wake;
    // Guarded by Lock.
    bool Opened = false;      // open, and Close not asked
    bool Running = false;     // the delivery thread has not finished
    bool Closing = false;     // the thread is to close the file and end
    bool Silent = false;      // closing for the last Release: no WMT_CLOSED
    bool InCallback = false;  // the thread is inside a callback
    bool Finishing = false;   // the thread reports the close and lets the callback go
    Request Pending = Request::None;
    uint64_t PendingStart = 0;
    void* PendingContext = nullptr; // the pending start's context
    bool Paused = false;
    bool UserClock = false;
    uint64_t Granted = 0;     // user clock: samples before this time may go
    uint64_t EndGrant = 0;    // a grant from here on covers the whole file
    std::vector<ReaderOutput> Outputs;
    IWMHeaderInfo3* HeaderInfo = nullptr; // one reference while open
    // Set by Open before the thread starts; then the thread's own.
    IWMReaderCallback* Callback = nullptr;
    void* Context = nullptr; // the open's context: open, stop and close reports
    ReaderSource* Source = nullptr;
};

// The thread's own state of the current run.
struct Run {
    bool Active = false;               // delivering until the end or a request
    std::optional<ReaderSample> Next;  // decoded, not yet delivered
    void* Context = nullptr;           // the start's: every report of the run carries it
};

enum class Action { Close, Start, Stop, Work };

// A grant within this much of the file's duration covers the whole file, so
// that a duration in the header a little short of the content cannot hold the
// last samples back for ever.
constexpr uint64_t EndGrantMargin = 10000000; // 1 s in 100 ns units

uint64_t EndGrantOf(uint64_t Duration) { return Duration > EndGrantMargin ? Duration - EndGrantMargin : 0; }

bool Granted(const ReaderCore& C, uint64_t Time)
{
    return !C.UserClock || C.Granted >= C.EndGrant || Time < C.Granted;
}

// Waits for the next thing to do: a close, a transport request, or the next
// step of an active, unpaused run whose next sample (if any) is granted.
Action NextAction(ReaderCore& C, const Run& R, uint64_t* StartAt, void** StartContext)
{
    std::unique_lock<std::mutex> L(C.Lock);
    for (;;) {
        if (C.Closing)
            return Action::Close;
        if (C.Pending == Request::Start) {
            C.Pending = Request::None;
            *StartAt = C.PendingStart;
            *StartContext = C.PendingContext;
            return Action::Start;
        }
        if (C.Pending == Request::Stop) {
            C.Pending = Request::None;
            return Action::Stop;
        }
        if (R.Active && !C.Paused && (!R.Next || Granted(C, R.Next->Time)))
            return Action::Work;
        C.Wake.wait(L);
    }
}

// Enters a callback unless a close has been asked (or, for a sample, any
// request, a pause or a grant stands in the way).
bool EnterCallback(ReaderCore& C, const ReaderSample* Sample)
{
    std::lock_guard<std::mutex> L(C.Lock);
    if (C.Closing)
        return false;
    if (Sample && (C.Pending != Request::None || C.Paused || !Granted(C, Sample->Time)))
        return false;
    C.InCallback = true;
    return true;
}

void LeaveCallback(ReaderCore& C)
{
    std::lock_guard<std::mutex> L(C.Lock);
    C.InCallback = false;
}

void Report(ReaderCore& C, WMT_STATUS Status, WMStatus Hr, void* Context)
{
    if (!EnterCallback(C, nullptr))
        return;
    C.Callback->OnStatus(Status, Hr, WMT_TYPE_DWORD, nullptr, Context);
    LeaveCallback(C);
}

void Deliver(ReaderCore& C, Run& R)
{
    if (!EnterCallback(C, &*R.Next))
        return; // stays pending; the next action decides
    ReaderSample& S = *R.Next;
    SampleBuffer* Buffer = nullptr;
    try {
        Buffer = new SampleBuffer(std::move(S.Bytes));
    } catch (...) {
        LeaveCallback(C);
        throw;
    }
    C.Callback->OnSample(S.Output, S.Time, S.Duration, 0, Buffer, R.Context);
    Buffer->Release();
    R.Next.reset();
    LeaveCallback(C);
}

void BeginRun(ReaderCore& C, Run& R, uint64_t StartAt, void* Context)
{
    R = Run{};
    R.Context = Context;
    Report(C, WMT_STARTED, WM_S_OK, Context);
    if (ReaderSourceMissingCodec(C.Source)) {
        Report(C, WMT_MISSING_CODEC, WM_E_INVALID_DATA, Context);
        return;
    }
    if (!ReaderSourceStart(C.Source, StartAt)) {
        Report(C, WMT_ERROR, WM_E_INVALID_DATA, Context);
        return;
    }
    R.Active = true;
}

// One step of a run: the next sample is delivered, or made.
void Advance(ReaderCore& C, Run& R)
{
    if (R.Next) {
        Deliver(C, R);
        return;
    }
    ReaderSample S;
    switch (ReaderSourceNext(C.Source, &S)) {
    case SourceStep::Sample:
        R.Next = std::move(S);
        break;
    case SourceStep::Working:
        break;
    case SourceStep::End:
        R.Active = false;
        Report(C, WMT_EOF, WM_S_OK, R.Context);
        break;
    case SourceStep::Failed:
        R.Active = false;
        Report(C, WMT_ERROR, WM_E_INVALID_DATA, R.Context);
        break;
    }
}

// Closes the file, reports the close unless the reader is gone, and lets
// the callback go.
void FinishClose(ReaderCore& C)
{
    CloseReaderSource(C.Source);
    C.Source = nullptr;
    bool Tell;
    IWMHeaderInfo3* Header;
    {
        std::lock_guard<std::mutex> L(C.Lock);
        Tell = !C.Silent;
        Header = C.HeaderInfo;
        C.HeaderInfo = nullptr;
        C.InCallback = true; // releasing the callback may run its code too
        C.Finishing = true;
    }
    if (Header)
        Header->Release();
    if (Tell)
        C.Callback->OnStatus(WMT_CLOSED, WM_S_OK, WMT_TYPE_DWORD, nullptr, C.Context);
    IWMReaderCallback* Callback = C.Callback;
    C.Callback = nullptr;
    Callback->Release();
    std::lock_guard<std::mutex> L(C.Lock);
    C.InCallback = false;
    C.Running = false;
}

void DeliveryThread(std::shared_ptr<ReaderCore> Core)
{
    ReaderCore& C = *Core;
    Run R;
    Report(C, WMT_OPENED, WM_S_OK, C.Context);
    for (;;) {
        uint64_t StartAt = 0;
        void* StartContext = nullptr;
        Action A = NextAction(C, R, &StartAt, &StartContext);
        try {
            if (A == Action::Close)
                break;
            if (A == Action::Stop) {
                R = Run{};
                Report(C, WMT_STOPPED, WM_S_OK, C.Context);
            } else if (A == Action::Start) {
                BeginRun(C, R, StartAt, StartContext);
            } else {
                Advance(C, R);
            }
        } catch (...) {
            void* Context = R.Context;
            R = Run{};
            Report(C, WMT_ERROR, WM_E_OUTOFMEMORY, Context);
        }
    }
    FinishClose(C);
}

class Reader final : public IWMReader, public IWMReaderAdvanced {
public:
    Reader() : Core(std::make_shared<ReaderCore>()) {}

    // IUnknown (shared by both interfaces)
    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override;
    uint32_t AddRef() override { return Refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint32_t Release() override
    {
        uint32_t Left = Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (Left == 0)
            delete this;
        return Left;
    }

    // IWMReader
    WMStatus Open(const WMChar* pwszURL, IWMReaderCallback* pCallback, void* pvContext) override;
    WMStatus Close() override;
    WMStatus GetOutputCount(uint32_t* pcOutputs) override;
    WMStatus GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput) override;
    WMStatus SetOutputProps(uint32_t, IWMOutputMediaProps*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormatCount(uint32_t, uint32_t*) override { return WM_E_NOTIMPL; }
    WMStatus GetOutputFormat(uint32_t, uint32_t, IWMOutputMediaProps**) override { return WM_E_NOTIMPL; }
    WMStatus Start(uint64_t cnsStart, uint64_t cnsDuration, float fRate, void* pvContext) override;
    WMStatus Stop() override;
    WMStatus Pause() override;
    WMStatus Resume() override;

    // IWMReaderAdvanced
    WMStatus SetUserProvidedClock(int32_t fUserClock) override;
    WMStatus GetUserProvidedClock(int32_t* pfUserClock) override;
    WMStatus DeliverTime(uint64_t cnsTime) override;

private:
    ~Reader();
    // Changes shared state under the lock when the reader is open, then
    // wakes the thread.
    template <class Change> WMStatus WhenOpen(Change Do);

    std::atomic<uint32_t> Refs{1};
    std::shared_ptr<ReaderCore> Core;
    std::thread Thread; // used only by the caller's threads
};

template <class Change> WMStatus Reader::WhenOpen(Change Do)
{
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        if (!Core->Opened)
            return WM_E_INVALID_REQUEST;
        Do(*Core);
    }
    Core->Wake.notify_all();
    return WM_S_OK;
}

// The last reference closes without a report. The thread is joined unless it
// is inside a sample or status callback, which may wait for the caller (or is
// this very thread): then it finishes by itself once the callback returns,
// holding its own share of the state. The close report and the release of
// the callback at the end are waited for.
Reader::~Reader()
{
    bool MayWait;
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        if (Core->Running) {
            Core->Closing = true;
            Core->Silent = true;
        }
        Core->Opened = false;
        MayWait = Core->InCallback && !Core->Finishing;
    }
    Core->Wake.notify_all();
    if (!Thread.joinable())
        return;
    if (MayWait || Thread.get_id() == std::this_thread::get_id())
        Thread.detach();
    else
        Thread.join();
}

WMStatus Reader::QueryInterface(const WMGuid& Iid, void** Object)
{
    if (!Object)
        return WM_E_POINTER;
    *Object = nullptr;
    if (Iid == IID_IUnknown || Iid == IID_IWMReader) {
        *Object = static_cast<IWMReader*>(this);
    } else if (Iid == IID_IWMReaderAdvanced) {
        *Object = static_cast<IWMReaderAdvanced*>(this);
    } else if (Iid == IID_IWMHeaderInfo || Iid == IID_IWMHeaderInfo2 || Iid == IID_IWMHeaderInfo3) {
        IWMHeaderInfo3* Header = nullptr;
        {
            std::lock_guard<std::mutex> L(Core->Lock);
            if (Core->Opened && Core->HeaderInfo) {
                Header = Core->HeaderInfo;
                Header->AddRef();
            }
        }
        if (!Header)
            return WM_E_NOINTERFACE;
        if (Iid == IID_IWMHeaderInfo)
            *Object = static_cast<IWMHeaderInfo*>(Header);
        else if (Iid == IID_IWMHeaderInfo2)
            *Object = static_cast<IWMHeaderInfo2*>(Header);
        else
            *Object = Header;
        return WM_S_OK;
    } else {
        return WM_E_NOINTERFACE;
    }
    AddRef();
    return WM_S_OK;
}

WMStatus Reader::Open(const WMChar* pwszURL, IWMReaderCallback* pCallback, void* pvContext)
{
    if (!pwszURL || !pCallback)
        return WM_E_POINTER;
    std::string Path;
    if (!NarrowWidenedPath(pwszURL, Path))
        return WM_E_INVALIDARG;
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        if (Core->Running)
            return WM_E_INVALID_REQUEST; // open, or its close not finished
    }
    if (Thread.joinable())
        Thread.join(); // the previous file's thread has finished
    WMStatus Status = WM_E_INVALID_DATA;
    ReaderSource* Source = OpenReaderSource(Path.c_str(), &Status);
    if (!Source)
        return Status;
    IWMHeaderInfo3* Header = OpenASFHeaderInfo(Path.c_str());
    pCallback->AddRef();
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        ReaderCore& C = *Core;
        C.Opened = C.Running = true;
        C.Closing = C.Silent = C.InCallback = C.Finishing = C.Paused = false;
        C.Pending = Request::None;
        C.Granted = 0;
        C.EndGrant = EndGrantOf(ReaderSourceDuration(Source));
        C.Outputs = ReaderSourceOutputs(Source);
        C.HeaderInfo = Header;
        C.Callback = pCallback;
        C.Context = pvContext;
        C.Source = Source;
    }
    try {
        Thread = std::thread(DeliveryThread, Core);
    } catch (...) {
        {
            std::lock_guard<std::mutex> L(Core->Lock);
            Core->Opened = Core->Running = false;
            Core->HeaderInfo = nullptr;
            Core->Callback = nullptr;
            Core->Source = nullptr;
        }
        if (Header)
            Header->Release();
        pCallback->Release();
        CloseReaderSource(Source);
        return WM_E_OUTOFMEMORY;
    }
    return WM_S_OK;
}

WMStatus Reader::Close()
{
    return WhenOpen([](ReaderCore& C) {
        C.Opened = false;
        C.Closing = true;
        C.Outputs.clear();
    });
}

WMStatus Reader::GetOutputCount(uint32_t* pcOutputs)
{
    if (!pcOutputs)
        return WM_E_POINTER;
    std::lock_guard<std::mutex> L(Core->Lock);
    if (!Core->Opened)
        return WM_E_INVALID_REQUEST;
    *pcOutputs = static_cast<uint32_t>(Core->Outputs.size());
    return WM_S_OK;
}

WMStatus Reader::GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput)
{
    if (!ppOutput)
        return WM_E_POINTER;
    *ppOutput = nullptr;
    ReaderOutput Output;
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        if (!Core->Opened)
            return WM_E_INVALID_REQUEST;
        if (dwOutputNum >= Core->Outputs.size())
            return WM_E_INVALIDARG;
        Output = Core->Outputs[dwOutputNum];
    }
    *ppOutput = new OutputProps(Output);
    return WM_S_OK;
}

WMStatus Reader::Start(uint64_t cnsStart, uint64_t cnsDuration, float fRate, void* pvContext)
{
    if (cnsDuration != 0 || fRate != 1.0f)
        return WM_E_INVALIDARG;
    return WhenOpen([cnsStart, pvContext](ReaderCore& C) {
        C.Pending = Request::Start;
        C.PendingStart = cnsStart;
        C.PendingContext = pvContext;
        C.Paused = false;
    });
}

WMStatus Reader::Stop()
{
    return WhenOpen([](ReaderCore& C) {
        C.Pending = Request::Stop;
        C.Paused = false;
    });
}

WMStatus Reader::Pause()
{
    return WhenOpen([](ReaderCore& C) { C.Paused = true; });
}

WMStatus Reader::Resume()
{
    return WhenOpen([](ReaderCore& C) { C.Paused = false; });
}

WMStatus Reader::SetUserProvidedClock(int32_t fUserClock)
{
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        Core->UserClock = fUserClock != 0;
    }
    Core->Wake.notify_all();
    return WM_S_OK;
}

WMStatus Reader::GetUserProvidedClock(int32_t* pfUserClock)
{
    if (!pfUserClock)
        return WM_E_POINTER;
    std::lock_guard<std::mutex> L(Core->Lock);
    *pfUserClock = Core->UserClock ? 1 : 0;
    return WM_S_OK;
}

WMStatus Reader::DeliverTime(uint64_t cnsTime)
{
    {
        std::lock_guard<std::mutex> L(Core->Lock);
        Core->Granted = cnsTime;
    }
    Core->Wake.notify_all();
    return WM_S_OK;
}

} // namespace

extern "C" __attribute__((visibility("default"))) WMStatus WMCreateReader(IUnknown*, uint32_t, IWMReader** ppReader)
{
    if (!ppReader)
        return WM_E_POINTER;
    try {
        *ppReader = new Reader;
    } catch (...) {
        *ppReader = nullptr;
        return WM_E_OUTOFMEMORY;
    }
    return WM_S_OK;
}
