// A 10-minute 44.1 kHz stereo AAC file, in ADTS and in M4A, played through
// the player to a discarding output as fast as decoding goes, against
// `ffmpeg -i FILE -f null -` and the faad tool decoding to /dev/null, in CPU
// time, in the same run.
#include "bench_common.h"

#include "core/player.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include <string>

namespace {

double CpuSeconds(int Who)
{
    rusage Usage{};
    getrusage(Who, &Usage);
    return Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec + (Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) * 1e-6;
}

// CPU time of this process's threads while the player plays Path; negative
// when it did not play.
double PlayerCpu(const std::string& Path, unsigned long long* Bytes)
{
    double Before = CpuSeconds(RUSAGE_SELF);
    if (zebbench::TimePlayback(Path, Bytes) < 0)
        return -1.0;
    return CpuSeconds(RUSAGE_SELF) - Before;
}

// CPU time of a shell command and its children; negative when it failed.
double CommandCpu(const std::string& Command)
{
    double Before = CpuSeconds(RUSAGE_CHILDREN);
    if (std::system(Command.c_str()) != 0)
        return -1.0;
    return CpuSeconds(RUSAGE_CHILDREN) - Before;
}

// The library finds its MP4 module in zeb-audio/ beside itself; this
// program is one folder below the build's, where that folder is.
void UseBuiltMP4Module()
{
    static std::string Module;
    static const char* Names[2] = {nullptr, nullptr};
    char Exe[4096] = {};
    if (readlink("/proc/self/exe", Exe, sizeof Exe - 1) <= 0)
        return;
    std::string Dir(Exe);
    Dir = Dir.substr(0, Dir.rfind('/'));
    Module = Dir.substr(0, Dir.rfind('/')) + "/zeb-audio/libzeb-mp4.so";
    Names[0] = Module.c_str();
    SetSupportLibraryNames("mp4", Names);
    ReloadSupportLibrariesForTesting();
}

struct Best {
    double Ours = 1e9, Ffmpeg = 1e9, Faad = 1e9;
};

bool Measure(const std::string& Path, int Rounds, Best* B)
{
    for (int Round = 0; Round < Rounds; ++Round) {
        unsigned long long Bytes = 0;
        double Ours = PlayerCpu(Path, &Bytes);
        double Ffmpeg = CommandCpu("ffmpeg -v error -nostdin -i " + Path + " -f null -");
        double Faad = CommandCpu("faad -q -w " + Path + " > /dev/null 2>&1");
        if (Ours < 0 || Ffmpeg < 0 || Faad < 0) {
            fprintf(stderr, "a run failed on %s\n", Path.c_str());
            return false;
        }
        printf("round %d %s: %llu bytes, zeb-audio %.3f s, ffmpeg %.3f s, faad %.3f s CPU\n", Round, Path.c_str(),
               Bytes, Ours, Ffmpeg, Faad);
        B->Ours = std::min(B->Ours, Ours);
        B->Ffmpeg = std::min(B->Ffmpeg, Ffmpeg);
        B->Faad = std::min(B->Faad, Faad);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::string Adts = argc > 1 ? argv[1] : "/tmp/zeb_bench_10min.aac";
    std::string M4a = Adts.substr(0, Adts.rfind('.')) + ".m4a";
    std::string Make = "test -s " + Adts + " || ffmpeg -v error -nostdin -y -f lavfi -i "
                       "'anoisesrc=color=pink:sample_rate=44100:duration=600:amplitude=0.3' -f lavfi -i "
                       "'sine=frequency=550:sample_rate=44100:duration=600' -filter_complex amerge=inputs=2 -ac 2 "
                       "-c:a aac -b:a 128k -f adts " + Adts + " && { test -s " + M4a +
                       " || ffmpeg -v error -nostdin -y -i " + Adts + " -c copy " + M4a + "; }";
    if (std::system(Make.c_str()) != 0) {
        fprintf(stderr, "cannot make %s (ffmpeg missing?)\n", Adts.c_str());
        return 1;
    }
    UseBuiltMP4Module();
    for (const std::string& Path : {Adts, M4a}) {
        Best B;
        if (!Measure(Path, 3, &B))
            return 1;
        std::string What = "10-minute AAC " + Path.substr(Path.rfind('.') + 1) + " through the player, CPU, best of 3";
        zebbench::Report(What.c_str(), B.Ours, "ffmpeg -f null", B.Ffmpeg);
        zebbench::Report(What.c_str(), B.Ours, "faad to /dev/null", B.Faad);
    }
    return 0;
}
