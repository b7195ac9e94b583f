// Helpers shared by the benchmarks: timing, commands, a discarding output.
#pragma once

#include "zeb-audio.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zebbench {

inline double Seconds(std::chrono::steady_clock::time_point Start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

// Frames of a sine tone as interleaved 16-bit PCM, the same on every channel.
inline std::vector<uint8_t> Tone(uint32_t Frames, uint16_t Channels, uint32_t Rate, double Frequency,
                                 double Amplitude)
{
    std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * 2);
    for (uint32_t I = 0; I < Frames; ++I) {
        int16_t S = static_cast<int16_t>(std::lround(Amplitude * std::sin(2.0 * M_PI * Frequency * I / Rate)));
        for (uint16_t C = 0; C < Channels; ++C)
            memcpy(&Out[(static_cast<size_t>(I) * Channels + C) * 2], &S, 2);
    }
    return Out;
}

inline void PutLittle(std::vector<uint8_t>& Out, uint32_t Value, int Bytes)
{
    for (int I = 0; I < Bytes; ++I)
        Out.push_back(static_cast<uint8_t>(Value >> (8 * I)));
}

// A 16-bit PCM WAVE file; false when it could not be written.
inline bool WriteWav(const std::string& Path, uint32_t Rate, uint16_t Channels, const std::vector<uint8_t>& Pcm)
{
    std::vector<uint8_t> File = {'R', 'I', 'F', 'F'};
    PutLittle(File, static_cast<uint32_t>(36 + Pcm.size()), 4);
    File.insert(File.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    PutLittle(File, 16, 4);
    PutLittle(File, 1, 2);
    PutLittle(File, Channels, 2);
    PutLittle(File, Rate, 4);
    PutLittle(File, Rate * Channels * 2, 4);
    PutLittle(File, Channels * 2u, 2);
    PutLittle(File, 16, 2);
    File.insert(File.end(), {'d', 'a', 't', 'a'});
    PutLittle(File, static_cast<uint32_t>(Pcm.size()), 4);
    File.insert(File.end(), Pcm.begin(), Pcm.end());
    FILE* Out = fopen(Path.c_str(), "wb");
    if (!Out)
        return false;
    bool Written = fwrite(File.data(), 1, File.size(), Out) == File.size();
    return fclose(Out) == 0 && Written;
}

// Wall time of a shell command; negative when it failed.
inline double TimeCommand(const std::string& Command)
{
    auto Start = std::chrono::steady_clock::now();
    int Status = std::system(Command.c_str());
    double Took = Seconds(Start);
    return Status == 0 ? Took : -1.0;
}

inline int DiscardCreate(void** Inst, void* Params)
{
    *Inst = Params;
    return 1;
}
inline void DiscardWrite(void* Inst, void*, uint32_t Size, uint16_t, uint16_t, uint32_t)
{
    *static_cast<unsigned long long*>(Inst) += Size;
}
inline void DiscardRegister(OutputModule* M)
{
    M->OutputCreate = DiscardCreate;
    M->OutputWrite = DiscardWrite;
}

// Plays Path through a discarding output module (and Filter, if given) as
// fast as decoding goes; returns the wall time, or a negative value when it
// did not play.
inline double TimePlayback(const std::string& Path, unsigned long long* Bytes,
                           ZEBFilterRegisterFunc Filter = nullptr, void* FilterParams = nullptr,
                           uint32_t IntervalMs = 1000)
{
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    *Bytes = 0;
    ZEBAudioOutputOpenModule(Player, "DISCARD", DiscardRegister, Bytes);
    if (Filter)
        ZEBAudioAddOutputFilter(Player, Filter, FilterParams);
    ZEBAudioSetInputTimeInterval(Player, IntervalMs);
    auto Start = std::chrono::steady_clock::now();
    ZEBAudioInputOpen(Player, Path.c_str());
    ZEBAudioPlay(Player);
    ZEBMessage M;
    double Took = -1.0;
    while (ZEBWindowGetMessage(Window, &M, 120000)) {
        if (M.Msg == ZEB_RSP_ERROR)
            break;
        if (M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS) {
            Took = Seconds(Start);
            break;
        }
    }
    ZEBAudioPlayerDestroy(Player);
    while (ZEBWindowGetMessage(Window, &M, 200)) {
    }
    ZEBWindowDestroy(Window);
    return Took;
}

// Runs Ours (a playback timer) and the peer's command side by side Rounds
// times and reports the best of each; 1 when a run failed.
inline int CompareBestOf(int Rounds, const char* What, const std::function<double(unsigned long long*)>& Ours,
                         const char* PeerName, const std::string& PeerCommand);

inline void Report(const char* What, double Ours, const char* Peer, double Theirs)
{
    printf("%s: zeb-audio %.3f s, %s %.3f s, ratio %.2f\n", What, Ours, Peer, Theirs,
           Theirs > 0 ? Ours / Theirs : 0.0);
}

inline int CompareBestOf(int Rounds, const char* What, const std::function<double(unsigned long long*)>& Ours,
                         const char* PeerName, const std::string& PeerCommand)
{
    double Best = 1e9, PeerBest = 1e9;
    for (int Round = 0; Round < Rounds; ++Round) {
        unsigned long long Bytes = 0;
        double Mine = Ours(&Bytes);
        double Peer = TimeCommand(PeerCommand);
        if (Mine < 0 || Peer < 0) {
            fprintf(stderr, "a run failed\n");
            return 1;
        }
        Best = Mine < Best ? Mine : Best;
        PeerBest = Peer < PeerBest ? Peer : PeerBest;
        printf("round %d: %llu bytes in %.3f s; %s %.3f s\n", Round, Bytes, Mine, PeerName, Peer);
    }
    Report(What, Best, PeerName, PeerBest);
    return 0;
}

} // namespace zebbench
