// MPEG audio fixtures.
#include "mpeg_fixtures.h"

#include "host.h"
#include "sound.h"

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace zebtest {

namespace {

constexpr uint32_t SegmentsPerSecond = 2;
constexpr int Kinds = 4;

bool Exists(const std::string& Path)
{
    return access(Path.c_str(), R_OK) == 0;
}

int16_t SampleOf(int Kind, uint32_t i, uint16_t c, uint32_t Rate, uint32_t* Noise)
{
    double t = static_cast<double>(i) / Rate;
    switch (Kind) {
    case 0:
        return 0;
    case 1:
        return static_cast<int16_t>(6000.0 * std::sin(2.0 * M_PI * 330.0 * (c + 1) * t));
    case 2:
        *Noise = *Noise * 1664525u + 1013904223u;
        return static_cast<int16_t>(static_cast<int32_t>(*Noise >> 16) - 32768) / 2;
    default:
        return static_cast<int16_t>(4000.0 * (std::sin(2.0 * M_PI * 523.0 * t) +
                                              std::sin(2.0 * M_PI * 3135.0 * t) +
                                              std::sin(2.0 * M_PI * 7040.0 * (c + 1) * t)));
    }
}

// Encodes through a temporary name, then renames, so that parallel test
// processes never see a half-written fixture.
std::string MakeFixture(const std::string& Name, double Seconds, uint16_t Channels, uint32_t Rate,
                        const std::string& Tool, const std::string& Command)
{
    std::string Path = FixturePath(Name);
    if (Exists(Path))
        return Path;
    if (!HaveTool(Tool))
        return "";
    std::string Tag = std::to_string(getpid());
    std::string Wav = Path + "." + Tag + ".wav";
    std::string Tmp = Path + "." + Tag + ".tmp";
    uint32_t Frames = static_cast<uint32_t>(Seconds * Rate);
    WriteWav(Wav, Rate, Channels, 16, VariedPcm(Frames, Channels, Rate));
    std::string Cmd = Command;
    for (auto [Key, Val] : {std::pair<std::string, std::string>{"{in}", Wav}, {"{out}", Tmp}})
        Cmd.replace(Cmd.find(Key), Key.size(), "'" + Val + "'");
    bool Ok = Run(Cmd + " >/dev/null 2>&1") && std::rename(Tmp.c_str(), Path.c_str()) == 0;
    std::remove(Wav.c_str());
    std::remove(Tmp.c_str());
    return Ok ? Path : "";
}

} // namespace

std::vector<uint8_t> VariedPcm(uint32_t Frames, uint16_t Channels, uint32_t Rate)
{
    std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * 2);
    uint32_t Noise = 12345;
    uint32_t Segment = Rate / SegmentsPerSecond;
    for (uint32_t i = 0; i < Frames; ++i) {
        int Kind = static_cast<int>((i / Segment) % Kinds);
        for (uint16_t c = 0; c < Channels; ++c) {
            uint16_t S = static_cast<uint16_t>(SampleOf(Kind, i, c, Rate, &Noise));
            size_t At = (static_cast<size_t>(i) * Channels + c) * 2;
            Out[At] = static_cast<uint8_t>(S & 0xFF);
            Out[At + 1] = static_cast<uint8_t>(S >> 8);
        }
    }
    return Out;
}

std::string LameFixture(const std::string& Name, double Seconds, uint16_t Channels, uint32_t Rate,
                        const std::string& LameOptions)
{
    return MakeFixture(Name, Seconds, Channels, Rate, "lame",
                       "lame --quiet " + LameOptions + " {in} {out}");
}

std::string FfmpegFixture(const std::string& Name, double Seconds, uint16_t Channels, uint32_t Rate,
                          const std::string& FfmpegOptions)
{
    return MakeFixture(Name, Seconds, Channels, Rate, "ffmpeg",
                       "ffmpeg -nostdin -v error -y -i {in} " + FfmpegOptions + " {out}");
}

// ADTS carries no length (ffprobe estimates one from the bit rate): its
// frames are counted instead.
double ProbeDurationMs(const std::string& Path, bool CountFrames)
{
    std::string Probe = "ffprobe -v error -select_streams a:0 -of default=nw=1:nk=1 ";
    double Value = 0;
    if (CountFrames) {
        std::string Out = Capture(Probe + "-count_packets -show_entries stream=nb_read_packets '" + Path + "'");
        return sscanf(Out.c_str(), "%lf", &Value) == 1 ? Value * 1024 * 1000.0 / 44100 : -1;
    }
    for (const char* Entry : {"stream=duration", "format=duration"}) {
        std::string Out = Capture(Probe + "-show_entries " + Entry + " '" + Path + "'");
        if (sscanf(Out.c_str(), "%lf", &Value) == 1)
            return Value * 1000.0;
    }
    return -1;
}

std::vector<uint8_t> SyntheticFrames(const uint8_t Header[4], uint32_t FrameLen, uint32_t Count)
{
    std::vector<uint8_t> Out(static_cast<size_t>(FrameLen) * Count, 0);
    for (uint32_t f = 0; f < Count; ++f)
        for (int i = 0; i < 4; ++i)
            Out[static_cast<size_t>(f) * FrameLen + i] = Header[i];
    return Out;
}

std::vector<uint8_t> ID3TagBytes(uint32_t Size)
{
    std::vector<uint8_t> Out = {'I', 'D', '3', 3, 0, 0};
    Out.push_back(static_cast<uint8_t>((Size >> 21) & 0x7F));
    Out.push_back(static_cast<uint8_t>((Size >> 14) & 0x7F));
    Out.push_back(static_cast<uint8_t>((Size >> 7) & 0x7F));
    Out.push_back(static_cast<uint8_t>(Size & 0x7F));
    Out.resize(Out.size() + Size, 0);
    return Out;
}

void PutBE32(std::vector<uint8_t>& V, size_t At, uint32_t X)
{
    PutBE16(V, At, static_cast<uint16_t>(X >> 16));
    PutBE16(V, At + 2, static_cast<uint16_t>(X));
}

void PutBE16(std::vector<uint8_t>& V, size_t At, uint16_t X)
{
    V[At] = static_cast<uint8_t>(X >> 8);
    V[At + 1] = static_cast<uint8_t>(X);
}

} // namespace zebtest
