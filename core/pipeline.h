// Decoding one section, streaming it to the output, progress.
#pragma once

#include <cstdint>

struct PlayerInstanceType;

uint32_t DecodeSection(PlayerInstanceType* PlayerInstance);
int StreamToOutput(PlayerInstanceType* PlayerInstance);
void PerformBufferPreload(PlayerInstanceType* PlayerInstance);
void SendProgressUpdates(PlayerInstanceType* PlayerInstance);
// The position being heard, in milliseconds: the decoded position less the
// audio the output holds and the part of the section not yet written.
uint32_t HeardPositionMs(PlayerInstanceType* PlayerInstance);
// Forgets the part of a section the output has not taken: the input moved.
void DropPendingSection(PlayerInstanceType* PlayerInstance);
double Round(double x);
