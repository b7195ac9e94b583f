// The player record, its thread and the command handlers.
#pragma once

#include "engines/engine.h"
#include "core/mpglibdll.h"
#include "zeb-audio.h"
#include "platform/zeb_platform.h"

#include <atomic>
#include <cstdint>

struct DSoundPropType;
struct OutputFilterNode;
struct AIOBufType;

constexpr uint32_t InBufSz = 1251;
constexpr uint16_t SupportChannels = 2;
constexpr uint16_t SupportBytesSample = 2;
constexpr uint32_t DefaultElapsedLimit = 100;
constexpr uint32_t DefaultElapsedTime = 1000;
constexpr uint32_t AudioThreadStack = 0x10000;
constexpr int DestroyWaitMs = 5000;

struct PlayerInstanceType {
    ZEBThread* hThread;
    uint32_t ThreadId;
    void* hPar;                  // host window (ZEBWindow*)
    mpstr MPEGDecodeInfo;
    uint8_t* InBuf;              // InBufSz bytes
    uint8_t* OutBuf;             // OutBufSz bytes
    uint8_t* ScratchBuf;         // OutBufSz bytes
    OutputModule cOutputModule;
    void* cOutputInst;
    DSoundPropType* DSoundProp;
    double ElapsedTime;          // milliseconds decoded
    uint32_t LastTimeNotify;
    uint32_t TimeUpdInterval;
    uint32_t ElapsedLimit;
    std::atomic<int> Flag;       // start handshake, set by the audio thread
    int acmFlushStream;
    ZEB_PlayerState PlayState;
    AudioFileFmtType FileFormat;
    MPEGFileInfoType* MPEGFileInfo;
    // The part of the last section in OutBuf that the output has not taken
    // yet (a command arrived while it waited for room): written before the
    // next section is decoded.
    uint32_t PendingOffset;
    uint32_t PendingBytes;
    bool HeardProgress;          // progress reports the heard position
    OutputFilterNode* OutputFilters;
    AIOBufType* AIOBuf;
    CmdQueue* Queue;             // the audio thread's command queue
    std::atomic<int> Teardown;   // hand-over of the final release, see DestroyPlayer
};

extern std::atomic<int32_t> InstanceCount;
extern ZEBCriticalSection CodecCritical;
extern int LibSndFile;

// Test hook: unloads and loads the outside decoder libraries again, so that
// names changed with SetSupportLibraryNames take effect. No player may be
// using them meanwhile.
void ReloadSupportLibrariesForTesting(void);

void AudioThread(void* Params);
int ProcessMessage(PlayerInstanceType* PlayerInstance, int IsPlaying, MSG* Msg);
void SendResponse(PlayerInstanceType* PlayerInstance, uint32_t RespMsg, uint32_t ErrorCode);
void CloseOutputStreams(PlayerInstanceType* PlayerInstance);

PlayerInstanceType* CreatePlayer(void* hWnd);
void DestroyPlayer(PlayerInstanceType* PlayerInstance);
