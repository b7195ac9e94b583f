// A 10-minute 44.1 kHz stereo WAVE file played through the whole pipeline to
// a discarding output module, timed against `ffmpeg -i FILE -f null -`.
#include "bench_common.h"

#include <string>

int main(int argc, char** argv)
{
    std::string Path = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min.wav";
    std::string Make = "test -s " + Path + " || sox -n -r 44100 -c 2 -b 16 " + Path +
                       " synth 600 sine 440 sine 550 vol 0.5 2>/dev/null";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (sox missing?)\n", Path.c_str());
        return 1;
    }
    return zebbench::CompareBestOf(
        3, "10-minute WAVE, best of 3", [&](unsigned long long* Bytes) { return zebbench::TimePlayback(Path, Bytes); },
        "ffmpeg -f null", "ffmpeg -v error -nostdin -i " + Path + " -f null -");
}
