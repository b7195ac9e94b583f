// The MP3 decoder of the mpglib interface, over libmpg123 in feed mode.
#pragma once

#include <cstdint>

constexpr int MP3_OK = 0;        // one frame decoded
constexpr int MP3_NEED_MORE = 1; // no complete frame buffered
constexpr int MP3_ERR = -1;      // stream error

constexpr uint32_t MPSTR_SIZE = 40000;

// The decoder state, an opaque block held inside the player record.
struct mpstr {
    alignas(16) unsigned char Opaque[MPSTR_SIZE];
};

int InitMP3(mpstr* mp);
void ExitMP3(mpstr* mp);
// Appends InSize bytes of In (none when In is null) and decodes at most one
// frame into Out (OutSize bytes), storing the bytes produced in *Done.
int decodeMP3(mpstr* mp, const char* In, int InSize, char* Out, int OutSize, int* Done);
