// Placeholder until the sound output lands.
#include "dsound_shared.h"
#include "core/player.h"
int InitDSoundInstance(PlayerInstanceType*, void*, int) { return 0; }
void DeleteDSoundInstance(void*) {}
char** EnumerateDeviceArray(unsigned int* Count) { *Count = 0; return new char*[1]; }
