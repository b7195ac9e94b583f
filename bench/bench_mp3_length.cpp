// Exact track length of a long variable-bit-rate MP3 without Xing header:
// the engine's frame scan against ffprobe counting the packets.
#include "bench_common.h"
#include "engines/mp3_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t Rate = 44100;
constexpr uint32_t Seconds = 600;
constexpr int OurRuns = 7;
constexpr int PeerRuns = 3;

std::string ExeDir()
{
    char Buf[4096];
    ssize_t N = readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    if (N <= 0)
        return ".";
    std::string P(Buf, static_cast<size_t>(N));
    return P.substr(0, P.rfind('/'));
}

// Stereo PCM whose character changes every half second, so that the
// encoder's frame sizes vary.
void WritePcm(FILE* Out)
{
    std::vector<int16_t> Block(Rate); // half a second, two channels
    uint32_t Noise = 1;
    for (uint32_t Half = 0; Half < Seconds * 2; ++Half) {
        for (uint32_t i = 0; i < Rate / 2; ++i) {
            double t = (Half * (Rate / 2) + i) / static_cast<double>(Rate);
            double L = 0, R = 0;
            switch (Half % 4) {
            case 1:
                L = R = 6000 * std::sin(2 * M_PI * 330 * t);
                break;
            case 2:
                Noise = Noise * 1664525u + 1013904223u;
                L = static_cast<int32_t>(Noise >> 17) - 16384;
                R = -L;
                break;
            case 3:
                L = 4000 * (std::sin(2 * M_PI * 523 * t) + std::sin(2 * M_PI * 7040 * t));
                R = 4000 * std::sin(2 * M_PI * 3135 * t);
                break;
            }
            Block[2 * i] = static_cast<int16_t>(L);
            Block[2 * i + 1] = static_cast<int16_t>(R);
        }
        fwrite(Block.data(), sizeof(int16_t), Block.size(), Out);
    }
}

std::string MakeFixture()
{
    std::string Dir = ExeDir() + "/fixtures";
    std::string Path = Dir + "/bench_vbr_10min.mp3";
    if (access(Path.c_str(), R_OK) == 0)
        return Path;
    std::string Tmp = Path + ".tmp";
    std::string Cmd = "mkdir -p '" + Dir + "' && lame --quiet -r -s 44.1 --bitwidth 16 --signed "
                      "--little-endian -m j -t -V2 - '" + Tmp + "' 2>/dev/null";
    std::printf("encoding %u s of PCM with lame -t -V2 ...\n", Seconds);
    FILE* Lame = popen(Cmd.c_str(), "w");
    if (!Lame)
        return "";
    WritePcm(Lame);
    if (pclose(Lame) != 0 || std::rename(Tmp.c_str(), Path.c_str()) != 0)
        return "";
    return Path;
}

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double TimeOurs(const std::string& Path, uint32_t* Frames, uint32_t* Length)
{
    std::vector<double> Runs;
    for (int r = 0; r < OurRuns; ++r) {
        double T0 = Now();
        MPEGFileInfoType* Info = PrepareMPEGFile(Path.c_str());
        if (!Info)
            return -1;
        int Changed = UpdateMPEGForVBRTrackLength(Info);
        *Frames = Info->FrameCount;
        *Length = Info->TrackLength;
        UnPrepareMPEGFile(Info);
        Runs.push_back(Now() - T0);
        if (!Changed)
            return -1;
    }
    std::sort(Runs.begin(), Runs.end());
    return Runs[Runs.size() / 2];
}

double TimePeer(const std::string& Path, std::string* Packets)
{
    std::string Cmd =
        "ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + Path + "'";
    std::vector<double> Runs;
    for (int r = 0; r < PeerRuns; ++r) {
        double T0 = Now();
        FILE* P = popen(Cmd.c_str(), "r");
        if (!P)
            return -1;
        char Buf[64] = {0};
        size_t N = fread(Buf, 1, sizeof Buf - 1, P);
        if (pclose(P) != 0)
            return -1;
        Runs.push_back(Now() - T0);
        *Packets = std::string(Buf, N);
        while (!Packets->empty() && (Packets->back() == '\n' || Packets->back() == '\r'))
            Packets->pop_back();
    }
    std::sort(Runs.begin(), Runs.end());
    return Runs[Runs.size() / 2];
}

} // namespace

int main()
{
    std::string Path = MakeFixture();
    if (Path.empty()) {
        std::fprintf(stderr, "could not make the fixture (lame missing?)\n");
        return 1;
    }
    uint32_t Frames = 0, Length = 0;
    double Ours = TimeOurs(Path, &Frames, &Length);
    if (Ours < 0) {
        std::fprintf(stderr, "the frame scan failed on %s\n", Path.c_str());
        return 1;
    }
    std::string Packets;
    double Peer = TimePeer(Path, &Packets);
    std::printf("file: %s\n", Path.c_str());
    std::printf("UpdateMPEGForVBRTrackLength: %.2f ms (median of %d), %u frames, %u s\n", Ours * 1e3,
                OurRuns, Frames, Length);
    if (Peer < 0) {
        std::printf("ffprobe -count_packets: not available\n");
        return 0;
    }
    std::printf("ffprobe -count_packets:      %.2f ms (median of %d), %s packets\n", Peer * 1e3,
                PeerRuns, Packets.c_str());
    zebbench::Report("exact length of a 10-minute VBR MP3 without Xing", Ours, "ffprobe -count_packets",
                     Peer);
    return 0;
}
