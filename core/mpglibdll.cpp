// Placeholder until the MP3 decoder binding lands.
#include "mpglibdll.h"
int InitMP3(mpstr*) { return 1; }
void ExitMP3(mpstr*) {}
int decodeMP3(mpstr*, const char*, int, char*, int, int* Done) { *Done = 0; return MP3_NEED_MORE; }
