// A 10-minute 44.1 kHz stereo 16-bit AIFF file decoded to its end through the
// general sound-file engine into the core's output buffer size, timed against
// `ffmpeg -i FILE -f null -`.
#include "bench_common.h"
#include "sndfile.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr uint32_t OutBufSz = 524288;

// Wall time of prepare, every section and unprepare; negative on failure.
double TimeEngineDecode(const std::string& Path, unsigned long long* Bytes)
{
    std::vector<uint8_t> Out(OutBufSz);
    auto Start = std::chrono::steady_clock::now();
    MPEGFileInfoType* Info = PrepareLibSndFile(Path.c_str());
    if (!Info)
        return -1.0;
    while (uint32_t N = DecodeLibSndSection(Info, Out.data(), OutBufSz))
        *Bytes += N;
    UnPrepareLibSndFile(Info);
    return zebbench::Seconds(Start);
}

} // namespace

int main(int argc, char** argv)
{
    std::string Path = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min.aiff";
    std::string Make = "test -s " + Path + " || sox -D -n -r 44100 -c 2 -b 16 " + Path +
                       " synth 600 sine 440 sine 550 vol 0.5 2>/dev/null";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (sox missing?)\n", Path.c_str());
        return 1;
    }
    if (!GetSndFileSupport()) {
        fprintf(stderr, "libsndfile.so.1 is not available\n");
        return 1;
    }
    return zebbench::CompareBestOf(
        3, "10-minute AIFF through the sound-file engine, best of 3",
        [&](unsigned long long* Bytes) { return TimeEngineDecode(Path, Bytes); }, "ffmpeg -f null",
        "ffmpeg -v error -nostdin -i " + Path + " -f null -");
}
