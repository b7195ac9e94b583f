// A 10-minute 44.1 kHz stereo Ogg Vorbis file decoded by the engine alone,
// every section into the core's whole output buffer, timed against
// `ffmpeg -i FILE -f null -` on the same file.
#include "bench_common.h"

#include "vorbis_engine.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr uint32_t OutBufSz = 524288;

// Prepare and every decode call to the end; negative when it did not open.
double TimeEngineDecode(const std::string& Path, unsigned long long* Bytes)
{
    std::vector<uint8_t> Out(OutBufSz);
    auto Start = std::chrono::steady_clock::now();
    MPEGFileInfoType* Info = PrepareVorbisFile(Path.c_str());
    if (!Info)
        return -1.0;
    *Bytes = 0;
    while (uint32_t Got = DecodeVorbisSection(Info, Out.data(), OutBufSz))
        *Bytes += Got;
    UnPrepareVorbisFile(Info);
    return zebbench::Seconds(Start);
}

} // namespace

int main(int argc, char** argv)
{
    std::string Path = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min.ogg";
    std::string Wav = Path + ".wav";
    std::string Make = "test -s " + Path + " || { sox -n -r 44100 -c 2 -b 16 " + Wav +
                       " synth 600 pinknoise sine 550 vol 0.5 && oggenc -Q -o " + Path + " " + Wav + " && rm -f " +
                       Wav + "; } 2>/dev/null";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (sox or oggenc missing?)\n", Path.c_str());
        return 1;
    }
    if (!GetVorbisSupport()) {
        fprintf(stderr, "libvorbisfile not available\n");
        return 1;
    }
    std::string Peer = "ffmpeg -v error -nostdin -i " + Path + " -f null -";
    return zebbench::CompareBestOf(
        3, "10-minute Ogg Vorbis, engine decode, best of 3",
        [&](unsigned long long* Bytes) { return TimeEngineDecode(Path, Bytes); }, "ffmpeg -f null", Peer);
}
