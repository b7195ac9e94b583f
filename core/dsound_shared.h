// Device objects shared by every player's built-in DirectSound output.
#pragma once

struct PlayerInstanceType;

int InitDSoundInstance(PlayerInstanceType* PlayerInstance, void* hMainWnd, int DeviceId);
void DeleteDSoundInstance(void* cOutputInst);
// Copies the device list for ZEBAudioEnumerateDevices (under CodecCritical).
char** EnumerateDeviceArray(unsigned int* Count);
