// Sound devices with DirectSound-style operations: one device object is one
// output stream at the master format (44100 Hz stereo 16-bit) that mixes
// every playing secondary buffer of that device. Results follow the
// DirectSound convention: DS_OK (0) on success, a negative code on failure.
#pragma once

#include <cstdint>

struct DSDevice; // an opened output device (the IDirectSound stand-in)
struct DSBuffer; // a primary or secondary buffer (the IDirectSoundBuffer stand-in)

typedef int32_t DSResult;
constexpr DSResult DS_OK = 0;
constexpr DSResult DSERR_GENERIC = -1;
constexpr DSResult DSERR_INVALIDPARAM = -2;
constexpr DSResult DSERR_OUTOFMEMORY = -3;
constexpr DSResult DSERR_NODRIVER = -4;
constexpr DSResult DSERR_BUFFERLOST = -5;
constexpr DSResult DSERR_UNSUPPORTED = -6;
constexpr DSResult DSERR_INVALIDCALL = -7;

// PCM format record, laid out like WAVEFORMATEX.
struct WAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
constexpr uint16_t WAVE_FORMAT_PCM = 1;

constexpr uint32_t DSSCL_PRIORITY = 2;

constexpr uint32_t DSBCAPS_PRIMARYBUFFER = 0x1;
constexpr uint32_t DSBCAPS_CTRLFREQUENCY = 0x20;
constexpr uint32_t DSBCAPS_CTRLVOLUME = 0x80;
constexpr uint32_t DSBCAPS_GLOBALFOCUS = 0x8000;
constexpr uint32_t DSBCAPS_GETCURRENTPOSITION2 = 0x10000;

struct DSBUFFERDESC {
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwBufferBytes;
    uint32_t dwReserved;
    WAVEFORMATEX* lpwfxFormat;
};
constexpr uint32_t DSBUFFERDESC_SIZE = 20;

constexpr uint32_t DSBPLAY_LOOPING = 1;
constexpr uint32_t DSBSTATUS_PLAYING = 1;
constexpr uint32_t DSBSTATUS_BUFFERLOST = 2; // the buffer's device is lost
constexpr uint32_t DSBSTATUS_LOOPING = 4;

constexpr int32_t DSBVOLUME_MIN = -10000;
constexpr int32_t DSBVOLUME_MAX = 0;
constexpr uint32_t DSBFREQUENCY_MIN = 100;
constexpr uint32_t DSBFREQUENCY_MAX = 200000;

// The mixing format of every device.
constexpr uint32_t DSMixRate = 44100;
constexpr uint16_t DSMixChannels = 2;

// ---- Enumeration -----------------------------------------------------------

// Called once per device: Id is null for the system default output, else an
// identifier that stays valid for the life of the process.
typedef int (*DSEnumCallback)(void* Id, const char* Description, const char* Module, void* Context);
// Lists the default output first, then every real output. A machine without
// outputs lists nothing. Negative when the enumeration itself failed.
DSResult DirectSoundEnumerateA(DSEnumCallback Callback, void* Context);

// ---- Device ----------------------------------------------------------------

DSResult DirectSoundCreate(const void* Id, DSDevice** Device, void* Unused);
DSResult DSDeviceSetCooperativeLevel(DSDevice* Device, void* Window, uint32_t Level);
DSResult DSDeviceCreateSoundBuffer(DSDevice* Device, const DSBUFFERDESC* Desc, DSBuffer** Buffer, void* Unused);
// Releases the device; its remaining buffers stop being mixed.
void DSDeviceRelease(DSDevice* Device);
// True once the device's output has failed for good (the sound server went
// away, the output was removed). Its buffers can still be created, filled
// and played, but nothing is heard, their cursors cannot be read and their
// status shows DSBSTATUS_BUFFERLOST; only a new device reaches the output.
bool DSDeviceIsLost(DSDevice* Device);

// ---- Buffers ---------------------------------------------------------------

void DSBufferRelease(DSBuffer* Buffer);
// Gives the range [Offset, Offset + Bytes) of a secondary buffer as one span,
// or two when it wraps past the end (the second then starts at offset 0).
DSResult DSBufferLock(DSBuffer* Buffer, uint32_t Offset, uint32_t Bytes, void** Ptr1, uint32_t* Len1,
                      void** Ptr2, uint32_t* Len2, uint32_t Flags);
// Commits the spans of the last Lock, passed exactly as Lock returned them.
DSResult DSBufferUnlock(DSBuffer* Buffer, void* Ptr1, uint32_t Len1, void* Ptr2, uint32_t Len2);
// Play cursor: bytes the mixer has consumed, modulo the buffer size. Write
// cursor: the first byte the mixer has not yet read. Either may be null.
DSResult DSBufferGetCurrentPosition(DSBuffer* Buffer, uint32_t* PlayCursor, uint32_t* WriteCursor);
// Microseconds of the buffer's audio taken past its play cursor but not yet
// heard: what the resampler's filter and the output's queue (the sound
// server's or the card's) hold of it. While the buffer plays, the output's
// latency, yet at most what it has played since it started; once it stops,
// that rest drains as the device plays on. 0 on a lost device.
DSResult DSBufferGetUnheard(DSBuffer* Buffer, uint32_t* Microseconds);
DSResult DSBufferSetCurrentPosition(DSBuffer* Buffer, uint32_t Position);
DSResult DSBufferGetStatus(DSBuffer* Buffer, uint32_t* Status);
DSResult DSBufferPlay(DSBuffer* Buffer, uint32_t Reserved1, uint32_t Priority, uint32_t Flags);
DSResult DSBufferStop(DSBuffer* Buffer);
// Attenuation in hundredths of a decibel, DSBVOLUME_MIN..DSBVOLUME_MAX.
DSResult DSBufferSetVolume(DSBuffer* Buffer, int32_t Volume);
DSResult DSBufferGetVolume(DSBuffer* Buffer, int32_t* Volume);
// Playback frequency in Hz, DSBFREQUENCY_MIN..DSBFREQUENCY_MAX.
DSResult DSBufferSetFrequency(DSBuffer* Buffer, uint32_t Frequency);
DSResult DSBufferGetFrequency(DSBuffer* Buffer, uint32_t* Frequency);
// Primary buffer only: the device always mixes at the master format, so
// only that format is accepted.
DSResult DSBufferSetFormat(DSBuffer* Buffer, const WAVEFORMATEX* Format);
