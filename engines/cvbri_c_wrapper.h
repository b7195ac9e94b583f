// Plain functions over the VBRI header object, for the MPEG engine.
#pragma once

#include <cstdint>

void* CVbriNew(void);
void CVbriDelete(void* CVBri);
// 1 when the first frame (Length bytes at HBuffer) carries a VBRI header
// lying wholly within it; the object then holds it. 0 otherwise.
int IsCVbriHeader(void* CVBri, const uint8_t* HBuffer, uint32_t Length);
// Byte offset from the VBRI frame of the frame at Offset milliseconds.
int SeekCVbriStream(void* CVBri, float Offset);
uint32_t VBriSampleRate(void* CVBri);
uint32_t VBriFrameCount(void* CVBri);
uint32_t VBriFileLength(void* CVBri);
