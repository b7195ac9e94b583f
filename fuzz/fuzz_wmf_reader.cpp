// Fuzzes the Windows Media module's reader from memory: the input is opened
// as ASF, its outputs are listed, it is decoded from the start for a bounded
// number of steps, then started again a little way in (which reopens the
// demuxer and decodes up to that point) and decoded again. Every delivered
// byte is read, so that a short buffer shows.
#include "wmf/reader_source.h"

#include <cstdint>

namespace {

// Each step reads at most one packet: the bound keeps a long input cheap.
constexpr int StepsPerRun = 24;
constexpr uint64_t RestartAt = 500000; // 50 ms in 100 ns units: past the first frame

void Touch(const ReaderSample& S)
{
    volatile uint8_t Sum = 0;
    for (uint8_t B : S.Bytes)
        Sum = Sum + B;
}

// Samples delivered by a bounded run from Start.
int RunFor(ReaderSource* Source, uint64_t Start)
{
    int Samples = 0;
    if (ReaderSourceMissingCodec(Source) || !ReaderSourceStart(Source, Start))
        return Samples;
    for (int Step = 0; Step < StepsPerRun; ++Step) {
        ReaderSample Sample;
        SourceStep Got = ReaderSourceNext(Source, &Sample);
        if (Got == SourceStep::Sample) {
            Touch(Sample);
            ++Samples;
        } else if (Got != SourceStep::Working) {
            break;
        }
    }
    return Samples;
}

} // namespace

// FFmpeg's decoders build their tables anew at every open; with the default
// quarantine every such allocation lands on fresh pages. A smaller one keeps
// freed memory warm and still catches a use shortly after a free. FFmpeg is
// built without frame pointers: the fast unwinder would record a garbage
// stack, new to the stack depot, at each of its allocations; one frame (the
// caller) is exact and bounded.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=1"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    WMStatus Status = WM_S_OK;
    ReaderSource* Source = OpenReaderSourceFromMemory(Data, Size, &Status);
    if (!Source)
        return 0;
    for (const ReaderOutput& Output : ReaderSourceOutputs(Source))
        if (Output.Audio && (Output.Wave.nChannels == 0 || Output.Wave.nSamplesPerSec == 0))
            __builtin_trap(); // an audio output must be playable as described
    ReaderSourceDuration(Source);
    // A restart reopens the demuxer and the decoders: worth it only for an
    // input that decodes at all.
    if (RunFor(Source, 0) > 0)
        RunFor(Source, RestartAt);
    CloseReaderSource(Source);
    return 0;
}
