// Decoding one section, streaming it to the output, progress and preload.
#include "core/pipeline.h"

#include "core/player.h"
#include "engines/aac_core.h"
#include "engines/flac.h"
#include "engines/mp3_engine.h"
#include "engines/sndfile.h"
#include "engines/vorbis_engine.h"
#include "engines/wav_engine.h"
#include "engines/wmaengine.h"
#include "io/aio_bfr.h"
#include "output/dsound_if.h"
#include "output/filters.h"

#include <cstring>

namespace {

// Decodes MPEG blocks from the read-ahead buffer until a block yields PCM;
// 0 at the end of the input.
uint32_t DecodeMPEGSection(PlayerInstanceType* Player)
{
    uint32_t Total = 0;
    while (Total == 0) {
        uint32_t Len = ReadAIOBuf(Player->AIOBuf, Player->InBuf, InBufSz);
        if (Len == 0) {
            db_printf("EOF on AIO read\n");
            return 0;
        }
        int Sz = 0;
        int Stat = decodeMP3(&Player->MPEGDecodeInfo, reinterpret_cast<const char*>(Player->InBuf),
                             static_cast<int>(Len), reinterpret_cast<char*>(Player->ScratchBuf), OutBufSz, &Sz);
        // The decoder never writes more than the room left in the section;
        // what does not fit stays in the decoder for the next call.
        while (Stat == MP3_OK) {
            memcpy(Player->OutBuf + Total, Player->ScratchBuf, static_cast<uint32_t>(Sz));
            Total += static_cast<uint32_t>(Sz);
            if (Total == OutBufSz)
                break;
            Stat = decodeMP3(&Player->MPEGDecodeInfo, nullptr, 0, reinterpret_cast<char*>(Player->ScratchBuf),
                             static_cast<int>(OutBufSz - Total), &Sz);
        }
        db_printf("end decode %d\n", static_cast<int>(Total));
        if (Stat == MP3_ERR) {
            db_printf("codec thru error\n");
            Player->acmFlushStream = 1;
            FlushAIOBuffers(Player->AIOBuf);
            if (LocateNextFrame(Player->MPEGFileInfo))
                StartAIOStream(Player->AIOBuf, Player->MPEGFileInfo->Handle);
        }
    }
    return Total;
}

uint32_t DecodeByFormat(PlayerInstanceType* Player)
{
    switch (Player->FileFormat) {
    case MP3_FMT:
        return DecodeMPEGSection(Player);
    case PCMWAV_FMT:
        return DecodeWavSection(Player->MPEGFileInfo, Player->OutBuf, OutBufSz);
    case VORBIS_FMT:
        return DecodeVorbisSection(Player->MPEGFileInfo, Player->OutBuf, OutBufSz);
    case AACRAW_FMT:
    case AACMP4_FMT:
        return DecodeAACSection(Player->MPEGFileInfo, Player->OutBuf, OutBufSz);
    case WMA_FMT:
        return DecodeWMASection(Player->MPEGFileInfo, Player->OutBuf, OutBufSz);
    case FLAC_FMT:
        return DecodeFlacSection(Player->MPEGFileInfo, Player->OutBuf);
    case LIBSNDFILE_FMT:
        return DecodeLibSndSection(Player->MPEGFileInfo, Player->OutBuf, OutBufSz);
    default:
        return 0;
    }
}

void AdvanceElapsedTime(PlayerInstanceType* Player, uint32_t Size)
{
    const MPEGFileInfoType* Info = Player->MPEGFileInfo;
    double TimeSz = static_cast<double>(Size / Info->Channels / Info->BytesPerSample) / Info->SampleRate * 1000.0;
    Player->ElapsedTime += TimeSz;
    double Limit = TrackMilliseconds(Info);
    if (Player->ElapsedTime > Limit)
        Player->ElapsedTime = Limit;
}

} // namespace

double Round(double x)
{
    return x + 0.5;
}

uint32_t DecodeSection(PlayerInstanceType* PlayerInstance)
{
    PlayerInstanceType* Player = PlayerInstance;
    if (Player->acmFlushStream) {
        ExitMP3(&Player->MPEGDecodeInfo);
        InitMP3(&Player->MPEGDecodeInfo);
        Player->acmFlushStream = 0;
    }
    uint32_t Size = DecodeByFormat(Player);
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
    // The WMA engine decodes on the runtime's thread: until it hands a
    // sample over there is nothing to decode here.
    if (Player->FileFormat == WMA_FMT && !WMASamplesPending(Player->MPEGFileInfo)) {
        Sleep(0);
        return 1;
    }
    uint32_t Size = DecodeSection(Player);
    if (Size == 0) {
        db_printf("eos state posted\n");
        // An input that ended within a preload has not started the output.
        if (Player->DSoundProp)
            StartPendingPreload(Player->DSoundProp);
        CloseOutputStreams(Player);
        PostHostMessage(Player->hPar, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 0);
        Player->PlayState = ZEB_PLAYER_STATE_EOS;
        return 0;
    }
    uint32_t NextNotify = Player->LastTimeNotify + Player->TimeUpdInterval;
    if (static_cast<double>(NextNotify) < Player->ElapsedTime)
        SendProgressUpdates(Player);
    if (Player->cOutputModule.OutputWrite) {
        const MPEGFileInfoType* Info = Player->MPEGFileInfo;
        Player->cOutputModule.OutputWrite(Player->cOutputInst, Player->OutBuf, Size, SupportBytesSample,
                                          Info->Channels, Info->SampleRate);
    }
    return 1;
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
    PostHostMessage(Player->hPar, ZEB_NTF_ELAPSED_TIME, 0, Player->LastTimeNotify);
    uint32_t TrackMs = Player->MPEGFileInfo ? TrackMilliseconds(Player->MPEGFileInfo) : 0;
    // An empty position scale (track length 0) reports position 0.
    double Ratio = TrackMs ? Player->ElapsedTime / static_cast<double>(TrackMs) : 0.0;
    uint32_t Position = static_cast<uint32_t>(Round(Player->ElapsedLimit * Ratio));
    PostHostMessage(Player->hPar, ZEB_NTF_POSITION, 0, Position);
}
