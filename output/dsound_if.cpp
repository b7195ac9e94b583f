// DirectSound-style output: device list and open, the per-player stream
// record with its looping one-second buffer, the stream write, preload,
// play-out by the end-of-stream thread, and volume and rate control.
#include "dsound_if.h"

#include "core/zeb-audiodefs.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

WAVEFORMATEX wfx;

namespace {

// ZEB_NTF_ERROR details of ZEB_ERR_DSOUND_BUFFER.
constexpr uint16_t SampleBytes = 2; // the buffer always holds 16-bit samples
constexpr uint32_t DetailStalled = 1;
constexpr uint32_t DetailCursor = 2;
constexpr uint32_t DetailLock = 3;
constexpr uint32_t DetailUnlock = 4;
constexpr uint32_t DetailSetPosition = 5;
constexpr uint32_t DetailWriteCursor = 6;
constexpr uint32_t DetailClear = 7;
constexpr uint32_t DetailFinalStop = 8;
constexpr uint32_t DetailDeviceLost = DSoundDetailDeviceLost;

constexpr uint32_t PrimaryFlags = DSBCAPS_PRIMARYBUFFER | DSBCAPS_CTRLVOLUME;
constexpr uint32_t SecondaryFlags =
    DSBCAPS_GETCURRENTPOSITION2 | DSBCAPS_GLOBALFOCUS | DSBCAPS_CTRLVOLUME | DSBCAPS_CTRLFREQUENCY;
constexpr uint16_t MasterBits = 16;
constexpr size_t EndStreamStack = 0x10000;
constexpr int EndStreamJoinMs = 5000;
constexpr uint32_t FullLevel = 100;
constexpr uint32_t PlayOutPollMs = 5;
// The longest an output's queue is waited for once a stream has played out.
constexpr uint32_t MaxOutputLatencyUs = 500000;
constexpr uint32_t MinWaitMs = 1;
// Longest single sleep of a wait for room: wake-up lateness must never let
// the play cursor run past the last written byte.
constexpr uint32_t MaxWaitMs = 50;

std::atomic<uint32_t> StallTimeoutMs{DSoundStallTimeoutMs};

// Module state of the running enumeration (callers serialise it).
unsigned EnumCount = 0;
DeviceEnumType* DeviceEnums = nullptr;

typedef std::unique_lock<ZEBCriticalSection> RecordLock;

void PostError(DSoundPropType* DSoundProp, uint32_t Error, uint32_t Detail)
{
    db_printf("dsound: error %u detail %u\n", Error, Detail);
    PostHostMessage(DSoundProp->hPar, DSoundProp->Player, ZEB_NTF_ERROR, Error, Detail);
}

// Copies a description, shortened to fit without cutting a UTF-8 sequence.
void CopyDescription(char* Dest, size_t Capacity, const char* Source)
{
    size_t Length = Source ? strlen(Source) : 0;
    if (Length >= Capacity) {
        Length = Capacity - 1;
        while (Length > 0 && (static_cast<unsigned char>(Source[Length]) & 0xC0) == 0x80)
            --Length;
    }
    if (Length)
        memcpy(Dest, Source, Length);
    Dest[Length] = '\0';
}

void FillMasterFormat(WAVEFORMATEX* Format)
{
    Format->wFormatTag = WAVE_FORMAT_PCM;
    Format->nChannels = DSMixChannels;
    Format->nSamplesPerSec = DSMixRate;
    Format->wBitsPerSample = MasterBits;
    Format->nBlockAlign = static_cast<uint16_t>(Format->wBitsPerSample / 8 * Format->nChannels);
    Format->nAvgBytesPerSec = Format->nBlockAlign * Format->nSamplesPerSec;
    Format->cbSize = 0;
}

// Gives up the record's buffer after a failure: stopped, released, and the
// record counts as stopped so that a drain returns. Lock held.
void GiveUpBuffer(DSoundPropType* DSoundProp)
{
    DSoundProp->AbortClose = 1;
    if (DSoundProp->lpdsb)
        DSBufferStop(DSoundProp->lpdsb);
    DSBufferRelease(DSoundProp->lpdsb);
    DSoundProp->lpdsb = nullptr;
    DSoundProp->BufferPreLoaded = 0;
    DSoundProp->StartPending = false;
    DSoundProp->BuffersStop = 1; // last: a drain waiting for it sees the record settled
}

// Replaces the record's buffer by one of its current format. Lock held.
bool RecreateBuffer(DSoundPropType* DSoundProp)
{
    ++DSoundProp->PlayOutGen; // a play-out of the old buffer has nothing left to act on
    DSBufferRelease(DSoundProp->lpdsb);
    DSoundProp->lpdsb = nullptr;
    DSoundProp->BuffersStop = 1;
    DSoundProp->BufferPreLoaded = 0;
    DSoundProp->StartPending = false;
    DSoundProp->lBufferCount = 0;
    DSoundProp->sWritePtr = 0;
    uint32_t Size = 0;
    DSoundProp->lpdsb = CreateSecondaryBuffer(DSoundProp->lpds, DSoundProp->SampleRate, DSoundProp->Channels, &Size);
    if (!DSoundProp->lpdsb)
        return false;
    DSoundProp->sBufferSize = Size;
    if (DSoundProp->lBufferSize < Size / 2) {
        uint8_t* Grown = static_cast<uint8_t*>(realloc(DSoundProp->lBuffer, Size / 2));
        if (Grown) {
            DSoundProp->lBuffer = Grown;
            DSoundProp->lBufferSize = Size / 2;
        }
    }
    return true;
}

// Makes room for Extra more held bytes; false when memory runs out.
bool ReserveHeld(DSoundPropType* DSoundProp, uint32_t Extra)
{
    uint64_t Needed = static_cast<uint64_t>(DSoundProp->lBufferCount) + Extra;
    if (Needed <= DSoundProp->lBufferSize)
        return true;
    if (Needed > UINT32_MAX)
        return false;
    uint8_t* Grown = static_cast<uint8_t*>(realloc(DSoundProp->lBuffer, Needed));
    if (!Grown)
        return false;
    DSoundProp->lBuffer = Grown;
    DSoundProp->lBufferSize = static_cast<uint32_t>(Needed);
    return true;
}

// Detects a playing buffer whose cursor stands still.
struct StallWatch {
    uint32_t LastCursor = UINT32_MAX;
    uint32_t Since = GetTickCount();

    void Check(uint32_t Cursor, bool Playing)
    {
        uint32_t Now = GetTickCount();
        if (!Playing || Cursor != LastCursor) {
            LastCursor = Cursor;
            Since = Now;
        } else if (Now - Since > StallTimeoutMs) {
            throw DSoundFailure{DetailStalled};
        }
    }
};

// True when play-out request Gen may no longer act: cancelled by new data,
// a stop or a release, or followed by a newer request.
bool PlayOutCancelled(const DSoundPropType* DSoundProp, uint32_t Gen)
{
    return DSoundProp->AbortClose || DSoundProp->PlayOutGen != Gen;
}

bool WaitCancelled(const DSoundPropType* DSoundProp, const uint32_t* PlayOutGen)
{
    return PlayOutGen && PlayOutCancelled(DSoundProp, *PlayOutGen);
}

// Reads the play cursor under the lock; false when the record has no buffer.
bool ReadPlayCursor(DSoundPropType* DSoundProp, uint32_t* Cursor, bool* Playing)
{
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb)
        return false;
    uint32_t Status = 0;
    DSResult Result = DSBufferGetCurrentPosition(DSoundProp->lpdsb, Cursor, nullptr);
    if (Result == DSERR_BUFFERLOST)
        throw DSoundFailure{DetailDeviceLost};
    if (Result != DS_OK || DSBufferGetStatus(DSoundProp->lpdsb, &Status) != DS_OK)
        throw DSoundFailure{DetailCursor};
    *Playing = (Status & DSBSTATUS_PLAYING) != 0;
    return true;
}

// True when the buffer's device is lost: nothing written would be heard.
bool BufferLost(DSoundPropType* DSoundProp)
{
    uint32_t Status = 0;
    return DSBufferGetStatus(DSoundProp->lpdsb, &Status) == DS_OK && (Status & DSBSTATUS_BUFFERLOST);
}

// Waits until the play cursor has moved past Offset into the silence that
// follows it: all written audio has been played.
bool WaitPlayedPast(DSoundPropType* DSoundProp, uint32_t Offset, uint32_t Silence, uint32_t BufferSize,
                    uint32_t Gen)
{
    StallWatch Watch;
    for (;;) {
        if (PlayOutCancelled(DSoundProp, Gen))
            return false;
        uint32_t Cursor = 0;
        bool Playing = false;
        if (!ReadPlayCursor(DSoundProp, &Cursor, &Playing))
            return false;
        Watch.Check(Cursor, Playing);
        if (PlayBackDelta(Cursor, Offset, BufferSize) < Silence)
            return true;
        Sleep(PlayOutPollMs);
    }
}

// Time the buffer takes to play Bytes at its current rate ratio.
uint32_t PlayTimeMs(DSoundPropType* DSoundProp, uint32_t Bytes, uint32_t BufferSize)
{
    float Ratio;
    {
        RecordLock Lock(DSoundProp->hCritical);
        Ratio = DSoundProp->SampleRateRatio;
    }
    double Ms = static_cast<double>(Bytes) * 1000.0 / BufferSize / (Ratio > 0.0f ? Ratio : 1.0f);
    return Ms < UINT32_MAX ? static_cast<uint32_t>(Ms) : UINT32_MAX;
}

// Starts the buffer playing; the failure is posted. Lock held.
bool PlayFromCursor(DSoundPropType* DSoundProp)
{
    db_printf("dsound: playback commence\n");
    if (DSBufferPlay(DSoundProp->lpdsb, 0, 0, DSBPLAY_LOOPING) != DS_OK) {
        PostError(DSoundProp, ZEB_ERR_DSOUND_PLAYBACK, 0);
        DSoundProp->BuffersStop = 1;
        return false;
    }
    return true;
}

// Readies the buffer for the first block of a stream. A preload plays at
// once from position 0. Otherwise the buffer is cleared and left stopped
// with W at 0: the first block goes in before the buffer starts, so its
// first frame is the next one mixed and nothing of it can be passed over.
// Lock held; false when the block is to be dropped (the failure is posted).
bool StartPlayback(DSoundPropType* DSoundProp)
{
    DSBuffer* Buffer = DSoundProp->lpdsb;
    DSoundProp->WaitResumes = false; // a new stream's cursor owes nothing to the last one's
    if (DSBufferSetCurrentPosition(Buffer, 0) != DS_OK) {
        PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, DetailSetPosition);
        return false;
    }
    db_printf("dsound: buffer clear\n");
    if (DSoundProp->BufferPreLoaded) {
        DSoundProp->BufferPreLoaded = 0; // play the preload from where it left W
        if (!PlayFromCursor(DSoundProp))
            return false;
    } else {
        uint32_t WriteCursor = 0;
        if (DSBufferGetCurrentPosition(Buffer, nullptr, &WriteCursor) != DS_OK) {
            PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, DetailWriteCursor);
            return false;
        }
        DSoundProp->sWritePtr = 0;
        if (!ClearSecondaryBuffer(DSoundProp, 0, DSoundProp->sBufferSize)) {
            PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, DetailClear);
            return false;
        }
        DSoundProp->StartPending = true;
    }
    DSoundProp->BuffersStop = 0;
    DSoundProp->AbortClose = 1; // a new stream cancels any play-out still pending
    return true;
}

// Copies one block into the buffer at W. Lock held; throws DSoundFailure.
void WriteSpans(DSoundPropType* DSoundProp, uint32_t Offset, const uint8_t* Bytes, uint32_t Size)
{
    void* First = nullptr;
    void* Second = nullptr;
    uint32_t FirstLen = 0, SecondLen = 0;
    db_printf("dsound: buffer update in progress\n");
    if (DSBufferLock(DSoundProp->lpdsb, Offset, Size, &First, &FirstLen, &Second, &SecondLen, 0) != DS_OK)
        throw DSoundFailure{DetailLock};
    memcpy(First, Bytes, FirstLen);
    if (SecondLen)
        memcpy(Second, Bytes + FirstLen, SecondLen);
    if (DSBufferUnlock(DSoundProp->lpdsb, First, FirstLen, Second, SecondLen) != DS_OK)
        throw DSoundFailure{DetailUnlock};
}

// Blocks above three quarters of the buffer are cut into quarter pieces: the
// play cursor moves in steps, so free space close to the whole buffer may
// never be seen.
uint32_t CutThreshold(uint32_t BufferSize)
{
    return BufferSize - BufferSize / 4;
}

// Writes the bytes a preload left over, before anything newer; that write
// runs to its end whatever the caller allows. Lock held by the caller.
void PlaceHeldBytes(DSoundPropType* DSoundProp, uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate)
{
    uint32_t Held = DSoundProp->lBufferCount;
    DSoundProp->lBufferCount = 0;
    CmdQueue* Wake = DSoundProp->WakeQueue;
    DSoundProp->WakeQueue = nullptr;
    StreamToDSoundBuffer(DSoundProp, BytesPerSample, Channels, SampleRate, DSoundProp->lBuffer, Held);
    DSoundProp->WakeQueue = Wake;
}

// Places one block of at most the cut threshold; false only when a queued
// command ended the wait for room first. Lock held by the caller.
bool PlaceBlock(DSoundPropType* DSoundProp, uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate,
                const uint8_t* Bytes, uint32_t Size)
{
    if (BufferLost(DSoundProp)) { // reported once: the buffer goes, later writes skip
        PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, DetailDeviceLost);
        GiveUpBuffer(DSoundProp);
        return true;
    }
    if (DSoundProp->BuffersStop) {
        if (!StartPlayback(DSoundProp))
            return true;
    } else {
        DSoundProp->AbortClose = 1; // new data cancels a pending play-out
    }
    if (DSoundProp->lBufferCount) {
        PlaceHeldBytes(DSoundProp, BytesPerSample, Channels, SampleRate);
        if (!DSoundProp->lpdsb)
            return true;
    }
    uint32_t N = DSoundProp->sBufferSize;
    try {
        uint32_t W = DSoundProp->sWritePtr;
        DSoundProp->WriteInterrupted = false;
        // A buffer not yet started is empty: the block (at most the cut
        // threshold) fits without waiting.
        if (!DSoundProp->StartPending && !WaitForBufferSpace(DSoundProp, W, Size, N, nullptr))
            return !DSoundProp->WriteInterrupted;
        WriteSpans(DSoundProp, W, Bytes, Size);
        DSoundProp->sWritePtr = (W + Size) % N;
        if (DSoundProp->StartPending) {
            DSoundProp->StartPending = false;
            PlayFromCursor(DSoundProp);
        }
    } catch (const DSoundFailure& Failure) {
        PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, Failure.Detail);
        GiveUpBuffer(DSoundProp);
    }
    return true;
}

void PostPlayedOutIfOwed(DSoundPropType* DSoundProp)
{
    if (DSoundProp->PlayedOutOwed.exchange(0))
        PostHostMessage(DSoundProp->hPar, DSoundProp->Player, ZEB_NTF_PLAYED_OUT, 0, 0);
}

// Waits until a playing buffer may be replaced: the end-of-stream thread
// stops it after its play-out. Without a pending play-out nothing else
// would stop it, so it is left to the release.
void WaitUntilStopped(DSoundPropType* DSoundProp)
{
    while (!DSoundProp->BuffersStop && !DSoundProp->AbortClose)
        Sleep(1);
}

// One play-out: wait until at most half a buffer is unplayed, silence the
// half after the last byte, let the rest play and stop.
// Every step that changes the buffer re-checks, under the lock, that the
// request it serves is still the current one.
void PlayOut(DSoundPropType* DSoundProp)
{
    uint32_t W, N, Gen;
    {
        RecordLock Lock(DSoundProp->hCritical);
        if (!DSoundProp->lpdsb)
            return;
        W = DSoundProp->sWritePtr;
        N = DSoundProp->sBufferSize;
        Gen = DSoundProp->PlayOutGen;
    }
    uint32_t H = N / 2;
    if (!WaitForBufferSpace(DSoundProp, W, H, N, &Gen))
        return;
    {
        RecordLock Lock(DSoundProp->hCritical);
        if (PlayOutCancelled(DSoundProp, Gen))
            return;
        ClearSecondaryBuffer(DSoundProp, W, H);
        DSoundProp->SilenceAfterEnd = true;
    }
    if (!WaitPlayedPast(DSoundProp, W, H, N, Gen))
        return;
    RecordLock Lock(DSoundProp->hCritical);
    if (PlayOutCancelled(DSoundProp, Gen) || !DSoundProp->lpdsb)
        return;
    if (DSBufferStop(DSoundProp->lpdsb) != DS_OK)
        throw DSoundFailure{DetailFinalStop};
    DSoundProp->BuffersStop = 1;
    if (!DSoundProp->PlayedOutOwed.exchange(0))
        return;
    uint32_t UnheardUs = 0;
    DSBufferGetUnheard(DSoundProp->lpdsb, &UnheardUs);
    Lock.unlock();
    // The output still plays the end: the host hears of it once it has.
    Sleep(UnheardUs < MaxOutputLatencyUs ? (UnheardUs + 999) / 1000 : MaxOutputLatencyUs / 1000);
    PostHostMessage(DSoundProp->hPar, DSoundProp->Player, ZEB_NTF_PLAYED_OUT, 0, 0);
}

// A failure gives the buffer up; the thread stays to serve a later buffer.
void GuardedPlayOut(DSoundPropType* DSoundProp)
{
    try {
        PlayOut(DSoundProp);
    } catch (const DSoundFailure& Failure) {
        RecordLock Lock(DSoundProp->hCritical);
        PostError(DSoundProp, ZEB_ERR_DSOUND_BUFFER, Failure.Detail);
        GiveUpBuffer(DSoundProp);
    } catch (...) {
        RecordLock Lock(DSoundProp->hCritical);
        PostError(DSoundProp, ZEB_ERR_UNHANDLED_EXCEPTION, ZEB_EXC_ENDSTREAM_THREAD);
        GiveUpBuffer(DSoundProp);
    }
}

void ReleaseRecord(DSoundPropType* DSoundProp)
{
    if (DSoundProp->hEvent)
        CloseEvent(DSoundProp->hEvent);
    DSBufferRelease(DSoundProp->lpdsb);
    free(DSoundProp->lBuffer);
    delete DSoundProp;
}

bool ValidRatioRate(long double Frequency)
{
    return Frequency >= DSBFREQUENCY_MIN && Frequency < static_cast<long double>(DSBFREQUENCY_MAX) + 1;
}

} // namespace

// ---- Devices ----

DeviceEnumType* EnumerateDevices(unsigned* Count)
{
    EnumCount = 0;
    DeviceEnums = nullptr;
    if (DirectSoundEnumerateA(DSEnumProc, nullptr) < 0) {
        free(DeviceEnums);
        DeviceEnums = nullptr;
        return nullptr;
    }
    *Count = EnumCount;
    DeviceEnumType* List = DeviceEnums;
    DeviceEnums = nullptr;
    return List;
}

int DSEnumProc(void* lpGUID, const char* lpszDesc, const char* lpszDrvName, void* lpContext)
{
    DeviceEnumType* Grown =
        static_cast<DeviceEnumType*>(realloc(DeviceEnums, (EnumCount + 1) * sizeof(DeviceEnumType)));
    if (!Grown)
        return 0; // out of memory: keep the devices listed so far
    DeviceEnums = Grown;
    DeviceEnumType* Entry = &DeviceEnums[EnumCount++];
    Entry->lpGUID = lpGUID;
    CopyDescription(Entry->Description, sizeof(Entry->Description), lpszDesc);
    return 1;
}

void FreeEnumDevices(DeviceEnumType* DeviceEnums)
{
    free(DeviceEnums);
}

DSDevice* InitDSound(void* hwnd, void* pguid, DSBuffer** lpDSPrimaryBuffer)
{
    DSDevice* lpds = nullptr;
    if (DirectSoundCreate(pguid, &lpds, nullptr) < 0)
        return nullptr;
    if (DSDeviceSetCooperativeLevel(lpds, hwnd, DSSCL_PRIORITY) < 0) {
        DSDeviceRelease(lpds);
        return nullptr;
    }
    DSBUFFERDESC Desc = {};
    Desc.dwSize = DSBUFFERDESC_SIZE;
    Desc.dwFlags = PrimaryFlags;
    DSBuffer* Primary = nullptr;
    if (DSDeviceCreateSoundBuffer(lpds, &Desc, &Primary, nullptr) < 0) {
        DSDeviceRelease(lpds);
        return nullptr;
    }
    FillMasterFormat(&wfx);
    DSBufferSetFormat(Primary, &wfx);
    *lpDSPrimaryBuffer = Primary;
    return lpds;
}

void CloseDSound(DSDevice* lpds)
{
    if (lpds)
        DSDeviceRelease(lpds);
}

// ---- Stream record ----

DSBuffer* CreateSecondaryBuffer(DSDevice* lpds, uint32_t SampleRate, uint32_t Channels, uint32_t* BufferSize)
{
    if (!lpds || Channels == 0 || Channels > DSMixChannels || SampleRate > DSBFREQUENCY_MAX)
        return nullptr;
    // From the constant master format, not from wfx: other players' device
    // opens rewrite that under the library lock while this runs.
    WAVEFORMATEX Format;
    FillMasterFormat(&Format);
    Format.nChannels = static_cast<uint16_t>(Channels);
    Format.nSamplesPerSec = SampleRate;
    Format.nBlockAlign = static_cast<uint16_t>(Format.wBitsPerSample / 8 * Format.nChannels);
    Format.nAvgBytesPerSec = Format.nBlockAlign * Format.nSamplesPerSec;
    DSBUFFERDESC Desc = {};
    Desc.dwSize = DSBUFFERDESC_SIZE;
    Desc.dwFlags = SecondaryFlags;
    Desc.dwBufferBytes = Format.nAvgBytesPerSec;
    Desc.lpwfxFormat = &Format;
    DSBuffer* Buffer = nullptr;
    if (DSDeviceCreateSoundBuffer(lpds, &Desc, &Buffer, nullptr) < 0)
        return nullptr;
    *BufferSize = Desc.dwBufferBytes;
    return Buffer;
}

DSoundPropType* InitDSoundBuffers(DSDevice* lpds, void* hPar)
{
    WAVEFORMATEX Master;
    FillMasterFormat(&Master);
    uint32_t Size = 0;
    DSBuffer* Buffer = CreateSecondaryBuffer(lpds, Master.nSamplesPerSec, Master.nChannels, &Size);
    if (!Buffer)
        return nullptr;
    DSoundPropType* DSoundProp = new (std::nothrow) DSoundPropType{};
    if (!DSoundProp) {
        DSBufferRelease(Buffer);
        return nullptr;
    }
    DSoundProp->lpds = lpds;
    DSoundProp->lpdsb = Buffer;
    DSoundProp->sByteCount = Size;
    DSoundProp->lBuffer = static_cast<uint8_t*>(malloc(Size / 2));
    DSoundProp->lBufferSize = Size / 2;
    DSoundProp->BuffersStop = 1;
    DSoundProp->hEvent = CreateEvent(false, false);
    DSoundProp->SampleRate = Master.nSamplesPerSec;
    DSoundProp->Channels = Master.nChannels;
    DSoundProp->SampleRateRatio = 1.0f;
    DSoundProp->sBufferSize = Size;
    DSoundProp->hPar = hPar;
    DSoundProp->Level = FullLevel;
    if (!DSoundProp->lBuffer || !DSoundProp->hEvent) {
        ReleaseRecord(DSoundProp);
        return nullptr;
    }
    DSoundProp->hThread = StartThread(EndStreamThread, DSoundProp, EndStreamStack, nullptr);
    if (!DSoundProp->hThread) {
        ReleaseRecord(DSoundProp);
        return nullptr;
    }
    SetDSoundBufferVolume(DSoundProp, FullLevel);
    return DSoundProp;
}

int SetDSoundBufferFormat(DSoundPropType* DSoundProp, uint32_t SampleRate, uint16_t Channels)
{
    if (SampleRate == DSoundProp->SampleRate && Channels == DSoundProp->Channels)
        return 1;
    WaitUntilStopped(DSoundProp);
    {
        RecordLock Lock(DSoundProp->hCritical);
        DSoundProp->SampleRate = SampleRate;
        DSoundProp->Channels = Channels;
        if (!RecreateBuffer(DSoundProp))
            return 0;
    }
    SetDSoundBufferVolume(DSoundProp, DSoundProp->Level);
    return SetDSoundBufferFrequency(DSoundProp, DSoundProp->SampleRateRatio);
}

void FreeDSoundBuffers(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return;
    DSoundProp->AbortThread = 1;
    DSoundProp->AbortClose = 1;
    SetEvent(DSoundProp->hEvent);
    if (!WaitThread(DSoundProp->hThread, EndStreamJoinMs)) {
        // The thread checks both flags at every step; it cannot be far off.
        db_printf("dsound: end-of-stream thread late\n");
        WaitThread(DSoundProp->hThread, -1);
    }
    CloseThread(DSoundProp->hThread);
    ReleaseRecord(DSoundProp);
}

// ---- Volume and frequency ----

int32_t LevelToAttenuation(uint32_t Level)
{
    if (Level == 0)
        return DSBVOLUME_MIN;
    double Fraction = Level * 0.01;
    return static_cast<int32_t>(std::log10(Fraction) * 2000.0);
}

uint32_t AttenuationToLevel(int32_t Attenuation)
{
    return static_cast<uint32_t>(std::pow(10.0, Attenuation / 2000.0) * 100.0);
}

int SetDSoundBufferVolume(DSoundPropType* DSoundProp, uint32_t Level)
{
    if (!DSoundProp)
        return 0;
    int32_t Attenuation = LevelToAttenuation(Level);
    RecordLock Lock(DSoundProp->hCritical);
    if (DSoundProp->lpdsb) {
        if (DSBufferSetVolume(DSoundProp->lpdsb, Attenuation) != DS_OK)
            return 0;
    } else if (Attenuation < DSBVOLUME_MIN || Attenuation > DSBVOLUME_MAX) {
        return 0;
    }
    DSoundProp->Level = Level;
    return 1;
}

int SetDSoundPrimaryVolume(DSBuffer* lpdsbPrimary, uint32_t Level)
{
    return lpdsbPrimary && DSBufferSetVolume(lpdsbPrimary, LevelToAttenuation(Level)) == DS_OK ? 1 : 0;
}

uint32_t GetDSoundPrimaryVolume(DSBuffer* lpdsbPrimary)
{
    int32_t Attenuation = 0;
    if (!lpdsbPrimary || DSBufferGetVolume(lpdsbPrimary, &Attenuation) != DS_OK)
        return 0;
    return AttenuationToLevel(Attenuation);
}

uint32_t GetDSoundBufferVolume(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    int32_t Attenuation = 0;
    if (!DSoundProp->lpdsb || DSBufferGetVolume(DSoundProp->lpdsb, &Attenuation) != DS_OK)
        return 0;
    return AttenuationToLevel(Attenuation);
}

int SetDSoundBufferFrequency(DSoundPropType* DSoundProp, float Ratio)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    long double Frequency = static_cast<long double>(DSoundProp->SampleRate) * static_cast<long double>(Ratio);
    if (!ValidRatioRate(Frequency))
        return 0;
    if (DSoundProp->lpdsb && DSBufferSetFrequency(DSoundProp->lpdsb, static_cast<uint32_t>(Frequency)) != DS_OK)
        return 0;
    DSoundProp->SampleRateRatio = Ratio; // without a buffer: applied to the next one
    return 1;
}

// ---- Streaming ----

uint32_t PlayBackDelta(uint32_t PlayCursor, uint32_t WriteCursor, uint32_t sBufferSize)
{
    return WriteCursor > PlayCursor ? PlayCursor + sBufferSize - WriteCursor : PlayCursor - WriteCursor;
}

// Sleeps Ms while waiting for room. A writer that may stop early wakes at
// once when its player is sent a command: true then. Play-outs just sleep.
bool SleepUnlessCommand(DSoundPropType* DSoundProp, uint32_t Ms, const uint32_t* PlayOutGen)
{
    if (PlayOutGen || !DSoundProp->WakeQueue) {
        Sleep(Ms);
        return false;
    }
    return CmdQueueWaitPending(DSoundProp->WakeQueue, Ms) != 0;
}

// The watch a wait for room starts with: the one an interrupted wait left.
StallWatch ResumedWatch(DSoundPropType* DSoundProp)
{
    StallWatch Watch;
    if (DSoundProp->WaitResumes) {
        Watch.LastCursor = DSoundProp->WaitCursor;
        Watch.Since = DSoundProp->WaitSince;
    }
    DSoundProp->WaitResumes = false;
    return Watch;
}

void KeepWatch(DSoundPropType* DSoundProp, const StallWatch& Watch)
{
    DSoundProp->WaitResumes = true;
    DSoundProp->WaitCursor = Watch.LastCursor;
    DSoundProp->WaitSince = Watch.Since;
}

bool WaitForBufferSpace(DSoundPropType* DSoundProp, uint32_t Offset, uint32_t BufSiz, uint32_t sBufferSize,
                        const uint32_t* PlayOutGen)
{
    StallWatch Watch = PlayOutGen ? StallWatch{} : ResumedWatch(DSoundProp);
    for (;;) {
        if (WaitCancelled(DSoundProp, PlayOutGen))
            return false;
        uint32_t Cursor = 0;
        bool Playing = false;
        if (!ReadPlayCursor(DSoundProp, &Cursor, &Playing))
            return false;
        uint32_t Free = PlayBackDelta(Cursor, Offset, sBufferSize);
        if (Free >= BufSiz) {
            db_printf("No delay P:%u,W:%u): %u\n", Cursor, Offset, Free);
            return true;
        }
        Watch.Check(Cursor, Playing);
        uint32_t DelayMs = PlayTimeMs(DSoundProp, BufSiz - Free, sBufferSize);
        db_printf("hDelay (P:%u,W:%u): %u\n", Cursor, Offset, DelayMs);
        if (SleepUnlessCommand(DSoundProp, std::clamp(DelayMs, MinWaitMs, MaxWaitMs), PlayOutGen)) {
            DSoundProp->WriteInterrupted = true;
            KeepWatch(DSoundProp, Watch);
            return false;
        }
    }
}

// Places Size bytes block by block until all are placed or a queued command
// ends a wait (when the record has a WakeQueue); the bytes placed. Lock held.
uint32_t PlaceBlocks(DSoundPropType* DSoundProp, uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate,
                     const uint8_t* Bytes, uint32_t Size)
{
    uint32_t N = DSoundProp->sBufferSize;
    uint32_t Piece = Size > CutThreshold(N) ? N / 4 : Size;
    uint32_t Placed = 0;
    while (Placed < Size && DSoundProp->lpdsb) {
        uint32_t Len = std::min(Piece, Size - Placed);
        if (!PlaceBlock(DSoundProp, BytesPerSample, Channels, SampleRate, Bytes + Placed, Len))
            return Placed;
        Placed += Len;
    }
    return Size; // all placed, or the buffer was given up and takes nothing more
}

// Takes the record's format to SampleRate and Channels; a failure is
// reported and the write goes on to the buffer as it is.
void FollowFormat(DSoundPropType* DSoundProp, uint32_t SampleRate, uint16_t Channels)
{
    if (!SetDSoundBufferFormat(DSoundProp, SampleRate, Channels))
        PostError(DSoundProp, ZEB_ERR_DSOUND_FORMAT, 0);
}

void StreamToDSoundBuffer(DSoundPropType* DSoundProp, uint16_t BytesPerSample, uint16_t Channels,
                          uint32_t SampleRate, void* Buffer, uint32_t Size)
{
    if (!DSoundProp)
        return;
    FollowFormat(DSoundProp, SampleRate, Channels);
    RecordLock Lock(DSoundProp->hCritical);
    if (DSoundProp->lpdsb && Buffer && Size)
        PlaceBlocks(DSoundProp, BytesPerSample, Channels, SampleRate, static_cast<const uint8_t*>(Buffer), Size);
}

uint32_t StreamToDSoundBufferUntilCommand(DSoundPropType* DSoundProp, uint16_t Channels, uint32_t SampleRate,
                                          const uint8_t* Bytes, uint32_t Size, CmdQueue* Wake)
{
    if (!DSoundProp)
        return Size;
    FollowFormat(DSoundProp, SampleRate, Channels);
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb || !Bytes || Size == 0)
        return Size;
    DSoundProp->WakeQueue = Wake;
    uint32_t Placed = PlaceBlocks(DSoundProp, SampleBytes, Channels, SampleRate, Bytes, Size);
    DSoundProp->WakeQueue = nullptr;
    return Placed;
}

int IsPreloadBufferReady(DSoundPropType* DSoundProp)
{
    return DSoundProp && DSoundProp->BuffersStop ? 1 : 0;
}

int PreloadDSoundBuffer(DSoundPropType* DSoundProp, void* Buffer, uint32_t Size)
{
    if (!DSoundProp)
        return 1;
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb || !DSoundProp->BuffersStop)
        return 1; // nothing can be preloaded
    if (DSoundProp->BufferPreLoaded && DSoundProp->sByteCount == 0)
        DSoundProp->BufferPreLoaded = 0;
    if (!DSoundProp->BufferPreLoaded) {
        DSoundProp->sWritePtr = 0;
        DSoundProp->lBufferCount = 0;
        DSoundProp->sByteCount = DSoundProp->sBufferSize;
        DSoundProp->BufferPreLoaded = 1;
        DSoundProp->AbortClose = 1;
    }
    if (!Buffer || Size == 0)
        return 0;
    const uint8_t* Bytes = static_cast<const uint8_t*>(Buffer);
    uint32_t Fits = Size < DSoundProp->sByteCount ? Size : DSoundProp->sByteCount;
    void* Span = nullptr;
    uint32_t SpanLen = 0;
    if (DSBufferLock(DSoundProp->lpdsb, DSoundProp->sWritePtr, Fits, &Span, &SpanLen, nullptr, nullptr, 0) != DS_OK) {
        DSoundProp->BufferPreLoaded = 0; // the first write starts afresh
        return 1;
    }
    memcpy(Span, Bytes, SpanLen);
    if (DSBufferUnlock(DSoundProp->lpdsb, Span, SpanLen, nullptr, 0) != DS_OK) {
        DSoundProp->BufferPreLoaded = 0;
        return 1;
    }
    DSoundProp->sWritePtr += Fits;
    DSoundProp->sByteCount -= Fits;
    uint32_t Rest = Size - Fits;
    if (Rest && ReserveHeld(DSoundProp, Rest)) {
        memcpy(DSoundProp->lBuffer + DSoundProp->lBufferCount, Bytes + Fits, Rest);
        DSoundProp->lBufferCount += Rest;
    }
    if (DSoundProp->sByteCount == 0) {
        DSoundProp->sWritePtr = 0;
        return 1;
    }
    return 0;
}

int PreloadDSoundBufferFormat(DSoundPropType* DSoundProp, void* Buffer, uint32_t Size, uint16_t Channels,
                              uint32_t SampleRate)
{
    if (!DSoundProp)
        return 1;
    if (!DSoundProp->BuffersStop)
        return 1;
    if (!SetDSoundBufferFormat(DSoundProp, SampleRate, Channels)) {
        PostError(DSoundProp, ZEB_ERR_DSOUND_FORMAT, 0);
        RecordLock Lock(DSoundProp->hCritical);
        if (!DSoundProp->lpdsb)
            return 1;
    }
    return PreloadDSoundBuffer(DSoundProp, Buffer, Size);
}

void StartPendingPreload(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return;
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb || !DSoundProp->BuffersStop || !DSoundProp->BufferPreLoaded)
        return;
    if (!StartPlayback(DSoundProp))
        return;
    if (DSoundProp->lBufferCount) {
        uint32_t Held = DSoundProp->lBufferCount;
        DSoundProp->lBufferCount = 0;
        StreamToDSoundBuffer(DSoundProp, SampleBytes, DSoundProp->Channels, DSoundProp->SampleRate,
                             DSoundProp->lBuffer, Held);
    }
}

int IsDSoundStreamGivenUp(DSoundPropType* DSoundProp)
{
    RecordLock Lock(DSoundProp->hCritical);
    return DSoundProp->lpdsb == nullptr;
}

void OpenDSoundBufferStream(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return;
    ForgetDSoundPreload(DSoundProp);
    RecordLock Lock(DSoundProp->hCritical);
    DSoundProp->SilenceAfterEnd = false;
    DSoundProp->PlayedOutOwed = 0;
    if (!DSoundProp->lpdsb && RecreateBuffer(DSoundProp)) {
        // A new stream gets a new buffer after a failure took the old one.
        Lock.unlock();
        SetDSoundBufferVolume(DSoundProp, DSoundProp->Level);
        SetDSoundBufferFrequency(DSoundProp, DSoundProp->SampleRateRatio);
    }
}

void CloseDSoundBufferStream(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return;
    RecordLock Lock(DSoundProp->hCritical);
    if (DSoundProp->BuffersStop) {
        PostPlayedOutIfOwed(DSoundProp); // nothing left to play
        return;
    }
    ++DSoundProp->PlayOutGen; // a play-out still running belongs to an earlier stream
    DSoundProp->AbortClose = 0;
    SetEvent(DSoundProp->hEvent);
}

void WaitDSoundStreamEnd(DSoundPropType* DSoundProp)
{
    if (!DSoundProp || DSoundProp->AbortClose)
        return;
    while (!DSoundProp->BuffersStop)
        Sleep(1);
}

uint32_t DSoundBufferedMs(DSoundPropType* DSoundProp, bool Paused)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    uint32_t N = DSoundProp->sBufferSize;
    uint32_t Cursor = 0;
    if (!DSoundProp->lpdsb || N == 0 || DSBufferGetCurrentPosition(DSoundProp->lpdsb, &Cursor, nullptr) != DS_OK)
        return 0;
    uint32_t UnheardUs = 0;
    DSBufferGetUnheard(DSoundProp->lpdsb, &UnheardUs);
    uint32_t Unplayed = (DSoundProp->sWritePtr + N - Cursor % N) % N;
    if (DSoundProp->SilenceAfterEnd && Unplayed > N / 2) {
        // Past the last byte: the output's queue ends in the silence after it.
        uint64_t SilenceUs = uint64_t{N - Unplayed} * 1000000u / N;
        return UnheardUs > SilenceUs ? static_cast<uint32_t>((UnheardUs - SilenceUs + 500) / 1000) : 0;
    }
    if (Unplayed == 0 && !DSoundProp->SilenceAfterEnd && (!DSoundProp->BuffersStop || Paused))
        Unplayed = N; // the writer filled the buffer up to the cursor
    if (DSoundProp->BufferPreLoaded)
        Unplayed += DSoundProp->lBufferCount;
    return static_cast<uint32_t>((uint64_t{Unplayed} * 1000000u / N + UnheardUs + 500) / 1000);
}

void OwePlayedOutNotice(DSoundPropType* DSoundProp)
{
    if (DSoundProp)
        DSoundProp->PlayedOutOwed = 1;
}

int PlayDSoundBuffer(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    DSoundProp->WaitResumes = false; // the cursor stood still while paused
    if (!DSoundProp->lpdsb || DSBufferPlay(DSoundProp->lpdsb, 0, 0, DSBPLAY_LOOPING) != DS_OK)
        return 0;
    DSoundProp->BuffersStop = 0;
    return 1;
}

int StopDSoundBuffer(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    DSoundProp->AbortClose = 1; // a stopped stream has nothing left to play out
    if (DSoundProp->lpdsb && DSBufferStop(DSoundProp->lpdsb) != DS_OK)
        return 0;
    DSoundProp->BuffersStop = 1;
    return 1;
}

int ResetDSoundBuffer(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return 0;
    DSoundProp->AbortClose = 1;
    StopDSoundBuffer(DSoundProp);
    ForgetDSoundPreload(DSoundProp); // the cleared buffer no longer holds it
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb)
        return 1;
    ClearSecondaryBuffer(DSoundProp, 0, DSoundProp->sBufferSize);
    return DSBufferSetCurrentPosition(DSoundProp->lpdsb, 0) == DS_OK ? 1 : 0;
}

void ForgetDSoundPreload(DSoundPropType* DSoundProp)
{
    if (!DSoundProp)
        return;
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->BuffersStop)
        return; // a started preload is simply the stream playing
    DSoundProp->BufferPreLoaded = 0;
    DSoundProp->lBufferCount = 0;
}

int ClearSecondaryBuffer(DSoundPropType* DSoundProp, uint32_t Offset, uint32_t Size)
{
    if (!DSoundProp)
        return 0;
    RecordLock Lock(DSoundProp->hCritical);
    if (!DSoundProp->lpdsb)
        return 0;
    void* First = nullptr;
    void* Second = nullptr;
    uint32_t FirstLen = 0, SecondLen = 0;
    if (DSBufferLock(DSoundProp->lpdsb, Offset, Size, &First, &FirstLen, &Second, &SecondLen, 0) != DS_OK)
        return 0;
    memset(First, 0, FirstLen);
    if (SecondLen)
        memset(Second, 0, SecondLen);
    return DSBufferUnlock(DSoundProp->lpdsb, First, FirstLen, Second, SecondLen) == DS_OK ? 1 : 0;
}

void EndStreamThread(void* Params)
{
    DSoundPropType* DSoundProp = static_cast<DSoundPropType*>(Params);
    while (!DSoundProp->AbortThread) {
        WaitEvent(DSoundProp->hEvent, -1);
        if (DSoundProp->AbortThread)
            break;
        db_printf("EndStream thread active..\n");
        GuardedPlayOut(DSoundProp);
    }
}

void SetDSoundStallTimeoutForTesting(uint32_t Ms)
{
    StallTimeoutMs = Ms ? Ms : DSoundStallTimeoutMs;
}
