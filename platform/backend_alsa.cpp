// ALSA backend for machines without a sound server. The library is loaded at
// run time; a thread of its own per device renders one period at a time and
// writes it with blocking writes.
#include "backend.h"
#include "dsdevice.h"
#include "zeb_platform.h"

#include <alsa/asoundlib.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const AlsaNames[] = {"libasound.so.2", nullptr};
const char DefaultPcm[] = "default";
constexpr unsigned TargetLatencyUs = 40000;
constexpr int AllowSoftResample = 1;

#define ALSA_FUNCTIONS(X)                                                                                              \
    X(snd_card_next)                                                                                                   \
    X(snd_device_name_hint)                                                                                            \
    X(snd_device_name_get_hint)                                                                                        \
    X(snd_device_name_free_hint)                                                                                       \
    X(snd_pcm_open)                                                                                                    \
    X(snd_pcm_close)                                                                                                   \
    X(snd_pcm_set_params)                                                                                              \
    X(snd_pcm_get_params)                                                                                              \
    X(snd_pcm_writei)                                                                                                  \
    X(snd_pcm_delay)                                                                                                   \
    X(snd_pcm_recover)                                                                                                 \
    X(snd_pcm_drop)                                                                                                    \
    X(snd_lib_error_set_handler)

struct AlsaApi {
#define ALSA_FIELD(Name) decltype(&::Name) Name;
    ALSA_FUNCTIONS(ALSA_FIELD)
#undef ALSA_FIELD
    snd_lib_error_handler_t* ErrorHandler; // the library's current handler
};

std::mutex ApiLock; // guards the one-time load below
AlsaApi Api;
bool ApiTried = false;
bool ApiLoaded = false;

const AlsaApi* LoadApi()
{
    std::lock_guard<std::mutex> Guard(ApiLock);
    if (ApiTried)
        return ApiLoaded ? &Api : nullptr;
    ApiTried = true;
    void* Library = LoadSupportLibrary("alsa", AlsaNames);
    if (!Library)
        return nullptr;
    bool Complete = true;
#define ALSA_LOAD(Name)                                                                                                \
    Api.Name = reinterpret_cast<decltype(&::Name)>(GetSupportSymbol(Library, #Name));                                 \
    Complete = Complete && Api.Name;
    ALSA_FUNCTIONS(ALSA_LOAD)
#undef ALSA_LOAD
    Api.ErrorHandler = static_cast<snd_lib_error_handler_t*>(GetSupportSymbol(Library, "snd_lib_error"));
    if (!Complete || !Api.ErrorHandler) {
        FreeSupportLibrary(Library);
        return nullptr;
    }
    ApiLoaded = true;
    return &Api;
}

// alsa-lib's own handler prints to standard error; its messages go to the
// debug trace instead.
__attribute__((format(printf, 5, 6))) void TraceAlsaError(const char* File, int Line, const char* Function, int Error,
                                                           const char* Format, ...)
{
    char Text[256];
    va_list Args;
    va_start(Args, Format);
    vsnprintf(Text, sizeof Text, Format, Args);
    va_end(Args);
    db_printf("alsa: %s:%d %s: %s (%d)\n", File, Line, Function, Text, Error);
}

bool SameLibrary(const void* First, const void* Second)
{
    Dl_info FirstInfo{}, SecondInfo{};
    return dladdr(First, &FirstInfo) && dladdr(Second, &SecondInfo) && FirstInfo.dli_fbase == SecondInfo.dli_fbase;
}

// Replaces alsa-lib's printing handler before each use; a handler the host
// installed is its own business and stays.
void QuietAlsaErrors(const AlsaApi* A)
{
    snd_lib_error_handler_t Current = *A->ErrorHandler;
    if (Current != TraceAlsaError &&
        SameLibrary(reinterpret_cast<const void*>(Current), reinterpret_cast<const void*>(A->snd_pcm_open)))
        A->snd_lib_error_set_handler(TraceAlsaError);
}

// The handler is code of this library: alsa-lib gets its own back when this
// library is unloaded while alsa-lib stays.
struct AlsaHandlerRestore {
    ~AlsaHandlerRestore()
    {
        if (ApiLoaded && *Api.ErrorHandler == TraceAlsaError)
            Api.snd_lib_error_set_handler(nullptr);
    }
} HandlerRestore;

// A hint's text, or "" (the library hands out heap strings).
std::string HintText(const AlsaApi* A, void* Hint, const char* Id)
{
    char* Text = A->snd_device_name_get_hint(Hint, Id);
    std::string Result = Text ? Text : "";
    free(Text);
    return Result;
}

// Descriptions come as two lines ("card\nuse"); they are shown as one.
std::string OneLine(std::string Text)
{
    for (char& C : Text)
        if (C == '\n' || C == '\r')
            C = ' ';
    return Text;
}

bool IsListedOutput(const std::string& Name, const std::string& Direction)
{
    if (Name.empty() || Name == DefaultPcm || Name == "null")
        return false;
    return Direction.empty() || Direction == "Output";
}

int EnumerateAlsa(DSBackendAddFunc Add, void* Context)
{
    const AlsaApi* A = LoadApi();
    if (!A)
        return -1;
    QuietAlsaErrors(A);
    int Card = -1;
    if (A->snd_card_next(&Card) < 0 || Card < 0)
        return 0; // no sound card
    void** Hints = nullptr;
    if (A->snd_device_name_hint(-1, "pcm", &Hints) < 0 || !Hints)
        return 0;
    int Listed = 0;
    for (void** Hint = Hints; *Hint; ++Hint) {
        std::string Name = HintText(A, *Hint, "NAME");
        if (!IsListedOutput(Name, HintText(A, *Hint, "IOID")))
            continue;
        std::string Description = OneLine(HintText(A, *Hint, "DESC"));
        Add(Context, Name.c_str(), Description.empty() ? Name.c_str() : Description.c_str());
        ++Listed;
    }
    A->snd_device_name_free_hint(Hints);
    return Listed;
}

struct AlsaStream {
    const AlsaApi* A;
    snd_pcm_t* Pcm;
    DSDevice* Device;
    snd_pcm_uframes_t PeriodFrames;
    // Monotonic time, in microseconds, at which the last frame rendered
    // will have been played; the writer sets it after every render.
    std::atomic<uint64_t> HeardAtUs{0};
    std::atomic<int> Stop{0};
    std::thread Writer;
};

uint64_t MonotonicUs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The period just rendered plays after what the card still queues.
void NoteRenderedPeriod(AlsaStream* Self)
{
    snd_pcm_sframes_t Queued = 0;
    if (Self->A->snd_pcm_delay(Self->Pcm, &Queued) < 0 || Queued < 0)
        Queued = 0;
    uint64_t Frames = static_cast<uint64_t>(Queued) + Self->PeriodFrames;
    Self->HeardAtUs = MonotonicUs() + Frames * 1000000u / DSMixRate;
}

void WriterLoop(AlsaStream* Self)
{
    std::vector<int16_t> Period(Self->PeriodFrames * DSMixChannels);
    while (!Self->Stop) {
        DSDeviceRender(Self->Device, Period.data(), static_cast<uint32_t>(Self->PeriodFrames));
        NoteRenderedPeriod(Self);
        snd_pcm_uframes_t Done = 0;
        while (Done < Self->PeriodFrames && !Self->Stop) {
            snd_pcm_sframes_t Written =
                Self->A->snd_pcm_writei(Self->Pcm, Period.data() + Done * DSMixChannels, Self->PeriodFrames - Done);
            if (Written < 0 && Self->A->snd_pcm_recover(Self->Pcm, static_cast<int>(Written), 1) < 0) {
                DSDeviceSetLost(Self->Device);
                return;
            }
            if (Written > 0)
                Done += static_cast<snd_pcm_uframes_t>(Written);
        }
    }
}

void* OpenAlsa(DSDevice* Device, const char* Name)
{
    const AlsaApi* A = LoadApi();
    if (!A)
        return nullptr;
    QuietAlsaErrors(A);
    snd_pcm_t* Pcm = nullptr;
    if (A->snd_pcm_open(&Pcm, Name ? Name : DefaultPcm, SND_PCM_STREAM_PLAYBACK, 0) < 0)
        return nullptr;
    snd_pcm_uframes_t BufferFrames = 0, PeriodFrames = 0;
    if (A->snd_pcm_set_params(Pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, DSMixChannels, DSMixRate,
                              AllowSoftResample, TargetLatencyUs) < 0 ||
        A->snd_pcm_get_params(Pcm, &BufferFrames, &PeriodFrames) < 0 || PeriodFrames == 0) {
        A->snd_pcm_close(Pcm);
        return nullptr;
    }
    AlsaStream* Self = new AlsaStream;
    Self->A = A;
    Self->Pcm = Pcm;
    Self->Device = Device;
    Self->PeriodFrames = PeriodFrames;
    Self->Writer = std::thread(WriterLoop, Self);
    return Self;
}

void CloseAlsa(void* Handle)
{
    AlsaStream* Self = static_cast<AlsaStream*>(Handle);
    Self->Stop = 1;
    Self->Writer.join();
    Self->A->snd_pcm_drop(Self->Pcm);
    Self->A->snd_pcm_close(Self->Pcm);
    delete Self;
}

// Read from what the writer noted, so the card's handle stays the writer's.
uint32_t AlsaLatencyUs(void* Handle)
{
    uint64_t HeardAt = static_cast<AlsaStream*>(Handle)->HeardAtUs;
    uint64_t Now = MonotonicUs();
    uint64_t Left = HeardAt > Now ? HeardAt - Now : 0;
    return Left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Left);
}

} // namespace

const DSBackendOps AlsaBackend = {"alsa", EnumerateAlsa, OpenAlsa, CloseAlsa, AlsaLatencyUs};
