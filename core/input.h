// Choice of engine by extension, and dispatch of prepare, seek and close.
#pragma once

#include "engines/engine.h"

#include <string>

struct PlayerInstanceType;

// The extension of Path's last component, dot included; empty when none.
std::string PathExtension(const char* Path);
AudioFileFmtType OpenFileStream(const char* Path, MPEGFileInfoType** MPEGFileInfo);
void SeekFileStream(PlayerInstanceType* PlayerInstance, uint32_t Posn);
void CloseFileStream(AudioFileFmtType AudioFmt, MPEGFileInfoType* MPEGFileInfo);
