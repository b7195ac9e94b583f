// The built-in DirectSound output module: the output table's slots over the
// stream record of dsound_if.
#pragma once

#include <cstdint>

int modDSoundOpen(void* OutputInst);
void modDSoundClose(void* OutputInst);
void modDSoundWrite(void* OutputInst, void* SampleBfr, uint32_t Size, uint16_t BytesPerSample, uint16_t Channels,
                    uint32_t SampleRate);
int modDSoundCommand(void* OutputInst, uint32_t Cmd, uint32_t Param);
