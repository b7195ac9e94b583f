// Device objects shared by every player's built-in DirectSound output.
#pragma once

struct PlayerInstanceType;

int InitDSoundInstance(PlayerInstanceType* PlayerInstance, void* hMainWnd, int DeviceId);
void DeleteDSoundInstance(void* cOutputInst);
// The device list for ZEBAudioEnumerateDevices (under CodecCritical): one
// heap block, freed with free(), holding Count pointers and the records
// they point to, so it stays readable after the library's list is gone.
char** EnumerateDeviceArray(unsigned int* Count);
