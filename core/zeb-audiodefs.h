// Command codes, host messages and error codes shared by the core modules.
#pragma once

#include "zeb-audio.h"

#include <cstdint>

constexpr uint32_t ZEB_CMD_FIRST = ZEB_CMD_INPUT_OPEN;
constexpr uint32_t ZEB_CMD_LAST = ZEB_CMD_GET_MAIN_VOLUME;
constexpr int ZEB_ERR_LAST = ZEB_ERR_GENERAL;
// The commands added beside the protocol's range.
constexpr uint32_t ZEB_CMD_EXTRA_FIRST = ZEB_CMD_GET_PLAY_POSITION;
constexpr uint32_t ZEB_CMD_EXTRA_LAST = ZEB_CMD_SET_HEARD_PROGRESS;

// ZEB_NTF_ERROR details for ZEB_ERR_UNHANDLED_EXCEPTION: which thread failed.
constexpr uint32_t ZEB_EXC_AUDIO_THREAD = 0;
constexpr uint32_t ZEB_EXC_READER_THREAD = 1;
constexpr uint32_t ZEB_EXC_ENDSTREAM_THREAD = 2;

extern const char* const CmdTable[ZEB_CMD_LAST - ZEB_CMD_FIRST + 1];
extern const char* const ErrorTable[ZEB_ERR_LAST + 1];
extern const char* const ExtraCmdTable[ZEB_CMD_EXTRA_LAST - ZEB_CMD_EXTRA_FIRST + 1];
