// The player's input: the extension of a path, and prepare, seek and close
// through the engine table.
#include "core/input.h"

#include "core/engine_table.h"
#include "core/player.h"

#include <cstring>

std::string PathExtension(const char* Path)
{
    std::string Name(Path);
    size_t Start = 0;
    if (Name.size() >= 2 && Name[1] == ':')
        Start = 2;
    size_t Slash = Name.find_last_of("\\/");
    if (Slash != std::string::npos && Slash + 1 > Start)
        Start = Slash + 1;
    std::string Last = Name.substr(Start);
    if (Last == "." || Last == "..")
        return std::string();
    size_t Dot = Last.rfind('.');
    return Dot == std::string::npos ? std::string() : Last.substr(Dot);
}

AudioFileFmtType OpenFileStream(const char* Path, MPEGFileInfoType** MPEGFileInfo)
{
    *MPEGFileInfo = nullptr;
    return OpenWithEngines(Path, MPEGFileInfo);
}

void SeekFileStream(PlayerInstanceType* PlayerInstance, uint32_t Posn)
{
    if (PlayerInstance->MPEGFileInfo)
        EngineFor(PlayerInstance->FileFormat)->Seek(PlayerInstance, Posn);
}

void CloseFileStream(AudioFileFmtType AudioFmt, MPEGFileInfoType* MPEGFileInfo)
{
    if (MPEGFileInfo)
        EngineFor(AudioFmt)->UnPrepare(MPEGFileInfo);
}
