// Test controls of the virtual sound devices: a clock the test drives,
// captured output and injectable failures. Not part of the public surface;
// hosts never see virtual devices.
#pragma once

#include "dsdevice_impl.h"

#include <cstdint>
#include <vector>

// With Count > 0 the enumeration lists Count virtual devices ("Virtual output
// 0"...) instead of the machine's outputs; 0 restores the real list.
void SetVirtualDevicesForTesting(unsigned Count);
// Makes opening a virtual device fail while set.
void SetVirtualOpenFailureForTesting(bool Fail);
// Identifier of output Name of the backend called Module ("pulse", "alsa"),
// as an enumeration would give it; null for an unknown backend.
void* DeviceIdForTesting(const char* Module, const char* Name);
// The open device object of virtual device Index, or null.
DSDevice* VirtualDeviceForTesting(unsigned Index);
// Number of virtual device streams open now, over all indexes.
unsigned VirtualDevicesOpenForTesting(void);

// Runs the mixer for Frames frames of the mix rate, as if the sound card had
// played them; the output is captured while capture is on.
void VirtualDeviceAdvance(DSDevice* Device, uint32_t Frames);
// Lets a thread advance the clock at Speed times real time; 0 stops it.
void VirtualDeviceRunClock(DSDevice* Device, double Speed);
void VirtualDeviceSetCapture(DSDevice* Device, bool On);
// Everything captured so far (interleaved stereo), emptying the capture.
std::vector<int16_t> VirtualDeviceTakeCapture(DSDevice* Device);
uint64_t VirtualDeviceFramesRendered(DSDevice* Device);
// The latency the device's output reports: audio rendered, not yet heard.
void VirtualDeviceSetLatency(DSDevice* Device, uint32_t Microseconds);

// Times any real device's stream ran dry since the process started.
uint64_t DSUnderrunsForTesting(void);

// Operation Op of this device's buffers fails for the next Count calls
// (-1: always, 0: never again).
void VirtualDeviceSetFault(DSDevice* Device, DSFaultOp Op, int32_t Count);
// Every Lock on this device's buffers since the last call.
std::vector<DSLockRecord> VirtualDeviceTakeLockLog(DSDevice* Device);
