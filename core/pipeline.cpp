// Decoding one section, streaming it to the output, progress and preload.
#include "core/pipeline.h"

#include "core/engine_table.h"
#include "core/player.h"
#include "output/dsound_if.h"
#include "output/filters.h"

#include <cstring>

namespace {

void AdvanceElapsedTime(PlayerInstanceType* Player, uint32_t Size)
{
    const MPEGFileInfoType* Info = Player->MPEGFileInfo;
    double TimeSz = static_cast<double>(Size / Info->Channels / Info->BytesPerSample) / Info->SampleRate * 1000.0;
    Player->ElapsedTime += TimeSz;
    double Limit = TrackMilliseconds(Info);
    if (Player->ElapsedTime > Limit)
        Player->ElapsedTime = Limit;
}

// Writes Size bytes of OutBuf from Offset to the output. The built-in output
// stops waiting for room when a command arrives: what it did not take stays
// pending, so the command is answered now and the rest written next pass.
// Returns the streaming flag.
int WriteSection(PlayerInstanceType* Player, uint32_t Offset, uint32_t Size)
{
    const MPEGFileInfoType* Info = Player->MPEGFileInfo;
    uint32_t Placed = Size;
    if (Player->DSoundProp)
        Placed = StreamToDSoundBufferUntilCommand(Player->DSoundProp, Info->Channels, Info->SampleRate,
                                                  Player->OutBuf + Offset, Size, Player->Queue);
    else if (Player->cOutputModule.OutputWrite)
        Player->cOutputModule.OutputWrite(Player->cOutputInst, Player->OutBuf + Offset, Size, SupportBytesSample,
                                          Info->Channels, Info->SampleRate);
    Player->PendingOffset = Offset + Placed;
    Player->PendingBytes = Size - Placed;
    // The output reported its failure once; decoding on into a stream that
    // is gone would only flood the host with progress.
    if (Player->DSoundProp && IsDSoundStreamGivenUp(Player->DSoundProp)) {
        DropPendingSection(Player);
        PostHostMessage(Player->hPar, Player, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_PAUSED, 0);
        Player->PlayState = ZEB_PLAYER_STATE_PAUSED;
        return 0;
    }
    return 1;
}

void PostEndOfStream(PlayerInstanceType* Player)
{
    PostHostMessage(Player->hPar, Player, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 0);
    Player->PlayState = ZEB_PLAYER_STATE_EOS;
}

// The built-in output plays the stream out after the close and then tells
// the host "played out": end of stream is posted before, so that it comes
// first. A host module hears of the close before the host of the end.
void EndOfStream(PlayerInstanceType* Player)
{
    DSoundPropType* Output = Player->DSoundProp;
    if (Output) {
        // An input that ended within a preload has not started the output.
        StartPendingPreload(Output);
        PostEndOfStream(Player);
        OwePlayedOutNotice(Output);
    }
    CloseOutputStreams(Player);
    if (!Output)
        PostEndOfStream(Player);
}

double MsOfBytes(const MPEGFileInfoType* Info, uint32_t Bytes)
{
    uint32_t FrameBytes = static_cast<uint32_t>(Info->Channels) * Info->BytesPerSample;
    if (!FrameBytes || !Info->SampleRate)
        return 0;
    return static_cast<double>(Bytes / FrameBytes) * 1000.0 / Info->SampleRate;
}

} // namespace

uint32_t HeardPositionMs(PlayerInstanceType* PlayerInstance)
{
    PlayerInstanceType* Player = PlayerInstance;
    double Held = 0;
    if (Player->DSoundProp)
        Held = DSoundBufferedMs(Player->DSoundProp, Player->PlayState == ZEB_PLAYER_STATE_PAUSED);
    else if (Player->cOutputModule.OutputBufferedMs)
        Held = Player->cOutputModule.OutputBufferedMs(Player->cOutputInst);
    if (Player->MPEGFileInfo)
        Held += MsOfBytes(Player->MPEGFileInfo, Player->PendingBytes);
    double Heard = Player->ElapsedTime - Held;
    return Heard > 0 ? static_cast<uint32_t>(Heard) : 0;
}

void DropPendingSection(PlayerInstanceType* PlayerInstance)
{
    PlayerInstance->PendingOffset = 0;
    PlayerInstance->PendingBytes = 0;
}

double Round(double x)
{
    return x + 0.5;
}

uint32_t DecodeSection(PlayerInstanceType* PlayerInstance)
{
    PlayerInstanceType* Player = PlayerInstance;
    if (Player->acmFlushStream) {
        // Only MPEG input holds an MPEG decoder; other formats keep none.
        ExitMP3(&Player->MPEGDecodeInfo);
        if (Player->FileFormat == MP3_FMT)
            InitMP3(&Player->MPEGDecodeInfo);
        Player->acmFlushStream = 0;
    }
    const EngineOpsType* Engine = EngineFor(Player->FileFormat);
    uint32_t Size = Engine->Decode(Player);
    // MPEG input ends before the time and the filters see the section.
    if (Size == 0 && Player->FileFormat == MP3_FMT)
        return 0;
    if (Size > OutBufSz)
        db_printf("ERR: Exceeded out buffer size\n");
    AdvanceElapsedTime(Player, Size);
    const MPEGFileInfoType* Info = Player->MPEGFileInfo;
    WriteFilterChain(Player->OutputFilters, Player->OutBuf, Size, SupportBytesSample, Info->Channels,
                     Info->SampleRate);
    return Size;
}

int StreamToOutput(PlayerInstanceType* PlayerInstance)
{
    PlayerInstanceType* Player = PlayerInstance;
    if (Player->PendingBytes)
        return WriteSection(Player, Player->PendingOffset, Player->PendingBytes);
    // An engine that decodes on a thread of its own may have nothing to
    // hand over yet.
    const EngineOpsType* Engine = EngineFor(Player->FileFormat);
    if (Engine->Ready && !Engine->Ready(Player->MPEGFileInfo)) {
        Sleep(0);
        return 1;
    }
    uint32_t Size = DecodeSection(Player);
    if (Size == 0) {
        db_printf("eos state posted\n");
        EndOfStream(Player);
        return 0;
    }
    // Until it is written the section counts as pending: a heard position
    // reported now is behind all of it.
    Player->PendingOffset = 0;
    Player->PendingBytes = Size;
    uint32_t NextNotify = Player->LastTimeNotify + Player->TimeUpdInterval;
    if (static_cast<double>(NextNotify) < Player->ElapsedTime)
        SendProgressUpdates(Player);
    return WriteSection(Player, 0, Size);
}

void PerformBufferPreload(PlayerInstanceType* PlayerInstance)
{
    for (;;) {
        uint32_t Size = DecodeSection(PlayerInstance);
        if (Size == 0)
            return;
        const MPEGFileInfoType* Info = PlayerInstance->MPEGFileInfo;
        if (PreloadDSoundBufferFormat(PlayerInstance->DSoundProp, PlayerInstance->OutBuf, Size, Info->Channels,
                                      Info->SampleRate))
            return;
    }
}

void SendProgressUpdates(PlayerInstanceType* PlayerInstance)
{
    PlayerInstanceType* Player = PlayerInstance;
    Player->LastTimeNotify = static_cast<uint32_t>(Player->ElapsedTime);
    // The pace of the reports follows decoding; their time may be the heard one.
    double Reported = Player->HeardProgress ? HeardPositionMs(Player) : Player->ElapsedTime;
    PostHostMessage(Player->hPar, Player, ZEB_NTF_ELAPSED_TIME, 0, static_cast<uint32_t>(Reported));
    uint32_t TrackMs = Player->MPEGFileInfo ? TrackMilliseconds(Player->MPEGFileInfo) : 0;
    // An empty position scale (track length 0) reports position 0.
    double Ratio = TrackMs ? Reported / static_cast<double>(TrackMs) : 0.0;
    uint32_t Position = static_cast<uint32_t>(Round(Player->ElapsedLimit * Ratio));
    PostHostMessage(Player->hPar, Player, ZEB_NTF_POSITION, 0, Position);
}
