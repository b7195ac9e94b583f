// Device objects shared by every player's built-in DirectSound output: one
// device object and primary buffer per device index, kept while any
// DirectSound output of any player is open. A device object whose output
// was lost leaves the table at the next open of its index, which connects
// afresh; the outputs still on it keep it until the last of them closes.
#include "dsound_shared.h"

#include "core/player.h"
#include "output/dsound_if.h"
#include "output/modDSound.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

namespace {

// All guarded by CodecCritical.
DeviceEnumType* DeviceEnums = nullptr;
unsigned DeviceCount = 0;        // 0: no device list held
DSDevice** lpdsInstances = nullptr;
DSBuffer** DSoundPBuffers = nullptr;
unsigned InstanceSlots = 0;      // entries of the two arrays
int DSoundInstances = 0;         // DirectSound outputs open, all players, all devices

// Every live device object, in the table or retired from it after a loss,
// with the number of outputs open on it; guarded by CodecCritical. Never
// destroyed, so that a player thread still closing its output while the
// process exits finds it intact.
std::map<DSDevice*, unsigned>& DeviceUsers()
{
    static auto* Users = new std::map<DSDevice*, unsigned>;
    return *Users;
}

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

// Closes every device object, retired ones included: no output is open.
void ReleaseAllDevices()
{
    for (const auto& Entry : DeviceUsers())
        CloseDSound(Entry.first);
    DeviceUsers().clear();
    FreeEnumDevices(DeviceEnums);
    DeviceEnums = nullptr;
    DeviceCount = 0;
    FreeInstanceArrays();
}

// Takes a lost device object out of slot DeviceId; it is closed now if no
// output uses it, else by the last of its outputs to close.
void RetireIfLost(unsigned DeviceId)
{
    DSDevice* Device = lpdsInstances[DeviceId];
    if (!Device || !DSDeviceIsLost(Device))
        return;
    lpdsInstances[DeviceId] = nullptr;
    DSoundPBuffers[DeviceId] = nullptr;
    auto Entry = DeviceUsers().find(Device);
    if (Entry == DeviceUsers().end() || Entry->second == 0) {
        if (Entry != DeviceUsers().end())
            DeviceUsers().erase(Entry);
        CloseDSound(Device);
    }
}

// The device object of slot DeviceId, created when the slot is empty; null
// on failure. *Created tells whether this call made it.
DSDevice* SlotDevice(unsigned DeviceId, void* hMainWnd, bool* Created)
{
    *Created = false;
    if (lpdsInstances[DeviceId])
        return lpdsInstances[DeviceId];
    DSDevice* Device = InitDSound(hMainWnd, DeviceEnums[DeviceId].lpGUID, &DSoundPBuffers[DeviceId]);
    if (!Device)
        return nullptr;
    try {
        DeviceUsers().emplace(Device, 0);
    } catch (const std::bad_alloc&) {
        CloseDSound(Device);
        return nullptr;
    }
    lpdsInstances[DeviceId] = Device;
    *Created = true;
    return Device;
}

void DropCreatedDevice(unsigned DeviceId)
{
    DeviceUsers().erase(lpdsInstances[DeviceId]);
    CloseDSound(lpdsInstances[DeviceId]);
    lpdsInstances[DeviceId] = nullptr;
    DSoundPBuffers[DeviceId] = nullptr;
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
    RetireIfLost(DeviceId);
    bool Created = false;
    DSDevice* Device = SlotDevice(DeviceId, hMainWnd, &Created);
    if (!Device)
        return nullptr;
    DSoundPropType* DSoundProp = InitDSoundBuffers(Device, PlayerInstance->hPar);
    if (!DSoundProp) {
        if (Created)
            DropCreatedDevice(DeviceId);
        return nullptr;
    }
    DSoundProp->Player = PlayerInstance; // set before any stream can post
    DSoundProp->lpdsPrimary = DSoundPBuffers[DeviceId];
    ++DeviceUsers()[Device];
    ++DSoundInstances;
    return DSoundProp;
}

// One output on Device closed: a retired device goes with its last output.
void DeviceUserGone(DSDevice* Device)
{
    auto Entry = DeviceUsers().find(Device);
    if (Entry == DeviceUsers().end() || --Entry->second > 0)
        return;
    for (unsigned I = 0; I < InstanceSlots; ++I)
        if (lpdsInstances[I] == Device)
            return; // still in the table: kept for the next open
    DeviceUsers().erase(Entry);
    CloseDSound(Device);
}

// The device list copied into one heap block that the caller frees with
// free(): Count pointers, then the records they point to. The identifiers
// stay valid for the life of the process, so the copy never dangles.
char** CopyDeviceList()
{
    size_t Pointers = (DeviceCount ? DeviceCount : 1) * sizeof(char*);
    char** Array = static_cast<char**>(malloc(Pointers + DeviceCount * sizeof(DeviceEnumType)));
    if (!Array)
        return nullptr;
    DeviceEnumType* Records = reinterpret_cast<DeviceEnumType*>(reinterpret_cast<char*>(Array) + Pointers);
    if (DeviceCount)
        memcpy(Records, DeviceEnums, DeviceCount * sizeof(DeviceEnumType));
    for (unsigned I = 0; I < DeviceCount; ++I)
        Array[I] = Records[I].Description;
    return Array;
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
    DSoundPropType* DSoundProp = static_cast<DSoundPropType*>(cOutputInst);
    DSDevice* Device = DSoundProp->lpds;
    // Outside the lock: this waits for the stream's end-of-stream thread.
    FreeDSoundBuffers(DSoundProp);
    ZEBLockGuard Guard(CodecCritical);
    DeviceUserGone(Device);
    if (DSoundInstances > 0 && --DSoundInstances == 0)
        ReleaseAllDevices();
}

char** EnumerateDeviceArray(unsigned int* Count)
{
    ZEBLockGuard Guard(CodecCritical);
    EnsureDeviceList();
    char** Array = CopyDeviceList();
    *Count = Array ? DeviceCount : 0;
    return Array;
}
