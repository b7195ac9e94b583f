// The DirectSound-style stream record of one player and its operations.
#pragma once

#include <cstdint>

struct DSoundPropType;

// 1 when the stream's buffer is stopped and may be preloaded.
int IsPreloadBufferReady(DSoundPropType* DSoundProp);
// Appends one block to the preload; 1 once the buffer is full.
int PreloadDSoundBuffer(DSoundPropType* DSoundProp, void* Buffer, uint32_t Size);
