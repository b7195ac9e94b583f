// A 10-minute 128 kbit/s MP3 played through the whole pipeline (read-ahead,
// decode, filter chain, progress) to a discarding output module, timed
// against `mpg123 -t` (decode without output) on the same file.
#include "bench_common.h"

#include <string>

namespace {

int CountCreate(void** Inst, void* Params)
{
    *Inst = Params;
    return 1;
}
void CountWrite(void* Inst, void*, uint32_t, uint16_t, uint16_t, uint32_t) { ++*static_cast<long*>(Inst); }
void CountingFilter(OutputFilterModule* M)
{
    M->FilterCreate = CountCreate;
    M->FilterWrite = CountWrite;
}

} // namespace

int main(int argc, char** argv)
{
    std::string Path = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min_128k.mp3";
    std::string Make = "test -s " + Path + " || (sox -n -r 44100 -c 2 -b 16 -t wav - synth 600 pinknoise vol 0.3 "
                       "2>/dev/null | lame --quiet -b 128 - " + Path + ")";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (sox or lame missing?)\n", Path.c_str());
        return 1;
    }
    long Sections = 0;
    return zebbench::CompareBestOf(
        3, "10-minute 128 kbit/s MP3, best of 3",
        [&](unsigned long long* Bytes) { return zebbench::TimePlayback(Path, Bytes, CountingFilter, &Sections, 250); },
        "mpg123 -t", "mpg123 -q -t " + Path);
}
