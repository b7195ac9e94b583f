// Portable part of the sound device layer: enumeration across backends,
// device identifiers, device objects and the buffer operations.
#include "dsdevice_testing.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <list>
#include <new>
#include <string>

namespace {

// Backends in order of preference: a sound server first, the bare card after.
const DSBackendOps* const RealBackends[] = {&PulseBackend, &AlsaBackend};

const char DefaultDescription[] = "Default output";

// A device identifier: the backend and the output's name within it.
// Identifiers are interned and never freed, so every pointer handed out by
// an enumeration stays valid however long the caller keeps its list.
struct DSDeviceId {
    const DSBackendOps* Backend;
    std::string Name;
};

std::mutex IdLock; // guards InternedIds
std::list<DSDeviceId>& InternedIds()
{
    static std::list<DSDeviceId> Ids;
    return Ids;
}

void* InternId(const DSBackendOps* Backend, const char* Name)
{
    std::lock_guard<std::mutex> Guard(IdLock);
    for (DSDeviceId& Id : InternedIds())
        if (Id.Backend == Backend && Id.Name == Name)
            return &Id;
    InternedIds().push_back(DSDeviceId{Backend, Name});
    return &InternedIds().back();
}

struct OutputEntry {
    std::string Name;
    std::string Description;
};

void CollectOutput(void* Context, const char* Name, const char* Description)
{
    auto* Outputs = static_cast<std::vector<OutputEntry>*>(Context);
    Outputs->push_back(OutputEntry{Name ? Name : "", Description ? Description : ""});
}

DSResult EnumerateVirtual(DSEnumCallback Callback, void* Context, unsigned Count)
{
    for (unsigned Index = 0; Index < Count; ++Index) {
        std::string Description = "Virtual output " + std::to_string(Index);
        if (!Callback(DSVirtualId(Index), Description.c_str(), VirtualBackend.Module, Context))
            break;
    }
    return DS_OK;
}

// Attenuation to linear gain: 10^(Volume / 2000); the minimum is silence.
float VolumeGain(int32_t Volume)
{
    if (Volume <= DSBVOLUME_MIN)
        return 0.0f;
    return static_cast<float>(std::pow(10.0, Volume / 2000.0));
}

bool IsSecondary(const DSBuffer* Buffer)
{
    return Buffer && !Buffer->IsPrimary;
}

void ReleaseDeviceRef(DSDevice* Device)
{
    if (--Device->Refs == 0) {
        delete Device->Primary;
        delete Device->Hooks;
        delete Device;
    }
}

bool ValidFormat(const WAVEFORMATEX* Format)
{
    return Format && Format->wFormatTag == WAVE_FORMAT_PCM && Format->wBitsPerSample == 16 &&
           (Format->nChannels == 1 || Format->nChannels == 2) &&
           Format->nBlockAlign == Format->nChannels * 2 &&
           Format->nSamplesPerSec >= DSBFREQUENCY_MIN && Format->nSamplesPerSec <= DSBFREQUENCY_MAX;
}

// The primary buffer is created once per device and lives as long as it.
DSResult CreatePrimary(DSDevice* Device, DSBuffer** Out)
{
    if (!Device->Primary) {
        DSBuffer* Buffer = new (std::nothrow) DSBuffer{};
        if (!Buffer)
            return DSERR_OUTOFMEMORY;
        Buffer->Device = Device;
        Buffer->IsPrimary = true;
        Buffer->Channels = DSMixChannels;
        Buffer->FrameBytes = DSMixChannels * 2;
        Buffer->Frequency = DSMixRate;
        Device->Primary = Buffer;
    }
    *Out = Device->Primary;
    return DS_OK;
}

DSResult CreateSecondary(DSDevice* Device, const DSBUFFERDESC* Desc, DSBuffer** Out)
{
    const WAVEFORMATEX* Format = Desc->lpwfxFormat;
    if (!ValidFormat(Format) || Desc->dwBufferBytes < Format->nBlockAlign ||
        Desc->dwBufferBytes % Format->nBlockAlign != 0)
        return DSERR_INVALIDPARAM;
    if (DSFaultTriggered(Device, DSFAULT_CREATE_BUFFER))
        return DSERR_OUTOFMEMORY;
    DSBuffer* Buffer = new (std::nothrow) DSBuffer{};
    if (!Buffer)
        return DSERR_OUTOFMEMORY;
    Buffer->Device = Device;
    Buffer->Size = Desc->dwBufferBytes;
    Buffer->Channels = Format->nChannels;
    Buffer->FrameBytes = Format->nBlockAlign;
    Buffer->Frequency = Format->nSamplesPerSec;
    Buffer->Volume = DSBVOLUME_MAX;
    Buffer->Gain = 1.0f;
    Buffer->Data = static_cast<uint8_t*>(calloc(Buffer->Size, 1));
    Buffer->Staging = static_cast<uint8_t*>(malloc(Buffer->Size));
    if (!Buffer->Data || !Buffer->Staging || !DSMixerInitBuffer(Buffer)) {
        DSMixerFreeBuffer(Buffer);
        free(Buffer->Data);
        free(Buffer->Staging);
        delete Buffer;
        return DSERR_OUTOFMEMORY;
    }
    ++Device->Refs;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    Buffer->Next = Device->Buffers;
    Device->Buffers = Buffer;
    *Out = Buffer;
    return DS_OK;
}

void UnlinkBuffer(DSBuffer* Buffer)
{
    for (DSBuffer** Link = &Buffer->Device->Buffers; *Link; Link = &(*Link)->Next) {
        if (*Link == Buffer) {
            *Link = Buffer->Next;
            return;
        }
    }
}

// Copies Bytes of the ring from Offset into Dest, wrapping at the end.
void CopyFromRing(const DSBuffer* Buffer, uint32_t Offset, uint8_t* Dest, uint32_t Bytes)
{
    uint32_t First = Bytes < Buffer->Size - Offset ? Bytes : Buffer->Size - Offset;
    memcpy(Dest, Buffer->Data + Offset, First);
    memcpy(Dest + First, Buffer->Data, Bytes - First);
}

uint64_t FramesToUs(uint64_t Frames)
{
    return Frames * 1000000u / DSMixRate;
}

// What the device's output still holds of the audio mixed so far.
uint64_t OutputLatencyUs(DSDevice* Device)
{
    std::lock_guard<std::mutex> Guard(Device->StreamLock);
    if (!Device->Stream || !Device->Backend->LatencyUs)
        return 0;
    return Device->Backend->LatencyUs(Device->Stream);
}

void CopyToRing(DSBuffer* Buffer, uint32_t Offset, const uint8_t* Source, uint32_t Bytes)
{
    uint32_t First = Bytes < Buffer->Size - Offset ? Bytes : Buffer->Size - Offset;
    memcpy(Buffer->Data + Offset, Source, First);
    memcpy(Buffer->Data, Source + First, Bytes - First);
}

// A lock of more than half the buffer (the clear of the whole buffer when a
// stream starts) would leave the staging area resident in full for good,
// while writes lock a quarter or so. Its whole pages beyond the first
// quarter go back to the system: what a lock leaves there is never read
// again (the next lock fills the area afresh), and the pages come back
// zeroed when written.
void ReleaseLargeStaging(DSBuffer* Buffer)
{
    long PageSize = sysconf(_SC_PAGESIZE);
    if (PageSize <= 0 || Buffer->LockBytes <= Buffer->Size / 2)
        return;
    const uintptr_t Page = static_cast<uintptr_t>(PageSize);
    const uintptr_t Start = reinterpret_cast<uintptr_t>(Buffer->Staging);
    uintptr_t From = (Start + Buffer->Size / 4 + Page - 1) & ~(Page - 1);
    uintptr_t To = (Start + Buffer->Size) & ~(Page - 1);
    if (From < To)
        madvise(reinterpret_cast<void*>(From), To - From, MADV_DONTNEED);
}

} // namespace

// ---- Enumeration -----------------------------------------------------------

DSResult DirectSoundEnumerateA(DSEnumCallback Callback, void* Context)
{
    if (!Callback)
        return DSERR_INVALIDPARAM;
    if (unsigned Count = DSVirtualDeviceCount())
        return EnumerateVirtual(Callback, Context, Count);
    for (const DSBackendOps* Backend : RealBackends) {
        std::vector<OutputEntry> Outputs;
        if (Backend->Enumerate(CollectOutput, &Outputs) <= 0 || Outputs.empty())
            continue;
        if (!Callback(nullptr, DefaultDescription, Backend->Module, Context))
            return DS_OK;
        for (const OutputEntry& Output : Outputs)
            if (!Callback(InternId(Backend, Output.Name.c_str()), Output.Description.c_str(), Backend->Module,
                          Context))
                return DS_OK;
        return DS_OK;
    }
    return DS_OK; // no outputs anywhere: an empty list
}

void* DeviceIdForTesting(const char* Module, const char* Name)
{
    for (const DSBackendOps* Backend : RealBackends)
        if (strcmp(Backend->Module, Module) == 0)
            return InternId(Backend, Name);
    return nullptr;
}

void* DSVirtualId(unsigned Index)
{
    return InternId(&VirtualBackend, std::to_string(Index).c_str());
}

bool DSVirtualIdIndex(const void* Id, unsigned* Index)
{
    const DSDeviceId* DeviceId = static_cast<const DSDeviceId*>(Id);
    if (!DeviceId || DeviceId->Backend != &VirtualBackend)
        return false;
    *Index = static_cast<unsigned>(strtoul(DeviceId->Name.c_str(), nullptr, 10));
    return true;
}

// ---- Device ----------------------------------------------------------------

static bool OpenBackendStream(DSDevice* Device, const void* Id)
{
    const DSDeviceId* DeviceId = static_cast<const DSDeviceId*>(Id);
    if (DeviceId) {
        Device->Backend = DeviceId->Backend;
        Device->Stream = DeviceId->Backend->Open(Device, DeviceId->Name.c_str());
        return Device->Stream != nullptr;
    }
    for (const DSBackendOps* Backend : RealBackends) {
        Device->Backend = Backend;
        Device->Stream = Backend->Open(Device, nullptr);
        if (Device->Stream)
            return true;
    }
    return false;
}

DSResult DirectSoundCreate(const void* Id, DSDevice** Out, void*)
{
    if (!Out)
        return DSERR_INVALIDPARAM;
    DSDevice* Device = new (std::nothrow) DSDevice{};
    if (!Device)
        return DSERR_OUTOFMEMORY;
    Device->PrimaryGain = 1.0f;
    Device->PrimaryVolume = DSBVOLUME_MAX;
    Device->Refs = 1;
    if (!OpenBackendStream(Device, Id)) {
        delete Device->Hooks;
        delete Device;
        return DSERR_NODRIVER;
    }
    *Out = Device;
    return DS_OK;
}

DSResult DSDeviceSetCooperativeLevel(DSDevice* Device, void*, uint32_t)
{
    return Device ? DS_OK : DSERR_INVALIDPARAM;
}

DSResult DSDeviceCreateSoundBuffer(DSDevice* Device, const DSBUFFERDESC* Desc, DSBuffer** Buffer, void*)
{
    if (!Device || !Desc || !Buffer || Desc->dwSize != DSBUFFERDESC_SIZE)
        return DSERR_INVALIDPARAM;
    if (Desc->dwFlags & DSBCAPS_PRIMARYBUFFER)
        return CreatePrimary(Device, Buffer);
    return CreateSecondary(Device, Desc, Buffer);
}

void DSDeviceRelease(DSDevice* Device)
{
    if (!Device)
        return;
    {
        std::lock_guard<std::mutex> Guard(Device->StreamLock);
        if (Device->Stream)
            Device->Backend->Close(Device->Stream);
        Device->Stream = nullptr;
    }
    ReleaseDeviceRef(Device);
}

namespace {
std::atomic<uint64_t> UnderrunCount{0};
}

void DSDeviceNoteUnderrun(DSDevice*)
{
    ++UnderrunCount;
}

uint64_t DSUnderrunsForTesting(void)
{
    return UnderrunCount.load();
}

void DSDeviceSetLost(DSDevice* Device)
{
    Device->Lost = 1;
}

bool DSDeviceIsLost(DSDevice* Device)
{
    return Device && Device->Lost;
}

bool DSFaultTriggered(DSDevice* Device, DSFaultOp Op)
{
    if (!Device->Hooks)
        return false;
    std::atomic<int32_t>& Fault = Device->Hooks->Faults[Op];
    int32_t Remaining = Fault.load();
    while (Remaining > 0 && !Fault.compare_exchange_weak(Remaining, Remaining - 1)) {
    }
    return Remaining != 0;
}

// ---- Buffers ---------------------------------------------------------------

void DSBufferRelease(DSBuffer* Buffer)
{
    if (!Buffer || Buffer->IsPrimary) // the primary buffer goes with its device
        return;
    DSDevice* Device = Buffer->Device;
    {
        std::lock_guard<std::mutex> Guard(Device->Lock);
        UnlinkBuffer(Buffer);
        DSMixerFreeBuffer(Buffer);
    }
    free(Buffer->Data);
    free(Buffer->Staging);
    delete Buffer;
    ReleaseDeviceRef(Device);
}

DSResult DSBufferLock(DSBuffer* Buffer, uint32_t Offset, uint32_t Bytes, void** Ptr1, uint32_t* Len1,
                      void** Ptr2, uint32_t* Len2, uint32_t)
{
    if (!IsSecondary(Buffer) || !Ptr1 || !Len1 || Offset >= Buffer->Size || Bytes == 0 ||
        Bytes > Buffer->Size)
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    if (DSFaultTriggered(Device, DSFAULT_LOCK))
        return DSERR_GENERIC;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (Buffer->Locked)
        return DSERR_INVALIDCALL;
    uint32_t First = Bytes < Buffer->Size - Offset ? Bytes : Buffer->Size - Offset;
    if (First < Bytes && (!Ptr2 || !Len2))
        return DSERR_INVALIDPARAM;
    CopyFromRing(Buffer, Offset, Buffer->Staging, Bytes);
    Buffer->Locked = true;
    Buffer->LockOffset = Offset;
    Buffer->LockBytes = Bytes;
    if (Device->Hooks)
        Device->Hooks->LockLog.push_back(DSLockRecord{Offset, Bytes});
    *Ptr1 = Buffer->Staging;
    *Len1 = First;
    if (Ptr2)
        *Ptr2 = First < Bytes ? Buffer->Staging + First : nullptr;
    if (Len2)
        *Len2 = Bytes - First;
    return DS_OK;
}

DSResult DSBufferUnlock(DSBuffer* Buffer, void* Ptr1, uint32_t Len1, void* Ptr2, uint32_t Len2)
{
    if (!IsSecondary(Buffer))
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (!Buffer->Locked)
        return DSERR_INVALIDCALL;
    bool Matches = Ptr1 == Buffer->Staging && Len1 + Len2 == Buffer->LockBytes &&
                   (Len2 == 0 || Ptr2 == Buffer->Staging + Len1);
    Buffer->Locked = false;
    if (!Matches)
        return DSERR_INVALIDPARAM;
    if (DSFaultTriggered(Device, DSFAULT_UNLOCK))
        return DSERR_GENERIC;
    CopyToRing(Buffer, Buffer->LockOffset, Buffer->Staging, Buffer->LockBytes);
    ReleaseLargeStaging(Buffer);
    return DS_OK;
}

DSResult DSBufferGetCurrentPosition(DSBuffer* Buffer, uint32_t* PlayCursor, uint32_t* WriteCursor)
{
    if (!IsSecondary(Buffer))
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    if (Device->Lost)
        return DSERR_BUFFERLOST;
    if (DSFaultTriggered(Device, DSFAULT_CURSOR))
        return DSERR_GENERIC;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (PlayCursor)
        *PlayCursor = Buffer->PlayPos;
    if (WriteCursor)
        *WriteCursor = Buffer->PlayPos;
    return DS_OK;
}

DSResult DSBufferGetUnheard(DSBuffer* Buffer, uint32_t* Microseconds)
{
    if (!IsSecondary(Buffer) || !Microseconds)
        return DSERR_INVALIDPARAM;
    *Microseconds = 0;
    DSDevice* Device = Buffer->Device;
    if (Device->Lost)
        return DS_OK;
    // Asked before taking Lock: the backend's thread holds its own lock
    // while it waits for Lock to render.
    uint64_t Latency = OutputLatencyUs(Device);
    std::lock_guard<std::mutex> Guard(Device->Lock);
    uint64_t Now = Device->RenderedFrames;
    uint64_t Queued = FramesToUs((Buffer->Playing ? Now : Buffer->StopFrame) - Buffer->PlayFrame);
    Queued = Queued < Latency ? Queued : Latency;
    if (!Buffer->Playing) {
        uint64_t Drained = FramesToUs(Now - Buffer->StopFrame);
        Queued = Queued > Drained ? Queued - Drained : 0;
    }
    uint64_t Filter = Buffer->Resampling ? uint64_t{Buffer->HistoryFrames} * 1000000u / Buffer->Frequency : 0;
    uint64_t Total = Queued + Filter;
    *Microseconds = Total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Total);
    return DS_OK;
}

DSResult DSBufferSetCurrentPosition(DSBuffer* Buffer, uint32_t Position)
{
    if (!IsSecondary(Buffer) || Position >= Buffer->Size)
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    if (DSFaultTriggered(Device, DSFAULT_SET_POSITION))
        return DSERR_GENERIC;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    Buffer->PlayPos = Position - Position % Buffer->FrameBytes;
    DSMixerResetBuffer(Buffer);
    return DS_OK;
}

DSResult DSBufferGetStatus(DSBuffer* Buffer, uint32_t* Status)
{
    if (!IsSecondary(Buffer) || !Status)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> Guard(Buffer->Device->Lock);
    *Status = (Buffer->Playing ? DSBSTATUS_PLAYING : 0) | (Buffer->Playing && Buffer->Looping ? DSBSTATUS_LOOPING : 0) |
              (Buffer->Device->Lost ? DSBSTATUS_BUFFERLOST : 0);
    return DS_OK;
}

DSResult DSBufferPlay(DSBuffer* Buffer, uint32_t, uint32_t, uint32_t Flags)
{
    if (!IsSecondary(Buffer))
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    if (DSFaultTriggered(Device, DSFAULT_PLAY))
        return DSERR_GENERIC;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (!Buffer->Playing)
        Buffer->PlayFrame = Device->RenderedFrames;
    Buffer->Playing = true;
    Buffer->Looping = (Flags & DSBPLAY_LOOPING) != 0;
    return DS_OK;
}

DSResult DSBufferStop(DSBuffer* Buffer)
{
    if (!IsSecondary(Buffer))
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    if (DSFaultTriggered(Device, DSFAULT_STOP))
        return DSERR_GENERIC;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (Buffer->Playing)
        Buffer->StopFrame = Device->RenderedFrames;
    Buffer->Playing = false;
    return DS_OK;
}

DSResult DSBufferSetVolume(DSBuffer* Buffer, int32_t Volume)
{
    if (!Buffer || Volume < DSBVOLUME_MIN || Volume > DSBVOLUME_MAX)
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    float Gain = VolumeGain(Volume);
    std::lock_guard<std::mutex> Guard(Device->Lock);
    if (Buffer->IsPrimary) {
        Device->PrimaryVolume = Volume;
        Device->PrimaryGain = Gain;
    } else {
        Buffer->Volume = Volume;
        Buffer->Gain = Gain;
    }
    return DS_OK;
}

DSResult DSBufferGetVolume(DSBuffer* Buffer, int32_t* Volume)
{
    if (!Buffer || !Volume)
        return DSERR_INVALIDPARAM;
    DSDevice* Device = Buffer->Device;
    std::lock_guard<std::mutex> Guard(Device->Lock);
    *Volume = Buffer->IsPrimary ? Device->PrimaryVolume : Buffer->Volume;
    return DS_OK;
}

DSResult DSBufferSetFrequency(DSBuffer* Buffer, uint32_t Frequency)
{
    if (!IsSecondary(Buffer) || Frequency < DSBFREQUENCY_MIN || Frequency > DSBFREQUENCY_MAX)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> Guard(Buffer->Device->Lock);
    Buffer->Frequency = Frequency; // the mixer retunes its resampler on the next pass
    return DS_OK;
}

DSResult DSBufferGetFrequency(DSBuffer* Buffer, uint32_t* Frequency)
{
    if (!IsSecondary(Buffer) || !Frequency)
        return DSERR_INVALIDPARAM;
    std::lock_guard<std::mutex> Guard(Buffer->Device->Lock);
    *Frequency = Buffer->Frequency;
    return DS_OK;
}

DSResult DSBufferSetFormat(DSBuffer* Buffer, const WAVEFORMATEX* Format)
{
    if (!Buffer || !Buffer->IsPrimary || !ValidFormat(Format))
        return DSERR_INVALIDPARAM;
    if (Format->nSamplesPerSec != DSMixRate || Format->nChannels != DSMixChannels)
        return DSERR_UNSUPPORTED;
    return DS_OK;
}
