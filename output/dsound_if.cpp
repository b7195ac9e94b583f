// Placeholder until the sound output lands.
#include "dsound_if.h"
int IsPreloadBufferReady(DSoundPropType*) { return 0; }
int PreloadDSoundBuffer(DSoundPropType*, void*, uint32_t) { return 1; }
