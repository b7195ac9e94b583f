#include "support/aac_fixtures.h"

#include "support/host.h"

#include <unistd.h>

namespace zebtest {

std::string MakeAac(const std::string& Name, uint32_t Rate, int Channels, double Seconds, int KbitPerSec)
{
    std::string Path = FixturePath(Name);
    std::string Sine = "-f lavfi -i sine=sample_rate=" + std::to_string(Rate) + ":duration=" + std::to_string(Seconds);
    std::string Src = Sine + ":frequency=440";
    if (Channels == 2)
        Src += " " + Sine + ":frequency=660 -filter_complex amerge=inputs=2";
    bool Adts = Name.size() > 4 && Name.compare(Name.size() - 4, 4, ".aac") == 0;
    bool Made = MakeFixtureOnce(Path, [&](const std::string& Own) {
        return "ffmpeg -v error -nostdin -y " + Src + " -ac " + std::to_string(Channels) + " -c:a aac -b:a " +
               std::to_string(KbitPerSec) + "k " + (Adts ? "-f adts " : "") + Own;
    });
    return Made ? Path : std::string();
}

std::vector<uint8_t> FaadPcm(const std::string& Path)
{
    std::string Raw = Path + "." + std::to_string(getpid()) + ".raw";
    if (!Run("faad -q -w -f 2 -b 1 " + Path + " > " + Raw + " 2>/dev/null"))
        return {};
    std::vector<uint8_t> Pcm = ReadFile(Raw);
    unlink(Raw.c_str());
    return Pcm;
}

std::string PrefixedFixture(const std::string& Name, const std::vector<uint8_t>& Prefix, const std::string& Path)
{
    std::vector<uint8_t> Bytes = Prefix;
    std::vector<uint8_t> File = ReadFile(Path);
    Bytes.insert(Bytes.end(), File.begin(), File.end());
    std::string Out = FixturePath(Name);
    std::string Own = Out + "." + std::to_string(getpid());
    WriteFile(Own, Bytes);
    rename(Own.c_str(), Out.c_str());
    return Out;
}

std::vector<uint8_t> Id3v2Tag(uint32_t Padding)
{
    std::vector<uint8_t> Tag = {'I', 'D', '3', 3, 0, 0};
    for (int Shift = 21; Shift >= 0; Shift -= 7)
        Tag.push_back(static_cast<uint8_t>(Padding >> Shift & 0x7F));
    Tag.resize(Tag.size() + Padding, 0);
    return Tag;
}

} // namespace zebtest
