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
    double Best = 1e9, PeerBest = 1e9;
    for (int Round = 0; Round < 3; ++Round) {
        unsigned long long Bytes = 0;
        double Ours = zebbench::TimePlayback(Path, &Bytes);
        double Peer = zebbench::TimeCommand("ffmpeg -v error -nostdin -i " + Path + " -f null -");
        if (Ours < 0 || Peer < 0) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
        Best = Ours < Best ? Ours : Best;
        PeerBest = Peer < PeerBest ? Peer : PeerBest;
        printf("round %d: %llu bytes in %.3f s; ffmpeg %.3f s\n", Round, Bytes, Ours, Peer);
    }
    zebbench::Report("10-minute WAVE, best of 3", Best, "ffmpeg -f null", PeerBest);
    return 0;
}
