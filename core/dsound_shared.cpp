// Device objects shared by every player's built-in DirectSound output: one
// device object and primary buffer per device index, kept while any
// DirectSound output of any player is open.
#include "dsound_shared.h"

#include "core/player.h"
#include "output/dsound_if.h"
#include "output/modDSound.h"

#include <cstdlib>

namespace {

// All guarded by CodecCritical.
DeviceEnumType* DeviceEnums = nullptr;
unsigned DeviceCount = 0;        // 0: no device list held
DSDevice** lpdsInstances = nullptr;
DSBuffer** DSoundPBuffers = nullptr;
unsigned InstanceSlots = 0;      // entries of the two arrays
int DSoundInstances = 0;         // DirectSound outputs open, all players, all devices

void FreeInstanceArrays()
{
    free(lpdsInstances);
    free(DSoundPBuffers);
    lpdsInstances = nullptr;
    DSoundPBuffers = nullptr;
    InstanceSlots = 0;
}

// Enumerates when no list is held. Arrays sized for an earlier (empty) list
// hold no device objects then and are dropped, so they always match the list.
void EnsureDeviceList()
{
    if (DeviceCount != 0)
        return;
    if (DSoundInstances == 0)
        FreeInstanceArrays();
    FreeEnumDevices(DeviceEnums);
    DeviceEnums = nullptr;
    unsigned Count = 0;
    DeviceEnums = EnumerateDevices(&Count);
    DeviceCount = DeviceEnums ? Count : 0;
}

bool EnsureInstanceArrays()
{
    if (lpdsInstances)
        return true;
    size_t Slots = DeviceCount ? DeviceCount : 1;
    lpdsInstances = static_cast<DSDevice**>(calloc(Slots, sizeof(DSDevice*)));
    DSoundPBuffers = static_cast<DSBuffer**>(calloc(Slots, sizeof(DSBuffer*)));
    if (!lpdsInstances || !DSoundPBuffers) {
        FreeInstanceArrays();
        return false;
    }
    InstanceSlots = DeviceCount;
    return true;
}

void ReleaseAllDevices()
{
    for (unsigned I = 0; I < InstanceSlots; ++I) {
        if (lpdsInstances[I]) {
            CloseDSound(lpdsInstances[I]);
            lpdsInstances[I] = nullptr;
        }
    }
    FreeEnumDevices(DeviceEnums);
    DeviceEnums = nullptr;
    DeviceCount = 0;
    FreeInstanceArrays();
}

// Opens the player's stream on device DeviceId under the lock; null on failure.
DSoundPropType* OpenStream(PlayerInstanceType* PlayerInstance, void* hMainWnd, int DeviceId)
{
    ZEBLockGuard Guard(CodecCritical);
    EnsureDeviceList();
    if (!EnsureInstanceArrays())
        return nullptr;
    if (DeviceId < 0 || static_cast<unsigned>(DeviceId) >= DeviceCount || static_cast<unsigned>(DeviceId) >= InstanceSlots)
        return nullptr;
    bool Created = false;
    if (!lpdsInstances[DeviceId]) {
        lpdsInstances[DeviceId] = InitDSound(hMainWnd, DeviceEnums[DeviceId].lpGUID, &DSoundPBuffers[DeviceId]);
        if (!lpdsInstances[DeviceId])
            return nullptr;
        Created = true;
    }
    DSoundPropType* DSoundProp = InitDSoundBuffers(lpdsInstances[DeviceId], PlayerInstance->hPar);
    if (!DSoundProp) {
        if (Created) {
            CloseDSound(lpdsInstances[DeviceId]);
            lpdsInstances[DeviceId] = nullptr;
            DSoundPBuffers[DeviceId] = nullptr;
        }
        return nullptr;
    }
    DSoundProp->lpdsPrimary = DSoundPBuffers[DeviceId];
    ++DSoundInstances;
    return DSoundProp;
}

} // namespace

int InitDSoundInstance(PlayerInstanceType* PlayerInstance, void* hMainWnd, int DeviceId)
{
    DSoundPropType* DSoundProp = OpenStream(PlayerInstance, hMainWnd, DeviceId);
    if (!DSoundProp)
        return 0;
    OutputModule& Module = PlayerInstance->cOutputModule;
    Module.OutputCreate = nullptr;
    Module.OutputDelete = DeleteDSoundInstance;
    Module.OutputOpen = modDSoundOpen;
    Module.OutputClose = modDSoundClose;
    Module.OutputWrite = modDSoundWrite;
    Module.OutputCmd = modDSoundCommand;
    PlayerInstance->cOutputInst = DSoundProp;
    PlayerInstance->DSoundProp = DSoundProp;
    return 1;
}

void DeleteDSoundInstance(void* cOutputInst)
{
    if (!cOutputInst)
        return;
    // Outside the lock: this waits for the stream's end-of-stream thread.
    FreeDSoundBuffers(static_cast<DSoundPropType*>(cOutputInst));
    ZEBLockGuard Guard(CodecCritical);
    if (DSoundInstances > 0 && --DSoundInstances == 0)
        ReleaseAllDevices();
}

char** EnumerateDeviceArray(unsigned int* Count)
{
    ZEBLockGuard Guard(CodecCritical);
    EnsureDeviceList();
    char** Array = static_cast<char**>(malloc((DeviceCount ? DeviceCount : 1) * sizeof(char*)));
    if (!Array) {
        *Count = 0;
        return nullptr;
    }
    for (unsigned I = 0; I < DeviceCount; ++I)
        Array[I] = DeviceEnums[I].Description;
    *Count = DeviceCount;
    return Array;
}
