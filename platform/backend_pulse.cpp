// PulseAudio backend (answered by PulseAudio and PipeWire servers). The
// client library is loaded at run time, so the library loads without it.
// One playback stream per device, fed from its write callback on the
// threaded main loop.
#include "backend.h"
#include "dsdevice.h"
#include "zeb_platform.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Name and description of a stream and client as the server shows them.
const char ClientName[] = "zeb-audio";
constexpr int ConnectTimeoutMs = 3000;
constexpr int PollStepMs = 2;
// Target latency and refill step: small, yet safe against scheduling jitter.
constexpr uint32_t TargetLatencyMs = 40;
constexpr uint32_t RefillMs = 10;
constexpr uint32_t FrameBytes = DSMixChannels * 2;

const char* const PulseNames[] = {"libpulse.so.0", nullptr};

#define PULSE_FUNCTIONS(X)                                                                                             \
    X(pa_threaded_mainloop_new)                                                                                        \
    X(pa_threaded_mainloop_free)                                                                                       \
    X(pa_threaded_mainloop_start)                                                                                      \
    X(pa_threaded_mainloop_stop)                                                                                       \
    X(pa_threaded_mainloop_lock)                                                                                       \
    X(pa_threaded_mainloop_unlock)                                                                                     \
    X(pa_threaded_mainloop_signal)                                                                                     \
    X(pa_threaded_mainloop_get_api)                                                                                    \
    X(pa_context_new)                                                                                                  \
    X(pa_context_unref)                                                                                                \
    X(pa_context_connect)                                                                                              \
    X(pa_context_disconnect)                                                                                           \
    X(pa_context_get_state)                                                                                            \
    X(pa_context_set_state_callback)                                                                                   \
    X(pa_context_get_sink_info_list)                                                                                   \
    X(pa_operation_get_state)                                                                                          \
    X(pa_operation_cancel)                                                                                             \
    X(pa_operation_unref)                                                                                              \
    X(pa_stream_new)                                                                                                   \
    X(pa_stream_unref)                                                                                                 \
    X(pa_stream_connect_playback)                                                                                      \
    X(pa_stream_disconnect)                                                                                            \
    X(pa_stream_get_state)                                                                                             \
    X(pa_stream_set_state_callback)                                                                                    \
    X(pa_stream_set_write_callback)                                                                                    \
    X(pa_stream_set_underflow_callback)                                                                                \
    X(pa_stream_begin_write)                                                                                           \
    X(pa_stream_write)                                                                                                 \
    X(pa_stream_get_latency)

struct PulseApi {
#define PULSE_FIELD(Name) decltype(&::Name) Name;
    PULSE_FUNCTIONS(PULSE_FIELD)
#undef PULSE_FIELD
};

std::mutex ApiLock; // guards the one-time load below
PulseApi Api;
bool ApiTried = false;
bool ApiLoaded = false;

// Loads the client library once for the life of the process.
const PulseApi* LoadApi()
{
    std::lock_guard<std::mutex> Guard(ApiLock);
    if (ApiTried)
        return ApiLoaded ? &Api : nullptr;
    ApiTried = true;
    void* Library = LoadSupportLibrary("pulse", PulseNames);
    if (!Library)
        return nullptr;
    bool Complete = true;
#define PULSE_LOAD(Name)                                                                                               \
    Api.Name = reinterpret_cast<decltype(&::Name)>(GetSupportSymbol(Library, #Name));                                 \
    Complete = Complete && Api.Name;
    PULSE_FUNCTIONS(PULSE_LOAD)
#undef PULSE_LOAD
    if (!Complete) {
        FreeSupportLibrary(Library);
        return nullptr;
    }
    ApiLoaded = true;
    return &Api;
}

// The client library is not built for race detectors, so they cannot see
// the main loop's lock. Guard is taken inside it by every caller and every
// callback, which makes the order the loop's lock gives visible to them.
// Recursive as the loop's lock is: the library runs some callbacks at once
// from inside a call made under the lock.
struct PulseConnection {
    const PulseApi* P = nullptr;
    pa_threaded_mainloop* Loop = nullptr;
    pa_context* Context = nullptr;
    std::recursive_mutex Guard;
};

void LockLoop(PulseConnection* Conn)
{
    Conn->P->pa_threaded_mainloop_lock(Conn->Loop);
    Conn->Guard.lock();
}

void UnlockLoop(PulseConnection* Conn)
{
    Conn->Guard.unlock();
    Conn->P->pa_threaded_mainloop_unlock(Conn->Loop);
}

// Held by a callback, which the loop thread runs with the loop locked.
typedef std::lock_guard<std::recursive_mutex> CallbackGuard;

// Waits with the loop locked until Done() holds or the time runs out,
// letting the loop thread run in between.
template <typename Predicate> bool WaitLocked(PulseConnection* Conn, Predicate Done)
{
    for (int Waited = 0; !Done(); Waited += PollStepMs) {
        if (Waited >= ConnectTimeoutMs)
            return false;
        UnlockLoop(Conn);
        Sleep(PollStepMs);
        LockLoop(Conn);
    }
    return true;
}

void Disconnect(PulseConnection* Conn)
{
    if (!Conn->Loop)
        return;
    Conn->P->pa_threaded_mainloop_stop(Conn->Loop);
    if (Conn->Context) {
        Conn->P->pa_context_disconnect(Conn->Context);
        Conn->P->pa_context_unref(Conn->Context);
    }
    Conn->P->pa_threaded_mainloop_free(Conn->Loop);
    Conn->Loop = nullptr;
    Conn->Context = nullptr;
}

// Connects to the server without ever starting one. On success the loop
// runs and is left locked.
bool Connect(PulseConnection* Conn)
{
    Conn->P = LoadApi();
    if (!Conn->P)
        return false;
    const PulseApi* P = Conn->P;
    Conn->Loop = P->pa_threaded_mainloop_new();
    if (!Conn->Loop)
        return false;
    Conn->Context = P->pa_context_new(P->pa_threaded_mainloop_get_api(Conn->Loop), ClientName);
    if (!Conn->Context || P->pa_context_connect(Conn->Context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        P->pa_threaded_mainloop_start(Conn->Loop) < 0) {
        Disconnect(Conn);
        return false;
    }
    LockLoop(Conn);
    pa_context_state_t State = PA_CONTEXT_UNCONNECTED;
    bool Settled = WaitLocked(Conn, [&] {
        State = P->pa_context_get_state(Conn->Context);
        return State == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(State);
    });
    if (!Settled || State != PA_CONTEXT_READY) {
        UnlockLoop(Conn);
        Disconnect(Conn);
        return false;
    }
    return true;
}

// ---- Enumeration ----

// The callback finds the guard beside the list, without reading memory the
// enumerating thread wrote after the loop thread started.
struct SinkList {
    PulseConnection Conn;
    std::vector<std::pair<std::string, std::string>> Sinks;
};

void CollectSink(pa_context*, const pa_sink_info* Info, int End, void* Context)
{
    auto* List = static_cast<SinkList*>(Context);
    CallbackGuard Guard(List->Conn.Guard);
    if (End || !Info)
        return;
    List->Sinks.emplace_back(Info->name ? Info->name : "", Info->description ? Info->description : "");
}

int EnumeratePulse(DSBackendAddFunc Add, void* Context)
{
    SinkList List;
    PulseConnection* Conn = &List.Conn;
    if (!Connect(Conn))
        return -1;
    const PulseApi* P = Conn->P;
    pa_operation* Op = P->pa_context_get_sink_info_list(Conn->Context, CollectSink, &List);
    bool Done = Op && WaitLocked(Conn, [&] { return P->pa_operation_get_state(Op) != PA_OPERATION_RUNNING; });
    if (Op) {
        if (!Done)
            P->pa_operation_cancel(Op);
        P->pa_operation_unref(Op);
    }
    UnlockLoop(Conn);
    Disconnect(Conn);
    if (!Done)
        return -1;
    for (const auto& Sink : List.Sinks)
        Add(Context, Sink.first.c_str(), Sink.second.c_str());
    return static_cast<int>(List.Sinks.size());
}

// ---- Playback stream ----

struct PulseStream {
    PulseConnection Conn;
    pa_stream* Stream = nullptr;
    DSDevice* Device = nullptr;
    std::atomic<int> Closing{0};
};

void WriteRequested(pa_stream* Stream, size_t Bytes, void* User)
{
    PulseStream* Self = static_cast<PulseStream*>(User);
    CallbackGuard Guard(Self->Conn.Guard);
    const PulseApi* P = Self->Conn.P;
    while (Bytes >= FrameBytes) {
        void* Data = nullptr;
        size_t Granted = Bytes;
        if (P->pa_stream_begin_write(Stream, &Data, &Granted) < 0 || !Data || Granted < FrameBytes)
            return;
        // The server may lend a larger block than asked for; writing more
        // than requested would only pile up latency.
        size_t Wanted = Granted < Bytes ? Granted : Bytes;
        uint32_t Frames = static_cast<uint32_t>(Wanted / FrameBytes);
        DSDeviceRender(Self->Device, static_cast<int16_t*>(Data), Frames);
        if (P->pa_stream_write(Stream, Data, Frames * FrameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return;
        Bytes -= Frames * FrameBytes;
    }
}

void Underflowed(pa_stream*, void* User)
{
    PulseStream* Self = static_cast<PulseStream*>(User);
    CallbackGuard Guard(Self->Conn.Guard);
    DSDeviceNoteUnderrun(Self->Device);
}

void StreamStateChanged(pa_stream* Stream, void* User)
{
    PulseStream* Self = static_cast<PulseStream*>(User);
    CallbackGuard Guard(Self->Conn.Guard);
    pa_stream_state_t State = Self->Conn.P->pa_stream_get_state(Stream);
    if (!PA_STREAM_IS_GOOD(State) && !Self->Closing)
        DSDeviceSetLost(Self->Device);
    Self->Conn.P->pa_threaded_mainloop_signal(Self->Conn.Loop, 0);
}

void ContextStateChanged(pa_context* Context, void* User)
{
    PulseStream* Self = static_cast<PulseStream*>(User);
    CallbackGuard Guard(Self->Conn.Guard);
    if (!PA_CONTEXT_IS_GOOD(Self->Conn.P->pa_context_get_state(Context)) && !Self->Closing)
        DSDeviceSetLost(Self->Device);
    Self->Conn.P->pa_threaded_mainloop_signal(Self->Conn.Loop, 0);
}

pa_buffer_attr LowLatencyAttr()
{
    pa_buffer_attr Attr;
    Attr.maxlength = static_cast<uint32_t>(-1);
    Attr.tlength = DSMixRate * TargetLatencyMs / 1000 * FrameBytes;
    Attr.prebuf = static_cast<uint32_t>(-1);
    Attr.minreq = DSMixRate * RefillMs / 1000 * FrameBytes;
    Attr.fragsize = static_cast<uint32_t>(-1);
    return Attr;
}

void ClosePulse(void* Handle);

// Stream on sink Name, or on the server's default sink (followed when the
// default changes) when Name is null. A named sink is never left: if it
// goes away the device is lost.
void* OpenPulse(DSDevice* Device, const char* Name)
{
    PulseStream* Self = new PulseStream;
    Self->Device = Device;
    if (!Connect(&Self->Conn)) {
        delete Self;
        return nullptr;
    }
    const PulseApi* P = Self->Conn.P;
    pa_sample_spec Spec{PA_SAMPLE_S16LE, DSMixRate, DSMixChannels};
    Self->Stream = P->pa_stream_new(Self->Conn.Context, ClientName, &Spec, nullptr);
    pa_stream_state_t State = PA_STREAM_UNCONNECTED;
    if (Self->Stream) {
        P->pa_context_set_state_callback(Self->Conn.Context, ContextStateChanged, Self);
        P->pa_stream_set_state_callback(Self->Stream, StreamStateChanged, Self);
        P->pa_stream_set_write_callback(Self->Stream, WriteRequested, Self);
        P->pa_stream_set_underflow_callback(Self->Stream, Underflowed, Self);
        pa_buffer_attr Attr = LowLatencyAttr();
        // Timing updates from the server, interpolated in between, give the
        // latency of what was written.
        int Flags = PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                    (Name ? PA_STREAM_DONT_MOVE : 0);
        if (P->pa_stream_connect_playback(Self->Stream, Name, &Attr, static_cast<pa_stream_flags_t>(Flags), nullptr,
                                          nullptr) == 0)
            WaitLocked(&Self->Conn, [&] {
                State = P->pa_stream_get_state(Self->Stream);
                return State == PA_STREAM_READY || !PA_STREAM_IS_GOOD(State);
            });
    }
    UnlockLoop(&Self->Conn);
    if (State != PA_STREAM_READY) {
        ClosePulse(Self);
        return nullptr;
    }
    return Self;
}

void ClosePulse(void* Handle)
{
    PulseStream* Self = static_cast<PulseStream*>(Handle);
    const PulseApi* P = Self->Conn.P;
    Self->Closing = 1;
    LockLoop(&Self->Conn);
    if (Self->Stream) {
        P->pa_stream_set_write_callback(Self->Stream, nullptr, nullptr);
        P->pa_stream_set_underflow_callback(Self->Stream, nullptr, nullptr);
        P->pa_stream_set_state_callback(Self->Stream, nullptr, nullptr);
        P->pa_stream_disconnect(Self->Stream);
    }
    P->pa_context_set_state_callback(Self->Conn.Context, nullptr, nullptr);
    UnlockLoop(&Self->Conn);
    P->pa_threaded_mainloop_stop(Self->Conn.Loop);
    if (Self->Stream)
        P->pa_stream_unref(Self->Stream);
    Disconnect(&Self->Conn);
    delete Self;
}

// The time from now until the last byte written is played by the sink.
// The loop is locked only for the client library's own arithmetic; 0 until
// the server's first timing report.
uint32_t PulseLatencyUs(void* Handle)
{
    PulseStream* Self = static_cast<PulseStream*>(Handle);
    pa_usec_t Latency = 0;
    int Negative = 0;
    LockLoop(&Self->Conn);
    int Result = Self->Conn.P->pa_stream_get_latency(Self->Stream, &Latency, &Negative);
    UnlockLoop(&Self->Conn);
    if (Result < 0 || Negative)
        return 0;
    return Latency > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Latency);
}

} // namespace

const DSBackendOps PulseBackend = {"pulse", EnumeratePulse, OpenPulse, ClosePulse, PulseLatencyUs};
