// The command exports: one plain function per command, each queuing what
// ZEBAudioMessageSend queues for the same arguments, and the version.
#include "zeb-audio.h"

#include <cstdint>

extern "C" {

ZEB_API void ZEBAudioInputOpen(void* Player, const char* Path)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_INPUT_OPEN, Path);
}

ZEB_API void ZEBAudioStop(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_STOP);
}

ZEB_API void ZEBAudioPause(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_PAUSE);
}

ZEB_API void ZEBAudioPlay(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_PLAY);
}

ZEB_API void ZEBAudioSeek(void* Player, uint32_t Posn, uint32_t Range)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SEEK, Posn, Range);
}

ZEB_API void ZEBAudioOutputOpenDSound(void* Player, void* Window, uint32_t DeviceIndex)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_OPEN, "DSOUND", reinterpret_cast<uintptr_t>(Window),
                        static_cast<uintptr_t>(DeviceIndex));
}

ZEB_API void ZEBAudioOutputOpenModule(void* Player, const char* Name,
                                      ZEBOutputRegisterFunc Register, void* CreateParams)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_OPEN, Name, reinterpret_cast<uintptr_t>(Register),
                        reinterpret_cast<uintptr_t>(CreateParams));
}

ZEB_API void ZEBAudioSetOutputVolume(void* Player, uint32_t Level)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_OUTPUT_VOLUME, Level);
}

ZEB_API void ZEBAudioAddOutputFilter(void* Player, ZEBFilterRegisterFunc Register, void* CreateParams)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_ADD_OUTPUT_FILTER, reinterpret_cast<uintptr_t>(Register),
                        reinterpret_cast<uintptr_t>(CreateParams));
}

ZEB_API void ZEBAudioPreloadBuffers(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_PRELOAD_BUFFERS);
}

ZEB_API void ZEBAudioSetInputPositionRange(void* Player, uint32_t Range)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_INPUT_POSITION_RANGE, Range);
}

ZEB_API void ZEBAudioOutputReset(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_RESET);
}

ZEB_API void ZEBAudioOutputDrain(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_DRAIN);
}

ZEB_API void ZEBAudioPing(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_PING);
}

ZEB_API void ZEBAudioInputClose(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_INPUT_CLOSE);
}

ZEB_API void ZEBAudioSetDuration(void* Player, uint32_t Seconds)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_DURATION, Seconds);
}

ZEB_API void ZEBAudioSetInputTimeInterval(void* Player, uint32_t Milliseconds)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_INPUT_TIME_INTERVAL, Milliseconds);
}

ZEB_API void ZEBAudioSetOutputFrequency(void* Player, double Ratio)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_OUTPUT_FREQUENCY, Ratio);
}

ZEB_API void ZEBAudioOutputClose(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_OUTPUT_CLOSE);
}

ZEB_API void ZEBAudioSetMainVolume(void* Player, uint32_t Level)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_MAIN_VOLUME, Level);
}

ZEB_API void ZEBAudioGetMainVolume(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_GET_MAIN_VOLUME);
}

ZEB_API void ZEBAudioGetPlayPosition(void* Player)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_GET_PLAY_POSITION);
}

ZEB_API void ZEBAudioSetHeardProgress(void* Player, uint32_t On)
{
    ZEBAudioMessageSend(Player, ZEB_CMD_SET_HEARD_PROGRESS, On);
}

ZEB_API const char* ZEBAudioGetVersion(void)
{
    return ZEB_VERSION;
}

// The same functions under one leading underscore.
ZEB_API void _ZEBAudioInputOpen(void* Player, const char* Path) __attribute__((alias("ZEBAudioInputOpen")));
ZEB_API void _ZEBAudioStop(void* Player) __attribute__((alias("ZEBAudioStop")));
ZEB_API void _ZEBAudioPause(void* Player) __attribute__((alias("ZEBAudioPause")));
ZEB_API void _ZEBAudioPlay(void* Player) __attribute__((alias("ZEBAudioPlay")));
ZEB_API void _ZEBAudioSeek(void* Player, uint32_t Posn, uint32_t Range)
    __attribute__((alias("ZEBAudioSeek")));
ZEB_API void _ZEBAudioOutputOpenDSound(void* Player, void* Window, uint32_t DeviceIndex)
    __attribute__((alias("ZEBAudioOutputOpenDSound")));
ZEB_API void _ZEBAudioOutputOpenModule(void* Player, const char* Name, ZEBOutputRegisterFunc Register,
                                       void* CreateParams)
    __attribute__((alias("ZEBAudioOutputOpenModule")));
ZEB_API void _ZEBAudioSetOutputVolume(void* Player, uint32_t Level)
    __attribute__((alias("ZEBAudioSetOutputVolume")));
ZEB_API void _ZEBAudioAddOutputFilter(void* Player, ZEBFilterRegisterFunc Register, void* CreateParams)
    __attribute__((alias("ZEBAudioAddOutputFilter")));
ZEB_API void _ZEBAudioPreloadBuffers(void* Player) __attribute__((alias("ZEBAudioPreloadBuffers")));
ZEB_API void _ZEBAudioSetInputPositionRange(void* Player, uint32_t Range)
    __attribute__((alias("ZEBAudioSetInputPositionRange")));
ZEB_API void _ZEBAudioOutputReset(void* Player) __attribute__((alias("ZEBAudioOutputReset")));
ZEB_API void _ZEBAudioOutputDrain(void* Player) __attribute__((alias("ZEBAudioOutputDrain")));
ZEB_API void _ZEBAudioPing(void* Player) __attribute__((alias("ZEBAudioPing")));
ZEB_API void _ZEBAudioInputClose(void* Player) __attribute__((alias("ZEBAudioInputClose")));
ZEB_API void _ZEBAudioSetDuration(void* Player, uint32_t Seconds)
    __attribute__((alias("ZEBAudioSetDuration")));
ZEB_API void _ZEBAudioSetInputTimeInterval(void* Player, uint32_t Milliseconds)
    __attribute__((alias("ZEBAudioSetInputTimeInterval")));
ZEB_API void _ZEBAudioSetOutputFrequency(void* Player, double Ratio)
    __attribute__((alias("ZEBAudioSetOutputFrequency")));
ZEB_API void _ZEBAudioOutputClose(void* Player) __attribute__((alias("ZEBAudioOutputClose")));
ZEB_API void _ZEBAudioSetMainVolume(void* Player, uint32_t Level)
    __attribute__((alias("ZEBAudioSetMainVolume")));
ZEB_API void _ZEBAudioGetMainVolume(void* Player) __attribute__((alias("ZEBAudioGetMainVolume")));
ZEB_API void _ZEBAudioGetPlayPosition(void* Player) __attribute__((alias("ZEBAudioGetPlayPosition")));
ZEB_API void _ZEBAudioSetHeardProgress(void* Player, uint32_t On) __attribute__((alias("ZEBAudioSetHeardProgress")));
ZEB_API const char* _ZEBAudioGetVersion(void) __attribute__((alias("ZEBAudioGetVersion")));

} // extern "C"
