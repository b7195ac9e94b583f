// The DirectSound-style output: device enumeration and open, and the stream
// record of one player with its one-second looping secondary buffer, its
// end-of-stream thread and the streaming operations.
#pragma once

#include "dsdevice.h"
#include "zeb-audio.h"
#include "zeb_platform.h"

#include <atomic>
#include <cstdint>

// One player's DirectSound stream. The lock hCritical guards lpdsb,
// sWritePtr, sByteCount, lBuffer/lBufferCount/lBufferSize, StartPending, SampleRate,
// Channels, sBufferSize and Level against the end-of-stream thread; the
// flags are atomic because both threads read them outside the lock.
struct DSoundPropType {
    DSDevice* lpds;             // shared device, not owned
    DSBuffer* lpdsb;            // owned; null once given up after a failure
    DSBuffer* lpdsPrimary;      // shared primary buffer (main volume)
    uint32_t sWritePtr;         // next byte to write, below sBufferSize
    uint32_t sByteCount;        // during a preload: room left for it
    uint8_t* lBuffer;           // preload bytes that did not fit the buffer
    uint32_t lBufferCount;      // bytes waiting in lBuffer
    bool StartPending;          // cleared and at position 0; starts once its first block is in
    ZEBThread* hThread;         // end-of-stream thread
    ZEBEvent* hEvent;           // auto-reset: wakes the end-of-stream thread
    ZEBCriticalSection hCritical;
    std::atomic<int> BufferPreLoaded;
    std::atomic<int> AbortClose;  // 1 cancels a play-out
    // Numbers the play-out requests; written under hCritical. A play-out
    // acts only while the number it started with is still current, so a
    // late play-out never touches the stream that followed it.
    std::atomic<uint32_t> PlayOutGen;
    std::atomic<int> AbortThread; // 1 ends the end-of-stream thread
    std::atomic<int> BuffersStop; // 1 while the buffer is stopped (or absent)
    uint32_t SampleRate;
    float SampleRateRatio;
    uint16_t Channels;
    uint32_t sBufferSize;       // one second of the buffer's format, bytes
    void* hPar;                 // host window for error notifications
    void* Player;               // the player they name (never dereferenced)
    uint32_t lBufferSize;       // capacity of lBuffer (at least sBufferSize / 2)
    uint32_t Level;             // buffer volume level 0..100, kept across buffer changes
    // During a write that may stop early: the player's command queue, whose
    // first message ends a wait for room (WriteInterrupted is then set).
    // Used by the writing thread only, under hCritical.
    CmdQueue* WakeQueue;
    bool WriteInterrupted;
    // The stall watch of a wait for room that a command interrupted: the
    // cursor it saw and the tick since which it has not moved. The next
    // wait goes on from there, so a stalled device is reported on time even
    // while commands keep interrupting the wait.
    bool WaitResumes;
    uint32_t WaitCursor;
    uint32_t WaitSince;
    // Set by a play-out once the half after the last byte is silence (under
    // hCritical): a play cursor more than half a buffer behind the write
    // position has then passed the last byte. Cleared by the next stream.
    bool SilenceAfterEnd;
    // 1 while the host is owed ZEB_NTF_PLAYED_OUT for the stream closing now.
    std::atomic<int> PlayedOutOwed;
};

// Master format: the primary buffer's format and the template of every
// secondary buffer. Rewritten by every InitDSound.
extern WAVEFORMATEX wfx;

// ---- Devices ----

// The machine's outputs, default first; the caller owns the array (null
// with *Count 0 when there are none). Null and *Count untouched on failure.
DeviceEnumType* EnumerateDevices(unsigned* Count);
int DSEnumProc(void* lpGUID, const char* lpszDesc, const char* lpszDrvName, void* lpContext);
void FreeEnumDevices(DeviceEnumType* DeviceEnums);
DSDevice* InitDSound(void* hwnd, void* pguid, DSBuffer** lpDSPrimaryBuffer);
void CloseDSound(DSDevice* lpds);

// ---- Stream record ----

DSBuffer* CreateSecondaryBuffer(DSDevice* lpds, uint32_t SampleRate, uint32_t Channels, uint32_t* BufferSize);
DSoundPropType* InitDSoundBuffers(DSDevice* lpds, void* hPar);
int SetDSoundBufferFormat(DSoundPropType* DSoundProp, uint32_t SampleRate, uint16_t Channels);
void FreeDSoundBuffers(DSoundPropType* DSoundProp);

// ---- Volume and frequency: 1 when applied, else 0 and nothing changes ----

int32_t LevelToAttenuation(uint32_t Level);
uint32_t AttenuationToLevel(int32_t Attenuation);
int SetDSoundBufferVolume(DSoundPropType* DSoundProp, uint32_t Level);
int SetDSoundPrimaryVolume(DSBuffer* lpdsbPrimary, uint32_t Level);
uint32_t GetDSoundPrimaryVolume(DSBuffer* lpdsbPrimary);
uint32_t GetDSoundBufferVolume(DSoundPropType* DSoundProp);
int SetDSoundBufferFrequency(DSoundPropType* DSoundProp, float Ratio);

// ---- Streaming ----

void StreamToDSoundBuffer(DSoundPropType* DSoundProp, uint16_t BytesPerSample, uint16_t Channels,
                          uint32_t SampleRate, void* Buffer, uint32_t Size);
// The same, except that a wait for room ends as soon as a message arrives on
// Wake: returns the bytes placed (all of them when the write completed or
// nothing more can be placed); the rest is the caller's to write later.
uint32_t StreamToDSoundBufferUntilCommand(DSoundPropType* DSoundProp, uint16_t Channels, uint32_t SampleRate,
                                          const uint8_t* Bytes, uint32_t Size, CmdQueue* Wake);
// 1 when the stream's buffer is stopped and may be preloaded.
int IsPreloadBufferReady(DSoundPropType* DSoundProp);
// Appends one block to the preload of the stopped buffer as it is formatted;
// 1 once the buffer is full (or nothing more can be preloaded).
int PreloadDSoundBuffer(DSoundPropType* DSoundProp, void* Buffer, uint32_t Size);
// The same, first re-formatting the buffer for the block's format.
int PreloadDSoundBufferFormat(DSoundPropType* DSoundProp, void* Buffer, uint32_t Size, uint16_t Channels,
                              uint32_t SampleRate);
// Starts a preload that no write has started (the input ended within it),
// writing its held bytes first, so that it is heard and can be played out.
void StartPendingPreload(DSoundPropType* DSoundProp);
// 1 when a failure (a lost device, a failed buffer operation) took the
// stream's buffer: nothing written is heard until a new stream opens.
int IsDSoundStreamGivenUp(DSoundPropType* DSoundProp);
void OpenDSoundBufferStream(DSoundPropType* DSoundProp);
void CloseDSoundBufferStream(DSoundPropType* DSoundProp);
void WaitDSoundStreamEnd(DSoundPropType* DSoundProp);
// Milliseconds of the stream's audio written but not yet heard: from the
// play cursor to the write position, with preload bytes held back, plus
// what the device's output still queues of it; once a play-out has passed
// the last byte, only what the output queues of the end (0 for a null
// record). A write position on the play cursor means a full buffer while
// the buffer plays or Paused says it holds a paused stream, and an empty
// one otherwise.
uint32_t DSoundBufferedMs(DSoundPropType* DSoundProp, bool Paused);
// The stream about to close ended its input: ZEB_NTF_PLAYED_OUT is posted
// once its play-out has stopped the buffer and the output has played what
// it queued (at once when nothing plays).
void OwePlayedOutNotice(DSoundPropType* DSoundProp);
int PlayDSoundBuffer(DSoundPropType* DSoundProp);
int StopDSoundBuffer(DSoundPropType* DSoundProp);
// Drops a preload that no write has started: its bytes belong to a position
// the stream is leaving ("Stop", a reset, a new stream).
void ForgetDSoundPreload(DSoundPropType* DSoundProp);
int ResetDSoundBuffer(DSoundPropType* DSoundProp);
int ClearSecondaryBuffer(DSoundPropType* DSoundProp, uint32_t Offset, uint32_t Size);
// Room from WriteCursor forward to PlayCursor; 0 when they meet.
uint32_t PlayBackDelta(uint32_t PlayCursor, uint32_t WriteCursor, uint32_t sBufferSize);
// Waits until BufSiz bytes are free from Offset, or the play-out request
// PlayOutGen (when not null) is cancelled or superseded, or the record has
// no buffer; true when the room is there. Throws DSoundFailure.
bool WaitForBufferSpace(DSoundPropType* DSoundProp, uint32_t Offset, uint32_t BufSiz, uint32_t sBufferSize,
                        const uint32_t* PlayOutGen);
void EndStreamThread(void* Params);

// A failing buffer operation inside a write or a play-out.
struct DSoundFailure {
    uint32_t Detail;
};

// ZEB_ERR_DSOUND_BUFFER detail of a write or play-out whose device is lost
// (sound server gone, output removed): the stream's buffer is given up, and
// a new "Output Open" reaches the output again.
constexpr uint32_t DSoundDetailDeviceLost = 9;

// How long a playing buffer's cursor may stand still before the wait for
// room gives up (detail 1).
constexpr uint32_t DSoundStallTimeoutMs = 8000;
// Test hook: another limit (0 restores the default).
void SetDSoundStallTimeoutForTesting(uint32_t Ms);
