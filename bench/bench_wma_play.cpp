// A 10-minute 44.1 kHz stereo WMA (wmav2) file played through the player
// and the runtime module's reader into a discarding output, against
// `ffmpeg -i FILE -f null -` on the same file. The figure is CPU time (all
// threads: the audio thread, the reader's delivery thread), since the
// hand-over between the two threads is what this engine adds to a decode.
#include "bench_common.h"

#include "wmaengine.h"

#include <sys/resource.h>

#include <cstdio>
#include <string>

namespace {

double CpuSeconds(int Who)
{
    struct rusage Usage {};
    getrusage(Who, &Usage);
    return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
           static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    std::string Path = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min.wma";
    std::string Wav = Path + ".wav";
    std::string Make = "test -s " + Path + " || { sox -n -r 44100 -c 2 -b 16 " + Wav +
                       " synth 600 pinknoise sine 550 vol 0.5 && ffmpeg -v error -nostdin -y -i " + Wav +
                       " -c:a wmav2 -b:a 128k " + Path + " && rm -f " + Wav + "; } 2>/dev/null";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (sox or ffmpeg missing?)\n", Path.c_str());
        return 1;
    }
    if (!CommonDllInit()) {
        fprintf(stderr, "libzeb-wmf.so not available\n");
        return 1;
    }
    std::string Peer = "ffmpeg -v error -nostdin -i " + Path + " -f null -";
    double Best = 1e9, PeerBest = 1e9;
    for (int Round = 0; Round < 3; ++Round) {
        unsigned long long Bytes = 0;
        double Cpu = CpuSeconds(RUSAGE_SELF);
        double Wall = zebbench::TimePlayback(Path, &Bytes);
        Cpu = CpuSeconds(RUSAGE_SELF) - Cpu;
        double PeerCpu = CpuSeconds(RUSAGE_CHILDREN);
        double PeerWall = zebbench::TimeCommand(Peer);
        PeerCpu = CpuSeconds(RUSAGE_CHILDREN) - PeerCpu;
        if (Wall < 0 || PeerWall < 0 || Bytes == 0) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
        printf("round %d: %llu bytes, CPU %.3f s (wall %.3f s); ffmpeg -f null CPU %.3f s (wall %.3f s)\n", Round,
               Bytes, Cpu, Wall, PeerCpu, PeerWall);
        Best = Cpu < Best ? Cpu : Best;
        PeerBest = PeerCpu < PeerBest ? PeerCpu : PeerBest;
    }
    zebbench::Report("10-minute WMA (wmav2), player CPU time, best of 3", Best, "ffmpeg -f null", PeerBest);
    return 0;
}
