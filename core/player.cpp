// The player record, its audio thread and the command handlers.
#include "core/player.h"

#include "core/dsound_shared.h"
#include "core/engine_table.h"
#include "core/input.h"
#include "core/pipeline.h"
#include "core/zeb-audiodefs.h"
#include "io/aio_bfr.h"
#include "output/dsound_if.h"
#include "output/filters.h"

#include <cstdlib>
#include <cstring>
#include <new>

std::atomic<int32_t> InstanceCount{0};

namespace {

// Teardown hand-over between DestroyPlayer and a thread that outlives the
// destroy's wait: whichever of the two comes second frees the record.
// The state starts at 0: neither has happened yet.
constexpr int TeardownOrphaned = 1; // destroy gave up waiting
constexpr int TeardownExited = 2;   // the audio thread has finished

// No output command slot means no level is applied to the signal.
constexpr int NoOutputMainVolume = 100;

void PostToHost(PlayerInstanceType* Player, uint32_t Msg, uint32_t wParam, uint32_t lParam)
{
    PostHostMessage(Player->hPar, Player, Msg, wParam, lParam);
}

int OutputCommand(PlayerInstanceType* Player, uint32_t Cmd, uint32_t Param)
{
    if (!Player->cOutputModule.OutputCmd)
        return 1;
    return Player->cOutputModule.OutputCmd(Player->cOutputInst, Cmd, Param);
}

bool InputIsOpen(const PlayerInstanceType* Player)
{
    return Player->MPEGFileInfo != nullptr;
}

void ClearOutputModule(PlayerInstanceType* Player)
{
    Player->cOutputModule = OutputModule{};
    Player->cOutputInst = nullptr;
    Player->DSoundProp = nullptr;
}

void DeleteOutputModule(PlayerInstanceType* Player)
{
    if (Player->cOutputModule.OutputDelete)
        Player->cOutputModule.OutputDelete(Player->cOutputInst);
    ClearOutputModule(Player);
}

// The core plays interleaved 16-bit mono or stereo; anything without a
// rate would make the time arithmetic divide by zero.
bool IsPlayableFormat(const MPEGFileInfoType* Info)
{
    return Info->Channels >= 1 && Info->Channels <= SupportChannels &&
           Info->BytesPerSample == SupportBytesSample && Info->SampleRate != 0;
}

// ---- Handlers ----

int HandleInputOpen(PlayerInstanceType* Player, uint32_t Code, char* Path)
{
    db_printf("OPEN: %s\n", Path ? Path : "(null)");
    if (InputIsOpen(Player))
        CloseOutputStreams(Player);
    Player->FileFormat = Path ? OpenFileStream(Path, &Player->MPEGFileInfo) : UNKWN_FMT;
    if (!Path)
        Player->MPEGFileInfo = nullptr;
    if (!Player->MPEGFileInfo) {
        SendResponse(Player, Code, ZEB_ERR_INPUT_OPEN);
        db_printf("OPEN FAILED\n");
    } else {
        Player->acmFlushStream = 1;
        if (!IsPlayableFormat(Player->MPEGFileInfo)) {
            SendResponse(Player, Code, ZEB_ERR_INPUT_OPEN);
            CloseFileStream(Player->FileFormat, Player->MPEGFileInfo);
            Player->MPEGFileInfo = nullptr;
        } else {
            Player->ElapsedTime = 0;
            Player->LastTimeNotify = 0;
            Player->PlayState = ZEB_PLAYER_STATE_STOPPED;
            OpenFilterChain(Player->OutputFilters);
            if (Player->cOutputModule.OutputOpen && !Player->cOutputModule.OutputOpen(Player->cOutputInst)) {
                SendResponse(Player, Code, ZEB_ERR_OUTPUT_OPEN);
            } else {
                SendResponse(Player, Code, ZEB_ERR_NONE);
                PostToHost(Player, ZEB_NTF_INPUT_OPENED, 0, Player->MPEGFileInfo->TrackLength);
                const EngineOpsType* Engine = EngineFor(Player->FileFormat);
                if (Engine->Started)
                    Engine->Started(Player);
            }
        }
    }
    free(Path);
    return 0;
}

// An engine that decodes on a thread of its own follows the transport
// itself; its answer does not change the host's.
void TellEngine(PlayerInstanceType* Player, uint32_t Cmd)
{
    const EngineOpsType* Engine = EngineFor(Player->FileFormat);
    if (Engine->Transport)
        Engine->Transport(Player->MPEGFileInfo, Cmd);
}

int HandleStop(PlayerInstanceType* Player, uint32_t Code)
{
    if (InputIsOpen(Player)) {
        TellEngine(Player, ZEB_CMD_STOP);
        int Status = OutputCommand(Player, ZEB_CMD_STOP, 0);
        SeekFileStream(Player, 0);
        DropPendingSection(Player);
        Player->acmFlushStream = 1;
        SendProgressUpdates(Player);
        if (Status) {
            SendResponse(Player, Code, ZEB_ERR_NONE);
            PostToHost(Player, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_STOPPED, 0);
        } else {
            SendResponse(Player, Code, ZEB_ERR_GENERAL);
        }
    } else {
        SendResponse(Player, Code, ZEB_ERR_NONE);
    }
    db_printf("Stop msg processed\n");
    Player->PlayState = ZEB_PLAYER_STATE_STOPPED;
    Player->ElapsedTime = 0;
    Player->LastTimeNotify = 0;
    return 0;
}

int HandlePause(PlayerInstanceType* Player, uint32_t Code, int IsPlaying)
{
    if (InputIsOpen(Player))
        TellEngine(Player, ZEB_CMD_PAUSE);
    if (!OutputCommand(Player, ZEB_CMD_PAUSE, 0)) {
        SendResponse(Player, Code, ZEB_ERR_GENERAL);
        return IsPlaying;
    }
    SendResponse(Player, Code, ZEB_ERR_NONE);
    PostToHost(Player, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED, 0);
    if (Player->PlayState == ZEB_PLAYER_STATE_PLAYING)
        Player->PlayState = ZEB_PLAYER_STATE_PAUSED;
    return 0;
}

int HandlePlay(PlayerInstanceType* Player, uint32_t Code)
{
    db_printf("play\n");
    if (!InputIsOpen(Player)) {
        SendResponse(Player, Code, ZEB_ERR_NONE);
        db_printf("play FAILED\n");
        return 0;
    }
    TellEngine(Player, ZEB_CMD_PLAY);
    int Status = 1;
    if (Player->PlayState == ZEB_PLAYER_STATE_PAUSED) {
        Status = OutputCommand(Player, ZEB_CMD_PLAY, 0);
        db_printf("Play msg - activating dsound playback\n");
    }
    if (Status) {
        SendResponse(Player, Code, ZEB_ERR_NONE);
        PostToHost(Player, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PLAYING, 0);
        db_printf("Play msg processed\n");
        Player->PlayState = ZEB_PLAYER_STATE_PLAYING;
    } else {
        SendResponse(Player, Code, ZEB_ERR_GENERAL);
    }
    return Status;
}

int HandleSeek(PlayerInstanceType* Player, uint32_t Code, uint32_t Posn, uint32_t Range, int IsPlaying)
{
    if (Range == 0 || Posn > Range || Player->PlayState == ZEB_PLAYER_STATE_PLAYING) {
        SendResponse(Player, Code, ZEB_ERR_INVALID_PARAMS);
        return IsPlaying;
    }
    SendResponse(Player, Code, ZEB_ERR_NONE);
    if (!InputIsOpen(Player))
        return IsPlaying;
    // The target is measured on the exact length, and the time reported is
    // the time the engine was asked for: the audio resumes where it says.
    uint32_t TrackMs = TrackMilliseconds(Player->MPEGFileInfo);
    uint32_t Target = static_cast<uint32_t>(TrackMs * (static_cast<double>(Posn) / Range));
    SeekFileStream(Player, Target);
    DropPendingSection(Player);
    db_printf("seek msg processed: %d\n", static_cast<int>(Target));
    Player->acmFlushStream = 1;
    Player->ElapsedTime = Target;
    Player->LastTimeNotify = Target;
    SendProgressUpdates(Player);
    Player->PlayState = ZEB_PLAYER_STATE_STOPPED;
    return IsPlaying;
}

int HandleHostOutputOpen(PlayerInstanceType* Player, uint32_t Code, uintptr_t Register, uintptr_t Params)
{
    if (InputIsOpen(Player))
        CloseOutputStreams(Player);
    DeleteOutputModule(Player);
    ZEBOutputRegisterFunc RegisterFunc = reinterpret_cast<ZEBOutputRegisterFunc>(Register);
    if (!RegisterFunc) {
        SendResponse(Player, Code, ZEB_ERR_OUTPUT_OPEN);
        return 0;
    }
    RegisterFunc(&Player->cOutputModule);
    if (Player->cOutputModule.OutputCreate &&
        !Player->cOutputModule.OutputCreate(&Player->cOutputInst, reinterpret_cast<void*>(Params))) {
        // A module that failed to create has no instance to work on: the
        // player is left without an output, as after a failed DSOUND open.
        ClearOutputModule(Player);
        SendResponse(Player, Code, ZEB_ERR_OUTPUT_OPEN);
        return 0;
    }
    SendResponse(Player, Code, ZEB_ERR_NONE);
    return 0;
}

int HandleDSoundOutputOpen(PlayerInstanceType* Player, uint32_t Code, uintptr_t Window, uintptr_t Device)
{
    if (InputIsOpen(Player)) {
        OutputCommand(Player, ZEB_CMD_STOP, 0);
        CloseOutputStreams(Player);
    }
    DeleteOutputModule(Player);
    int Opened = InitDSoundInstance(Player, reinterpret_cast<void*>(Window), static_cast<int>(Device));
    SendResponse(Player, Code, Opened ? ZEB_ERR_NONE : ZEB_ERR_OUTPUT_OPEN);
    return 0;
}

// "Set Output Volume" and "Set Ouput Frequency": answered at once, then
// again with the output's result.
int HandleTwoStepOutputCmd(PlayerInstanceType* Player, uint32_t Code, uint32_t Param, int IsPlaying)
{
    SendResponse(Player, Code, ZEB_ERR_NONE);
    int Status = OutputCommand(Player, Code, Param);
    SendResponse(Player, Code, Status ? ZEB_ERR_NONE : ZEB_ERR_GENERAL);
    return IsPlaying;
}

int HandleAddFilter(PlayerInstanceType* Player, uint32_t Code, uintptr_t Register, uintptr_t Params, int IsPlaying)
{
    int Added = AddFilterToChain(&Player->OutputFilters, reinterpret_cast<ZEBFilterRegisterFunc>(Register),
                                 reinterpret_cast<void*>(Params));
    SendResponse(Player, Code, Added ? ZEB_ERR_NONE : ZEB_ERR_FILTER_ADD);
    return IsPlaying;
}

int HandlePreload(PlayerInstanceType* Player, uint32_t Code, int IsPlaying)
{
    if (!Player->DSoundProp) {
        SendResponse(Player, Code, ZEB_ERR_NOT_DSOUND);
        return IsPlaying;
    }
    SendResponse(Player, Code, ZEB_ERR_NONE);
    if (!InputIsOpen(Player)) {
        PostToHost(Player, ZEB_NTF_PRELOAD, 2, 0);
    } else if (Player->PlayState != ZEB_PLAYER_STATE_PAUSED && IsPreloadBufferReady(Player->DSoundProp)) {
        // While paused the buffer holds unplayed audio under its cursor:
        // it is not ready for a preload.
        PerformBufferPreload(Player);
        PostToHost(Player, ZEB_NTF_PRELOAD, 0, 0);
    } else {
        PostToHost(Player, ZEB_NTF_PRELOAD, 1, 0);
    }
    return IsPlaying;
}

int HandleSetDuration(PlayerInstanceType* Player, uint32_t Code, uint32_t Seconds, int IsPlaying)
{
    if (!InputIsOpen(Player)) {
        SendResponse(Player, Code, ZEB_ERR_INPUT_NOT_OPEN);
        return IsPlaying;
    }
    const EngineOpsType* Engine = EngineFor(Player->FileFormat);
    if (Engine->DurationSet)
        Engine->DurationSet(Player->MPEGFileInfo, Seconds);
    // The host's length replaces the engine's exact one.
    Player->MPEGFileInfo->TrackLength = Seconds;
    Player->MPEGFileInfo->TotalSamples = 0;
    SendResponse(Player, Code, ZEB_ERR_NONE);
    return IsPlaying;
}

int HandleInputClose(PlayerInstanceType* Player, uint32_t Code)
{
    db_printf("CLOSE\n");
    if (InputIsOpen(Player))
        CloseOutputStreams(Player);
    Player->MPEGFileInfo = nullptr;
    SendResponse(Player, Code, ZEB_ERR_NONE);
    return 0;
}

int HandleOutputClose(PlayerInstanceType* Player, uint32_t Code)
{
    if (InputIsOpen(Player))
        CloseOutputStreams(Player);
    db_printf("output close module\n");
    DeleteOutputModule(Player);
    SendResponse(Player, Code, ZEB_ERR_NONE);
    return 0;
}

int HandleGetMainVolume(PlayerInstanceType* Player, uint32_t Code, uint32_t Param, int IsPlaying)
{
    SendResponse(Player, Code, ZEB_ERR_NONE);
    int Level = NoOutputMainVolume;
    if (Player->cOutputModule.OutputCmd)
        Level = Player->cOutputModule.OutputCmd(Player->cOutputInst, ZEB_CMD_GET_MAIN_VOLUME, Param);
    PostToHost(Player, ZEB_NTF_MAIN_VOLUME, 0, static_cast<uint32_t>(Level));
    return IsPlaying;
}

// ---- Record lifetime ----

void FreeQueuedPaths(CmdQueue* Queue)
{
    MSG Msg;
    while (CmdQueueTake(Queue, &Msg, false))
        if (Msg.message == ZEB_CMD_INPUT_OPEN)
            free(reinterpret_cast<void*>(Msg.lParam));
}

// Frees everything the player holds; the audio thread has ended.
void ReleasePlayer(PlayerInstanceType* Player)
{
    free(Player->InBuf);
    free(Player->OutBuf);
    free(Player->ScratchBuf);
    Player->InBuf = Player->OutBuf = Player->ScratchBuf = nullptr;
    if (InputIsOpen(Player))
        CloseOutputStreams(Player);
    FreeAIOBuffers(Player->AIOBuf);
    DeleteFilterChain(Player->OutputFilters);
    if (Player->cOutputModule.OutputDelete)
        Player->cOutputModule.OutputDelete(Player->cOutputInst);
    FreeQueuedPaths(Player->Queue);
    CmdQueueDestroy(Player->Queue);
    CloseThread(Player->hThread);
    ReleaseHostWindow(Player->hPar);
    delete Player;
    InstanceCount--;
    db_printf("Player Instance destroy\n");
}

void FreeWorkBuffers(PlayerInstanceType* Player)
{
    free(Player->InBuf);
    free(Player->OutBuf);
    free(Player->ScratchBuf);
    CmdQueueDestroy(Player->Queue);
    ReleaseHostWindow(Player->hPar);
    delete Player;
}

// Runs the command loop; exceptions escape to AudioThread.
void RunCommandLoop(PlayerInstanceType* Player)
{
    int AudioStream = 0;
    bool Quit = false;
    MSG Msg;
    while (!Quit) {
        if (!AudioStream) {
            CmdQueueTake(Player->Queue, &Msg, true);
        } else {
            AudioStream = StreamToOutput(Player);
            if (!CmdQueueTake(Player->Queue, &Msg, false))
                continue;
        }
        if (Msg.message == WM_QUIT)
            Quit = true;
        else
            AudioStream = ProcessMessage(Player, AudioStream, &Msg);
    }
}

} // namespace

void SendResponse(PlayerInstanceType* PlayerInstance, uint32_t RespMsg, uint32_t ErrorCode)
{
    if (ErrorCode == ZEB_ERR_NONE)
        PostToHost(PlayerInstance, ZEB_RSP_OK, RespMsg, 0);
    else
        PostToHost(PlayerInstance, ZEB_RSP_ERROR, RespMsg, ErrorCode);
}

void CloseOutputStreams(PlayerInstanceType* PlayerInstance)
{
    SyncAIOStream(PlayerInstance->AIOBuf);
    StartAIOStream(PlayerInstance->AIOBuf, nullptr); // the reader lets go of the file too
    CloseFileStream(PlayerInstance->FileFormat, PlayerInstance->MPEGFileInfo);
    PlayerInstance->MPEGFileInfo = nullptr;
    DropPendingSection(PlayerInstance);
    CloseFilterChain(PlayerInstance->OutputFilters);
    db_printf("output close initiated\n");
    if (PlayerInstance->cOutputModule.OutputClose)
        PlayerInstance->cOutputModule.OutputClose(PlayerInstance->cOutputInst);
}

int ProcessMessage(PlayerInstanceType* PlayerInstance, int IsPlaying, MSG* Msg)
{
    PlayerInstanceType* P = PlayerInstance;
    uint32_t Code = Msg->message;
    uint32_t lParam32 = static_cast<uint32_t>(Msg->lParam);
    switch (Code) {
    case ZEB_CMD_INPUT_OPEN: return HandleInputOpen(P, Code, reinterpret_cast<char*>(Msg->lParam));
    case ZEB_CMD_STOP: return HandleStop(P, Code);
    case ZEB_CMD_PAUSE: return HandlePause(P, Code, IsPlaying);
    case ZEB_CMD_PLAY: return HandlePlay(P, Code);
    case ZEB_CMD_SEEK:
        return HandleSeek(P, Code, static_cast<uint32_t>(Msg->wParam), lParam32, IsPlaying);
    case ZEB_CMD_OUTPUT_OPEN: return HandleHostOutputOpen(P, Code, Msg->wParam, Msg->lParam);
    case ZEB_CMD_DSOUND_OUTPUT_OPEN: return HandleDSoundOutputOpen(P, Code, Msg->wParam, Msg->lParam);
    case ZEB_CMD_SET_OUTPUT_VOLUME:
    case ZEB_CMD_SET_OUTPUT_FREQUENCY: return HandleTwoStepOutputCmd(P, Code, lParam32, IsPlaying);
    case ZEB_CMD_ADD_OUTPUT_FILTER: return HandleAddFilter(P, Code, Msg->wParam, Msg->lParam, IsPlaying);
    case ZEB_CMD_PRELOAD_BUFFERS: return HandlePreload(P, Code, IsPlaying);
    case ZEB_CMD_SET_INPUT_POSITION_RANGE:
        P->ElapsedLimit = lParam32;
        SendResponse(P, Code, ZEB_ERR_NONE);
        return IsPlaying;
    case ZEB_CMD_OUTPUT_RESET:
        SendResponse(P, Code, OutputCommand(P, ZEB_CMD_OUTPUT_RESET, 0) ? ZEB_ERR_NONE : ZEB_ERR_GENERAL);
        return IsPlaying;
    case ZEB_CMD_OUTPUT_DRAIN:
        if (P->cOutputModule.OutputCmd)
            P->cOutputModule.OutputCmd(P->cOutputInst, ZEB_CMD_OUTPUT_DRAIN, 0);
        SendResponse(P, Code, ZEB_ERR_NONE);
        return IsPlaying;
    case ZEB_CMD_PING:
        SendResponse(P, Code, ZEB_ERR_NONE);
        PostToHost(P, ZEB_NTF_PONG, 0, 0);
        return IsPlaying;
    case ZEB_CMD_INPUT_CLOSE: return HandleInputClose(P, Code);
    case ZEB_CMD_SET_DURATION: return HandleSetDuration(P, Code, lParam32, IsPlaying);
    case ZEB_CMD_SET_INPUT_TIME_INTERVAL:
        P->TimeUpdInterval = lParam32;
        SendResponse(P, Code, ZEB_ERR_NONE);
        return IsPlaying;
    case ZEB_CMD_OUTPUT_CLOSE: return HandleOutputClose(P, Code);
    case ZEB_CMD_SET_MAIN_VOLUME:
        SendResponse(P, Code, ZEB_ERR_NONE);
        OutputCommand(P, ZEB_CMD_SET_MAIN_VOLUME, lParam32);
        return IsPlaying;
    case ZEB_CMD_GET_MAIN_VOLUME: return HandleGetMainVolume(P, Code, lParam32, IsPlaying);
    case ZEB_CMD_GET_PLAY_POSITION:
        SendResponse(P, Code, ZEB_ERR_NONE);
        PostToHost(P, ZEB_NTF_PLAY_POSITION, 0, HeardPositionMs(P));
        return IsPlaying;
    case ZEB_CMD_SET_HEARD_PROGRESS:
        P->HeardProgress = lParam32 != 0;
        SendResponse(P, Code, ZEB_ERR_NONE);
        return IsPlaying;
    default:
        // No windows live on this thread, so foreign messages go nowhere.
        return IsPlaying;
    }
}

void AudioThread(void* Params)
{
    PlayerInstanceType* Player = static_cast<PlayerInstanceType*>(Params);
    Player->Flag.store(1);
    try {
        RunCommandLoop(Player);
    } catch (...) {
        PostToHost(Player, ZEB_NTF_ERROR, ZEB_ERR_UNHANDLED_EXCEPTION, ZEB_EXC_AUDIO_THREAD);
    }
    ExitMP3(&Player->MPEGDecodeInfo);
    if (Player->Teardown.exchange(TeardownExited) == TeardownOrphaned)
        ReleasePlayer(Player);
}

PlayerInstanceType* CreatePlayer(void* hWnd)
{
    PlayerInstanceType* Player = new (std::nothrow) PlayerInstanceType();
    if (!Player)
        return nullptr;
    Player->InBuf = static_cast<uint8_t*>(malloc(InBufSz));
    Player->OutBuf = static_cast<uint8_t*>(malloc(OutBufSz));
    Player->ScratchBuf = static_cast<uint8_t*>(malloc(OutBufSz));
    Player->Queue = CmdQueueCreate();
    Player->hPar = hWnd;
    RetainHostWindow(hWnd); // the player and its threads post to it until released
    if (!Player->InBuf || !Player->OutBuf || !Player->ScratchBuf || !Player->Queue) {
        FreeWorkBuffers(Player);
        return nullptr;
    }
    Player->ElapsedLimit = DefaultElapsedLimit;
    Player->TimeUpdInterval = DefaultElapsedTime;
    Player->PlayState = ZEB_PLAYER_STATE_EOS;
    Player->FileFormat = UNKWN_FMT;
    Player->hThread = StartThread(AudioThread, Player, AudioThreadStack, &Player->ThreadId);
    if (!Player->hThread) {
        FreeWorkBuffers(Player);
        return nullptr;
    }
    while (!Player->Flag.load())
        Sleep(0);
    InstanceCount++;
    Player->AIOBuf = InitAIOBuffers(InBufSz, hWnd, Player);
    db_printf("Player Instance create\n");
    return Player;
}

void DestroyPlayer(PlayerInstanceType* PlayerInstance)
{
    CmdQueuePost(PlayerInstance->Queue, ZEB_CMD_STOP, 0, 0);
    CmdQueuePost(PlayerInstance->Queue, ZEB_CMD_INPUT_CLOSE, 0, 0);
    CmdQueuePost(PlayerInstance->Queue, WM_QUIT, 0, 0);
    if (WaitThread(PlayerInstance->hThread, DestroyWaitMs)) {
        ReleasePlayer(PlayerInstance);
        return;
    }
    // The thread is still busy (an "Output Drain", a blocked output): it
    // frees the record itself when it finishes.
    if (PlayerInstance->Teardown.exchange(TeardownOrphaned) == TeardownExited)
        ReleasePlayer(PlayerInstance);
}
