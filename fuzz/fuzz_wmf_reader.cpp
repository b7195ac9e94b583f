// Fuzzes the Windows Media module's reader from memory: the input is opened
// as ASF, its outputs are listed, it is decoded from the start for a bounded
// number of steps, then started again a second in (which reopens the
// demuxer and decodes up to that point) and decoded again. Every delivered
// byte is read, so that a short buffer shows.
#include "wmf/reader_source.h"

#include <cstdint>

namespace {

// Each step reads at most one packet: the bound keeps a long input cheap.
constexpr int StepsPerRun = 256;
constexpr uint64_t RestartAt = 10000000; // 1 s in 100 ns units

void Touch(const ReaderSample& S)
{
    volatile uint8_t Sum = 0;
    for (uint8_t B : S.Bytes)
        Sum = Sum + B;
}

void RunFor(ReaderSource* Source, uint64_t Start)
{
    if (ReaderSourceMissingCodec(Source) || !ReaderSourceStart(Source, Start))
        return;
    for (int Step = 0; Step < StepsPerRun; ++Step) {
        ReaderSample Sample;
        SourceStep Got = ReaderSourceNext(Source, &Sample);
        if (Got == SourceStep::Sample)
            Touch(Sample);
        else if (Got != SourceStep::Working)
            return;
    }
}

} // namespace

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
    RunFor(Source, 0);
    RunFor(Source, RestartAt);
    CloseReaderSource(Source);
    return 0;
}
