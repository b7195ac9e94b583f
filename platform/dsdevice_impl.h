// Records shared by the device layer's portable files (device and buffer
// operations, mixer) and the virtual backend's test hooks.
#pragma once

#include "dsdevice.h"
#include "backend.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

struct SpeexResamplerState_;

// Operations whose failure a test can inject on a virtual device.
enum DSFaultOp {
    DSFAULT_CURSOR = 0, // GetCurrentPosition
    DSFAULT_LOCK,
    DSFAULT_UNLOCK,
    DSFAULT_PLAY,
    DSFAULT_STOP,
    DSFAULT_CREATE_BUFFER,
    DSFAULT_SET_POSITION,
    DSFAULT_COUNT
};

struct DSLockRecord {
    uint32_t Offset;
    uint32_t Bytes;
};

// Test controls of a virtual device; real devices have none.
struct DSTestHooks {
    // Per operation: 0 succeeds, n > 0 fails the next n calls, -1 always fails.
    std::atomic<int32_t> Faults[DSFAULT_COUNT];
    std::vector<DSLockRecord> LockLog; // guarded by the device's Lock
};

// Mixer block: the most output frames mixed in one pass, so that play
// cursors advance in small steps.
constexpr uint32_t DSMixChunkFrames = 256;

struct DSBuffer {
    DSDevice* Device;
    bool IsPrimary;
    DSBuffer* Next;             // device's secondary list; guarded by Device->Lock
    // Everything below is guarded by Device->Lock.
    uint8_t* Data;              // secondary: Size bytes of looping PCM
    uint32_t Size;
    uint16_t Channels;
    uint16_t FrameBytes;
    uint32_t Frequency;         // playback rate, Hz
    uint32_t PlayPos;           // byte offset of the next frame to mix
    bool Playing;
    // The device's rendered frame count when the buffer last started and
    // stopped: what of it the output's queue can still hold.
    uint64_t PlayFrame;
    uint64_t StopFrame;
    bool Looping;
    int32_t Volume;             // hundredths of a dB
    float Gain;                 // linear factor of Volume
    // A buffer at the mix rate is copied as it stands; once its rate departs
    // from it, the resampler carries the output until the cursor jumps, so
    // that rate changes never switch paths in the middle of the sound.
    SpeexResamplerState_* Resampler;
    uint32_t ResamplerRate;     // input rate the resampler is set to
    bool Resampling;            // the resampler carries the output
    int16_t* History;           // the last HistoryFrames frames copied directly
    uint32_t HistoryFrames;     // half the resampler's filter at 1:1
    int16_t* Pulled;            // DSMixChunkFrames frames of this buffer's channels
    // Lock/Unlock staging: Lock copies the range out, Unlock copies it back,
    // so the mixer never reads memory a writer is filling.
    uint8_t* Staging;
    bool Locked;
    uint32_t LockOffset;
    uint32_t LockBytes;
};

struct DSDevice {
    const DSBackendOps* Backend;
    void* Stream;               // the backend's stream; null once closed
    std::mutex Lock;            // guards the buffer list, every buffer's state and the scratch
    // Guards Stream against the release while another thread asks the
    // backend for its latency; never taken with Lock held.
    std::mutex StreamLock;
    uint64_t RenderedFrames;    // frames mixed since the device opened; guarded by Lock
    DSBuffer* Buffers;          // secondary buffers
    DSBuffer* Primary;          // created on first request, freed with the device
    float PrimaryGain;          // guarded by Lock
    int32_t PrimaryVolume;      // guarded by Lock
    std::atomic<int> Lost;      // the backend's stream has failed
    std::atomic<int> Refs;      // the owner plus one per live secondary buffer
    float Accum[DSMixChunkFrames * DSMixChannels]; // mix scratch, guarded by Lock
    DSTestHooks* Hooks;         // virtual devices only
};

// 1 when a test asked this operation to fail (consumes one counted failure).
bool DSFaultTriggered(DSDevice* Device, DSFaultOp Op);
// Frees the resampler and mixer scratch of a buffer (device lock held).
void DSMixerFreeBuffer(DSBuffer* Buffer);
// Allocates the mixer scratch of a new secondary buffer; false on failure.
bool DSMixerInitBuffer(DSBuffer* Buffer);
// The buffer's cursor jumped: what was played before does not lead into
// what follows (device lock held).
void DSMixerResetBuffer(DSBuffer* Buffer);

// Virtual backend: the stream's device index when Id names a virtual device.
bool DSVirtualIdIndex(const void* Id, unsigned* Index);
// Identifier of virtual device Index, interned like the real ones.
void* DSVirtualId(unsigned Index);
// Number of virtual devices listed instead of the real ones (0: real).
unsigned DSVirtualDeviceCount(void);
