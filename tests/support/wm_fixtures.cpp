// Windows Media fixtures and checks.
#include "wm_fixtures.h"

#include "host.h"
#include "mpeg_fixtures.h"
#include "subprocess.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace zebtest {

namespace {

// The program's full path from PATH (RunProcess does not search it).
std::string Tool(const std::string& Name)
{
    const char* Path = getenv("PATH");
    std::string Dirs = Path ? Path : "/usr/bin:/bin";
    for (size_t Start = 0; Start <= Dirs.size();) {
        size_t End = Dirs.find(':', Start);
        if (End == std::string::npos)
            End = Dirs.size();
        std::string Candidate = Dirs.substr(Start, End - Start) + "/" + Name;
        if (access(Candidate.c_str(), X_OK) == 0)
            return Candidate;
        Start = End + 1;
    }
    return Name;
}

} // namespace

std::string WmaFixture()
{
    return FfmpegFixture("wm-editor-base.wma", 3.0, 2, 44100,
                         "-c:a wmav2 -b:a 128k -metadata title=T -metadata artist=A -metadata comment=C "
                         "-metadata album=Al -f asf");
}

std::string WorkCopy(const std::string& Path, const std::string& Name)
{
    std::string Copy = FixturePath(Name + "." + std::to_string(getpid()) + ".wma");
    WriteFile(Copy, ReadFile(Path));
    return Copy;
}

std::vector<uint8_t> FfmpegPcm(const std::string& Path)
{
    ProcessResult R = RunProcess({Tool("ffmpeg"), "-nostdin", "-v", "error", "-i", Path, "-f", "s16le", "-"});
    if (!R.Exited || R.ExitCode != 0)
        return {};
    return std::vector<uint8_t>(R.Out.begin(), R.Out.end());
}

std::string ProbeTag(const std::string& Path, const std::string& Key)
{
    ProcessResult R = RunProcess({Tool("ffprobe"), "-v", "error", "-show_entries", "format_tags=" + Key, "-of",
                                  "default=noprint_wrappers=1:nokey=1", Path});
    std::string Out = R.Out;
    while (!Out.empty() && (Out.back() == '\n' || Out.back() == '\r'))
        Out.pop_back();
    return Out;
}

std::vector<std::string> CorpusWindowsMediaFiles()
{
    std::vector<std::string> Files;
    if (access(ZEB_CORPUS_DIR, R_OK) != 0)
        return Files;
    ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        std::string Lower = Path;
        std::transform(Lower.begin(), Lower.end(), Lower.begin(), ::tolower);
        for (const char* Ext : {".wma", ".asf", ".wmv"})
            if (Lower.size() > 4 && Lower.compare(Lower.size() - 4, 4, Ext) == 0)
                Files.push_back(Path);
    });
    std::sort(Files.begin(), Files.end());
    return Files;
}

std::vector<uint16_t> Utf16(const std::string& Ascii)
{
    std::vector<uint16_t> W(Ascii.begin(), Ascii.end());
    W.push_back(0);
    return W;
}

std::vector<uint8_t> StringBytes(const std::string& Ascii)
{
    std::vector<uint8_t> V;
    for (char C : Ascii) {
        V.push_back(static_cast<uint8_t>(C));
        V.push_back(0);
    }
    V.push_back(0);
    V.push_back(0);
    return V;
}

std::vector<uint8_t> DwordBytes(uint32_t X)
{
    return {static_cast<uint8_t>(X), static_cast<uint8_t>(X >> 8), static_cast<uint8_t>(X >> 16),
            static_cast<uint8_t>(X >> 24)};
}

} // namespace zebtest
