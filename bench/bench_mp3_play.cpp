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
    double Best = 1e9, PeerBest = 1e9;
    for (int Round = 0; Round < 3; ++Round) {
        unsigned long long Bytes = 0;
        long Sections = 0;
        double Ours = zebbench::TimePlayback(Path, &Bytes, CountingFilter, &Sections, 250);
        double Peer = zebbench::TimeCommand("mpg123 -q -t " + Path);
        if (Ours < 0 || Peer < 0) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
        Best = Ours < Best ? Ours : Best;
        PeerBest = Peer < PeerBest ? Peer : PeerBest;
        printf("round %d: %llu bytes in %.3f s; mpg123 -t %.3f s\n", Round, Bytes, Ours, Peer);
    }
    zebbench::Report("10-minute 128 kbit/s MP3, best of 3", Best, "mpg123 -t", PeerBest);
    return 0;
}
