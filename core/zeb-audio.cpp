// The exported functions, the protocol tables, and the library's load and
// unload sequence.
#include "zeb-audio.h"

#include "core/dsound_shared.h"
#include "core/engine_table.h"
#include "core/input.h"
#include "core/player.h"
#include "core/zeb-audiodefs.h"
#include "engines/aac_core.h"
#include "engines/adts_aac.h"
#include "engines/flac.h"
#include "engines/mp3_engine.h"
#include "engines/sndfile.h"
#include "engines/vorbis_engine.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

const char* const CmdTable[ZEB_CMD_LAST - ZEB_CMD_FIRST + 1] = {
    "Input Open", "Stop", "Pause", "Play", "Seek", "Output Open", "Set Output Volume",
    "Add Output Filter", "Preload Buffers", "Set Input Position Range", "Output Reset",
    "Output Drain", "Ping", "Input Close", "Set Duration", "Set Input Time Interval",
    "Set Ouput Frequency", "Internal Error", "Output Close", "Set Main Volume", "Get Main Volume",
};

const char* const ExtraCmdTable[ZEB_CMD_EXTRA_LAST - ZEB_CMD_EXTRA_FIRST + 1] = {
    "Get Play Position", "Set Heard Progress",
};

const char* const ErrorTable[ZEB_ERR_LAST + 1] = {
    "Unknown error",
    "Input Open Error - file not found or unsupported file format",
    "Output Open Error - error opening ouput device/media",
    "Error Not D/Sound - command not supported on non D/Sound interface",
    "Output Filter Add Error - error creating an audio filter",
    "Codec Failure - unspecified decoder failure",
    "Invalid Parameters - invalid parameters passed for command",
    "Input Not Open Error - attempt to perform command with no input media open",
    "Unhandled Exception - internal exception error",
    "Direct Sound - unsupported audio format",
    "Direct Sound - secondary buffer error",
    "AsyncIO - engine error",
    "Direct Sound - playback error",
    "General command failure",
};

// ---- Library load and unload ----

ZEBCriticalSection CodecCritical;
int LibSndFile = 0;

namespace {

struct SupportLoader {
    int (*Load)(void);
    void (*Unload)(void);
    int* Result; // where the load result is kept, if anywhere
};

// The outside decoder libraries in load order; each format engine that
// depends on one adds its loader here. Unloading runs in the same order.
// Only the sound-file library's result is kept: it changes which engine
// takes files without a dedicated one.
const SupportLoader SupportLoaders[] = {
    {GetVorbisSupport, CloseVorbisSupport, nullptr},
    {GetAACSupport, CloseAACSupport, nullptr},
    {GetFlacSupport, CloseFlacSupport, nullptr},
    {GetSndFileSupport, CloseSndFileSupport, &LibSndFile},
};

void LoadSupportLibraries()
{
    for (const SupportLoader& Loader : SupportLoaders) {
        if (!Loader.Load)
            continue;
        int Loaded = Loader.Load();
        if (Loader.Result)
            *Loader.Result = Loaded;
    }
}

void UnloadSupportLibraries()
{
    for (const SupportLoader& Loader : SupportLoaders)
        if (Loader.Unload)
            Loader.Unload();
}

} // namespace

void ReloadSupportLibrariesForTesting(void)
{
    UnloadSupportLibraries();
    LoadSupportLibraries();
}

namespace {

// Runs when the process loads the library; defined after CodecCritical so
// the lock exists before any loader runs. Nothing is unloaded at exit: player
// threads may still decode while the process ends, and the entry-point
// tables they call through must stay valid until the last of them is gone.
// The libraries stay mapped anyway.
struct LibraryLifetime {
    LibraryLifetime()
    {
        RememberLibraryFolder();
        LoadSupportLibraries();
    }
} Lifetime;

// ---- Command queuing ----

bool IsQueuedCommand(uint32_t Msg)
{
    if (Msg >= ZEB_CMD_EXTRA_FIRST && Msg <= ZEB_CMD_EXTRA_LAST)
        return true;
    return Msg >= ZEB_CMD_FIRST && Msg <= ZEB_CMD_LAST && Msg != ZEB_CMD_INTERNAL_ERROR;
}

char* CopyPath(const char* Path)
{
    if (!Path)
        return nullptr;
    size_t Length = strlen(Path);
    char* Copy = static_cast<char*>(malloc(Length + 1));
    if (Copy)
        memcpy(Copy, Path, Length + 1);
    return Copy;
}

uint32_t FloatBits(double Ratio)
{
    float Single = static_cast<float>(Ratio);
    uint32_t Bits;
    memcpy(&Bits, &Single, sizeof Bits);
    return Bits;
}

void QueueCommand(PlayerInstanceType* Player, uint32_t Msg, va_list Args)
{
    uintptr_t wParam = 0, lParam = 0;
    switch (Msg) {
    case ZEB_CMD_INPUT_OPEN:
        lParam = reinterpret_cast<uintptr_t>(CopyPath(va_arg(Args, const char*)));
        break;
    case ZEB_CMD_SEEK:
        wParam = va_arg(Args, uint32_t);
        lParam = va_arg(Args, uint32_t);
        break;
    case ZEB_CMD_OUTPUT_OPEN: {
        const char* Name = va_arg(Args, const char*);
        wParam = va_arg(Args, uintptr_t);
        lParam = va_arg(Args, uintptr_t);
        if (Name && strcasecmp(Name, "DSOUND") == 0)
            Msg = ZEB_CMD_DSOUND_OUTPUT_OPEN;
        break;
    }
    case ZEB_CMD_ADD_OUTPUT_FILTER:
        wParam = va_arg(Args, uintptr_t);
        lParam = va_arg(Args, uintptr_t);
        break;
    case ZEB_CMD_SET_OUTPUT_VOLUME:
    case ZEB_CMD_SET_MAIN_VOLUME:
    case ZEB_CMD_SET_INPUT_POSITION_RANGE:
    case ZEB_CMD_SET_DURATION:
    case ZEB_CMD_SET_INPUT_TIME_INTERVAL:
    case ZEB_CMD_SET_HEARD_PROGRESS:
        lParam = va_arg(Args, uint32_t);
        break;
    case ZEB_CMD_SET_OUTPUT_FREQUENCY:
        lParam = FloatBits(va_arg(Args, double));
        break;
    default:
        break;
    }
    CmdQueuePost(Player->Queue, Msg, wParam, lParam);
}

// The exact length: variable-rate MPEG without a frame table and ADTS
// streams are read whole; every other input knows its sample count.
void ScanForExactLength(AudioFileFmtType Format, MPEGFileInfoType* Info)
{
    const EngineOpsType* Engine = EngineFor(Format);
    if (Engine->ScanLength)
        Engine->ScanLength(Info);
}

void CopyName(char (&Dest)[16], const char* Name)
{
    snprintf(Dest, sizeof Dest, "%s", Name ? Name : "");
}

ZEBTrackDetails DescribeTrack(AudioFileFmtType Format, const MPEGFileInfoType* Info, const char* Path)
{
    ZEBTrackDetails Details{};
    Details.SampleRate = Info->SampleRate;
    Details.Channels = Info->Channels;
    Details.Frames = Info->TotalSamples;
    if (Info->TotalSamples && Info->SampleRate)
        Details.LengthMs = Info->TotalSamples * 1000u / Info->SampleRate;
    else
        Details.LengthMs = uint64_t{Info->TrackLength} * 1000u;
    if (!Details.Frames)
        Details.Frames = Details.LengthMs * Info->SampleRate / 1000u;
    Details.BitRate = Info->BitRate > 0 ? static_cast<uint32_t>(Info->BitRate) : 0;
    Details.VBR = Info->VBRFlag != 0;
    const EngineOpsType* Engine = EngineFor(Format);
    CodecNamesType Names = Engine->Names ? Engine->Names(Info, Path) : CodecNamesType{"", ""};
    CopyName(Details.Codec, Names.Codec);
    CopyName(Details.Container, Names.Container);
    return Details;
}

} // namespace

// ---- Exports ----

extern "C" {

ZEB_API void* ZEBAudioPlayerCreate(void* hWnd)
{
    return CreatePlayer(hWnd);
}

ZEB_API void ZEBAudioPlayerDestroy(void* Player)
{
    if (Player)
        DestroyPlayer(static_cast<PlayerInstanceType*>(Player));
}

ZEB_API void ZEBAudioMessageSend(void* Player, uint32_t Msg, ...)
{
    if (!Player || !IsQueuedCommand(Msg))
        return;
    va_list Args;
    va_start(Args, Msg);
    QueueCommand(static_cast<PlayerInstanceType*>(Player), Msg, Args);
    va_end(Args);
}

ZEB_API char** ZEBAudioEnumerateDevices(unsigned int* Count)
{
    unsigned int Found = 0;
    char** Devices = EnumerateDeviceArray(&Found);
    if (Count)
        *Count = Found;
    return Devices;
}

ZEB_API void ZEBAudioFreeDeviceEnums(char** DevEnums)
{
    free(DevEnums);
}

ZEB_API uint32_t ZEBAudioGetMP3TrackLength(const char* FileName)
{
    if (!FileName)
        return 0;
    MPEGFileInfoType* Info = nullptr;
    AudioFileFmtType Format = OpenFileStream(FileName, &Info);
    if (!Info)
        return 0;
    const EngineOpsType* Engine = EngineFor(Format);
    if (Engine->ScanLength)
        Engine->ScanLength(Info);
    uint32_t Length = Info->TrackLength;
    CloseFileStream(Format, Info);
    return Length;
}

ZEB_API int ZEBAudioGetMP3TrackInfo(const char* FileName, MPEGTrackInfoType* pTrackInfo)
{
    if (!pTrackInfo || !FileName)
        return 0;
    MPEGFileInfoType* Info = nullptr;
    AudioFileFmtType Format = OpenFileStream(FileName, &Info);
    if (!Info)
        return 0;
    if (pTrackInfo->TrackLength == 0) {
        // An MPEG file with a frame table already has its exact length.
        const EngineOpsType* Engine = EngineFor(Format);
        if (Engine->ScanLength && !(Format == MP3_FMT && Info->VBRFlag != 0))
            Engine->ScanLength(Info);
        pTrackInfo->TrackLength = Info->TrackLength;
    }
    pTrackInfo->SampleRate = Info->SampleRate;
    pTrackInfo->Channels = Info->Channels;
    pTrackInfo->BitRate = static_cast<uint16_t>(Info->VBRFlag == 0 ? Info->BitRate / 1000 : 0);
    pTrackInfo->Supported = Info->Channels <= SupportChannels && Info->BytesPerSample == SupportBytesSample;
    CloseFileStream(Format, Info);
    return 1;
}

ZEB_API int ZEBAudioGetTrackDetails(const char* FileName, ZEBTrackDetails* Details)
{
    constexpr uint32_t MinimumSize = 16; // Size and LengthMs
    if (!FileName || !Details || Details->Size < MinimumSize)
        return 0;
    MPEGFileInfoType* Info = nullptr;
    AudioFileFmtType Format = OpenFileStream(FileName, &Info);
    if (!Info)
        return 0;
    ScanForExactLength(Format, Info);
    ZEBTrackDetails Found = DescribeTrack(Format, Info, FileName);
    CloseFileStream(Format, Info);
    uint32_t Size = Details->Size;
    size_t Fill = Size < sizeof Found ? Size : sizeof Found;
    // Everything after the caller's Size field, up to the caller's size.
    constexpr size_t Skip = sizeof Found.Size;
    memcpy(reinterpret_cast<char*>(Details) + Skip, reinterpret_cast<const char*>(&Found) + Skip, Fill - Skip);
    return 1;
}

ZEB_API void ZEBAudioFormatErrorString(int Cmd, int ErrorCode, char* Buffer)
{
    if (!Buffer)
        return;
    const char* Command = "Unknown Command";
    if (Cmd >= static_cast<int>(ZEB_CMD_FIRST) && Cmd <= static_cast<int>(ZEB_CMD_LAST))
        Command = CmdTable[Cmd - ZEB_CMD_FIRST];
    else if (Cmd >= static_cast<int>(ZEB_CMD_EXTRA_FIRST) && Cmd <= static_cast<int>(ZEB_CMD_EXTRA_LAST))
        Command = ExtraCmdTable[Cmd - ZEB_CMD_EXTRA_FIRST];
    const char* Error = "Invalid Error Code";
    if (ErrorCode >= 0 && ErrorCode <= ZEB_ERR_LAST)
        Error = ErrorTable[ErrorCode];
    snprintf(Buffer, ZEB_ERROR_STRING_SIZE, "Audio core error on ommand '%s', error: %s", Command, Error);
}

// The same functions under one leading underscore.
ZEB_API void* _ZEBAudioPlayerCreate(void* hWnd) __attribute__((alias("ZEBAudioPlayerCreate")));
ZEB_API void _ZEBAudioPlayerDestroy(void* Player) __attribute__((alias("ZEBAudioPlayerDestroy")));
ZEB_API void _ZEBAudioMessageSend(void* Player, uint32_t Msg, ...) __attribute__((alias("ZEBAudioMessageSend")));
ZEB_API char** _ZEBAudioEnumerateDevices(unsigned int* Count) __attribute__((alias("ZEBAudioEnumerateDevices")));
ZEB_API void _ZEBAudioFreeDeviceEnums(char** DevEnums) __attribute__((alias("ZEBAudioFreeDeviceEnums")));
ZEB_API uint32_t _ZEBAudioGetMP3TrackLength(const char* FileName) __attribute__((alias("ZEBAudioGetMP3TrackLength")));
ZEB_API int _ZEBAudioGetMP3TrackInfo(const char* FileName, MPEGTrackInfoType* pTrackInfo)
    __attribute__((alias("ZEBAudioGetMP3TrackInfo")));
ZEB_API void _ZEBAudioFormatErrorString(int Cmd, int ErrorCode, char* Buffer)
    __attribute__((alias("ZEBAudioFormatErrorString")));
ZEB_API int _ZEBAudioGetTrackDetails(const char* FileName, ZEBTrackDetails* Details)
    __attribute__((alias("ZEBAudioGetTrackDetails")));

} // extern "C"
