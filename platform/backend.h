// The table a sound backend fills. A backend only opens an output stream at
// the mix format, pulls mixed frames from its device with DSDeviceRender and
// reports a lost connection with DSDeviceSetLost; buffers, mixing and cursor
// arithmetic live in the portable part.
#pragma once

#include <cstdint>

struct DSDevice;

// Receives one real output: Name identifies it to Open, Description is the
// text shown to the user.
typedef void (*DSBackendAddFunc)(void* Context, const char* Name, const char* Description);

struct DSBackendOps {
    const char* Module;
    // Lists the backend's outputs through Add; the number listed, or negative
    // when the backend is not usable here (library or server missing).
    int (*Enumerate)(DSBackendAddFunc Add, void* Context);
    // Opens a stream on output Name (null: the system default, followed when
    // it changes) and starts pulling. Null on failure.
    void* (*Open)(DSDevice* Device, const char* Name);
    // Stops pulling and closes the stream; no DSDeviceRender call is running
    // or made once this returns.
    void (*Close)(void* Stream);
    // Optional (null: none): microseconds of audio already pulled through
    // DSDeviceRender that the output has not played yet (the server's or
    // the card's queue). Never called from the backend's own thread nor
    // with the device's lock held; it must not hold up that thread.
    uint32_t (*LatencyUs)(void* Stream);
};

extern const DSBackendOps PulseBackend;
extern const DSBackendOps AlsaBackend;
extern const DSBackendOps VirtualBackend;

// Mixes Frames frames of interleaved stereo 16-bit PCM into Out and advances
// the play cursor of every playing buffer. Called from the backend's thread.
void DSDeviceRender(DSDevice* Device, int16_t* Out, uint32_t Frames);
// The backend's stream ran dry: the mix was not there in time.
void DSDeviceNoteUnderrun(DSDevice* Device);
// The backend's stream has failed: cursor reads fail from now on.
void DSDeviceSetLost(DSDevice* Device);
