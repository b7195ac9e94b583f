// The format engines as one table, the content probes that recognise a
// file whatever its name, and the adapters from the player to each engine.
#include "core/engine_table.h"

#include "core/input.h"
#include "core/player.h"
#include "engines/aac_core.h"
#include "engines/adts_aac.h"
#include "engines/flac.h"
#include "engines/mp3_engine.h"
#include "engines/sndfile.h"
#include "engines/vorbis_engine.h"
#include "engines/wav_engine.h"
#include "engines/wmaengine.h"
#include "io/aio_bfr.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// ---- Content probes ----

bool StartsWith(const ProbeHeadType* Head, const void* Magic, size_t Len, size_t At = 0)
{
    return Head->Len >= At + Len && memcmp(Head->Bytes + At, Magic, Len) == 0;
}

const uint8_t Wave64Guid[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
const uint8_t AsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

bool ProbeWave(const ProbeHeadType* Head)
{
    return StartsWith(Head, "RIFF", 4) || StartsWith(Head, "RF64", 4) || StartsWith(Head, Wave64Guid, 16);
}

// The containers the sound-file library reads besides WAVE.
bool ProbeSoundFile(const ProbeHeadType* Head)
{
    return ProbeWave(Head) || StartsWith(Head, "FORM", 4) || StartsWith(Head, "caff", 4) ||
           StartsWith(Head, ".snd", 4);
}

bool ProbeFlac(const ProbeHeadType* Head) { return StartsWith(Head, "fLaC", 4); }
bool ProbeOgg(const ProbeHeadType* Head) { return StartsWith(Head, "OggS", 4); }
bool ProbeAsf(const ProbeHeadType* Head) { return StartsWith(Head, AsfHeaderGuid, 16); }
bool ProbeMP4(const ProbeHeadType* Head) { return StartsWith(Head, "ftyp", 4, 4); }

// ADTS: twelve sync bits and the layer bits 00.
bool ProbeADTS(const ProbeHeadType* Head)
{
    return Head->Len >= 2 && Head->Bytes[0] == 0xFF && (Head->Bytes[1] & 0xF6) == 0xF0;
}

// MPEG audio: an ID3v2 tag, or eleven sync bits with a layer other than 00.
bool ProbeMPEG(const ProbeHeadType* Head)
{
    if (Head->HasID3v2)
        return true;
    return Head->Len >= 2 && Head->Bytes[0] == 0xFF && (Head->Bytes[1] & 0xE0) == 0xE0 &&
           (Head->Bytes[1] & 0x06) != 0;
}

// The size of an ID3v2 tag that starts Bytes (10-byte header), or 0.
uint64_t ID3v2TagSize(const uint8_t* Bytes, size_t Len)
{
    if (Len < 10 || memcmp(Bytes, "ID3", 3) != 0)
        return 0;
    uint64_t Body = 0;
    for (int i = 6; i < 10; ++i) {
        if (Bytes[i] & 0x80)
            return 0;
        Body = (Body << 7) | Bytes[i];
    }
    bool Footer = (Bytes[5] & 0x10) != 0;
    return 10 + Body + (Footer ? 10 : 0);
}

// Reads the first bytes of a regular file, after an ID3v2 tag. A file that
// cannot be read leaves Len 0, which no probe takes.
ProbeHeadType ReadProbeHead(const char* Path)
{
    ProbeHeadType Head{};
    int Fd = OpenRegularFd(Path);
    if (Fd < 0)
        return Head;
    ssize_t Got = pread(Fd, Head.Bytes, ProbeHeadSz, 0);
    uint64_t Skip = Got > 0 ? ID3v2TagSize(Head.Bytes, static_cast<size_t>(Got)) : 0;
    if (Skip) {
        Head.HasID3v2 = true;
        Got = pread(Fd, Head.Bytes, ProbeHeadSz, static_cast<off_t>(Skip));
    }
    Head.Len = Got > 0 ? static_cast<size_t>(Got) : 0;
    close(Fd);
    return Head;
}

// ---- Availability ----

bool Always() { return true; }
bool SoundFileLoaded() { return LibSndFile != 0; }
bool SoundFileAbsent() { return LibSndFile == 0; }

// ---- Adapters from the player to the engines ----

// Decodes MPEG blocks from the read-ahead buffer until a block yields PCM;
// 0 at the end of the input.
uint32_t DecodeMPEG(PlayerInstanceType* Player)
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

// The reader must be idle while the file position changes; it then
// refills from the new position.
void SeekMPEG(PlayerInstanceType* Player, uint32_t MsOffset)
{
    SyncAIOStream(Player->AIOBuf);
    SeekMPEGFile(Player->MPEGFileInfo, MsOffset);
    StartAIOStream(Player->AIOBuf, Player->MPEGFileInfo->Handle);
}

void StartMPEG(PlayerInstanceType* Player)
{
    StartAIOStream(Player->AIOBuf, Player->MPEGFileInfo->Handle);
}

void ScanMPEG(MPEGFileInfoType* Info) { UpdateMPEGForVBRTrackLength(Info); }
void DurationSetByteRate(MPEGFileInfoType* Info, uint32_t Seconds) { AvgBitRate(Info, Seconds); }

uint32_t DecodeWav(PlayerInstanceType* P) { return DecodeWavSection(P->MPEGFileInfo, P->OutBuf, OutBufSz); }
uint32_t DecodeVorbis(PlayerInstanceType* P) { return DecodeVorbisSection(P->MPEGFileInfo, P->OutBuf, OutBufSz); }
uint32_t DecodeAAC(PlayerInstanceType* P) { return DecodeAACSection(P->MPEGFileInfo, P->OutBuf, OutBufSz); }
uint32_t DecodeWMA(PlayerInstanceType* P) { return DecodeWMASection(P->MPEGFileInfo, P->OutBuf, OutBufSz); }
uint32_t DecodeFlac(PlayerInstanceType* P) { return DecodeFlacSection(P->MPEGFileInfo, P->OutBuf); }
uint32_t DecodeSndFile(PlayerInstanceType* P) { return DecodeLibSndSection(P->MPEGFileInfo, P->OutBuf, OutBufSz); }
uint32_t DecodeNothing(PlayerInstanceType*) { return 0; }

void SeekWav(PlayerInstanceType* P, uint32_t Ms) { SeekPCMWavFile(P->MPEGFileInfo, Ms); }
void SeekVorbis(PlayerInstanceType* P, uint32_t Ms) { SeekVorbisFile(P->MPEGFileInfo, Ms); }
void SeekMP4(PlayerInstanceType* P, uint32_t Ms) { SeekAAC_MP4File(P->MPEGFileInfo, Ms); }
void SeekWMA(PlayerInstanceType* P, uint32_t Ms) { SeekWMAFile(P->MPEGFileInfo, Ms); }
void SeekFlac(PlayerInstanceType* P, uint32_t Ms) { SeekFlacFile(P->MPEGFileInfo, Ms); }
void SeekSndFile(PlayerInstanceType* P, uint32_t Ms) { SeekLibSndFile(P->MPEGFileInfo, Ms); }
void SeekNothing(PlayerInstanceType*, uint32_t) {}

void SeekADTS(PlayerInstanceType* P, uint32_t Ms)
{
    SeekAAC_ADTSFile(P->MPEGFileInfo, Ms);
    PostSeekAACBufferReload(P->MPEGFileInfo);
}

// Raw AAC needs both its frames and a decoder; without either nothing stays
// open.
MPEGFileInfoType* PrepareADTS(const char* Path)
{
    MPEGFileInfoType* Info = PrepareAAC_ADTSFile(Path);
    if (Info && OpenAACDecoder(Info))
        return Info;
    UnPrepareAAC_ADTSFile(Info);
    return nullptr;
}

void UnPrepareADTS(MPEGFileInfoType* Info)
{
    CloseAACDecoder(Info);
    UnPrepareAAC_ADTSFile(Info);
}

MPEGFileInfoType* PrepareNothing(const char*) { return nullptr; }
void UnPrepareNothing(MPEGFileInfoType*) {}

bool WMAReady(MPEGFileInfoType* Info) { return WMASamplesPending(Info) != 0; }
void WMATransport(MPEGFileInfoType* Info, uint32_t Cmd) { WMAActionZEBCommand(Cmd, Info); }

// ---- Codec and container names ----

// Up to Size bytes of the file from Offset; the count read.
size_t ReadFileBytes(const char* Path, uint64_t Offset, uint8_t* Bytes, size_t Size)
{
    int Fd = OpenRegularFd(Path);
    if (Fd < 0)
        return 0;
    ssize_t Got = pread(Fd, Bytes, Size, static_cast<off_t>(Offset));
    close(Fd);
    return Got > 0 ? static_cast<size_t>(Got) : 0;
}

uint32_t Le16(const uint8_t* Bytes) { return Bytes[0] | Bytes[1] << 8; }
uint32_t Le32(const uint8_t* Bytes) { return Le16(Bytes) | Le16(Bytes + 2) << 16; }

const char* PcmContainer(const ProbeHeadType* Head)
{
    if (StartsWith(Head, Wave64Guid, 16))
        return "w64";
    if (StartsWith(Head, "FORM", 4))
        return "aiff";
    if (StartsWith(Head, "caff", 4))
        return "caf";
    if (StartsWith(Head, ".snd", 4))
        return "au";
    return "wave";
}

const char* WaveFormatTagName(uint32_t Tag)
{
    switch (Tag) {
    case 3: return "pcm_float";
    case 6: return "alaw";
    case 7: return "mulaw";
    case 2: return "adpcm_ms";
    case 0x11: return "adpcm_ima";
    default: return "pcm";
    }
}

// The format tag of a RIFF WAVE file's "fmt " chunk (the sub-format's for
// an extensible one) among the chunks in its first 4 KiB; 1 when not found.
uint32_t WaveFormatTag(const char* Path)
{
    uint8_t Bytes[4096];
    size_t Len = ReadFileBytes(Path, 0, Bytes, sizeof Bytes);
    for (size_t At = 12; At + 8 <= Len;) {
        uint32_t ChunkSz = Le32(Bytes + At + 4);
        if (memcmp(Bytes + At, "fmt ", 4) == 0 && At + 10 <= Len) {
            uint32_t Tag = Le16(Bytes + At + 8);
            if (Tag == 0xFFFE && At + 34 <= Len)
                Tag = Le16(Bytes + At + 32);
            return Tag;
        }
        if (ChunkSz > Len)
            break;
        At += 8 + ChunkSz + (ChunkSz & 1);
    }
    return 1;
}

CodecNamesType WavNames(const MPEGFileInfoType*, const char* Path)
{
    ProbeHeadType Head = ReadProbeHead(Path);
    return {"pcm", PcmContainer(&Head)};
}

CodecNamesType SoundFileNames(const MPEGFileInfoType*, const char* Path)
{
    ProbeHeadType Head = ReadProbeHead(Path);
    const char* Container = PcmContainer(&Head);
    bool Riff = StartsWith(&Head, "RIFF", 4) || StartsWith(&Head, "RF64", 4);
    return {Riff ? WaveFormatTagName(WaveFormatTag(Path)) : "pcm", Container};
}

// The layer bits of the first frame header: 3 Layer I, 2 Layer II.
CodecNamesType MPEGNames(const MPEGFileInfoType* Info, const char* Path)
{
    uint8_t Bytes[2];
    const char* Codec = "mp3";
    if (ReadFileBytes(Path, Info->FirstFrameOffset, Bytes, sizeof Bytes) == sizeof Bytes) {
        uint32_t Layer = (Bytes[1] >> 1) & 0x3;
        Codec = Layer == 3 ? "mp1" : Layer == 2 ? "mp2" : "mp3";
    }
    return {Codec, "mpeg"};
}

const char* WmaCodecName(uint32_t Tag)
{
    switch (Tag) {
    case 0x160: return "wmav1";
    case 0x162: return "wmapro";
    case 0x163: return "wmalossless";
    case 0x0A: return "wmavoice";
    default: return "wmav2";
    }
}

// The format tag of the first audio stream of an ASF file: the header's
// objects are walked to a stream properties object of the audio media type,
// whose WAVEFORMATEX starts 78 bytes into the object.
uint32_t AsfAudioFormatTag(const char* Path)
{
    static const uint8_t StreamProps[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                            0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    static const uint8_t AudioMedia[16] = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
    constexpr uint64_t HeaderObjectSz = 30, ObjectHeadSz = 24, TagAt = 78;
    constexpr uint32_t MaxObjects = 1024;
    uint8_t Head[HeaderObjectSz];
    if (ReadFileBytes(Path, 0, Head, sizeof Head) != sizeof Head)
        return 0;
    uint64_t End = Le32(Head + 16) | uint64_t{Le32(Head + 20)} << 32;
    uint64_t At = HeaderObjectSz;
    for (uint32_t i = 0; i < MaxObjects && At + ObjectHeadSz <= End; ++i) {
        uint8_t Object[TagAt + 2];
        size_t Got = ReadFileBytes(Path, At, Object, sizeof Object);
        if (Got < ObjectHeadSz)
            return 0;
        uint64_t Size = Le32(Object + 16) | uint64_t{Le32(Object + 20)} << 32;
        if (Got == sizeof Object && memcmp(Object, StreamProps, 16) == 0 &&
            memcmp(Object + ObjectHeadSz, AudioMedia, 16) == 0)
            return Le16(Object + TagAt);
        if (Size < ObjectHeadSz)
            return 0;
        At += Size;
    }
    return 0;
}

CodecNamesType AsfNames(const MPEGFileInfoType*, const char* Path)
{
    return {WmaCodecName(AsfAudioFormatTag(Path)), "asf"};
}

CodecNamesType FlacNames(const MPEGFileInfoType*, const char*) { return {"flac", "flac"}; }
CodecNamesType VorbisNames(const MPEGFileInfoType*, const char*) { return {"vorbis", "ogg"}; }
CodecNamesType MP4Names(const MPEGFileInfoType*, const char*) { return {"aac", "mp4"}; }
CodecNamesType ADTSNames(const MPEGFileInfoType*, const char*) { return {"aac", "adts"}; }

// ---- The table ----

const char* const MPEGExt[] = {".mp2", ".mp3", nullptr};
const char* const WavExt[] = {".wav", ".w64", nullptr};
const char* const OggExt[] = {".ogg", nullptr};
const char* const AacExt[] = {".aac", nullptr};
const char* const MP4Ext[] = {".m4a", ".mp4", nullptr};
const char* const WmaExt[] = {".wma", nullptr};
const char* const FlacExt[] = {".flac", nullptr};
const char* const NoExt[] = {nullptr};

// The order is the order of the content probes: the strongest signatures
// first, MPEG frame sync (the weakest) last. While the sound-file library
// is loaded it takes the WAVE files and the built-in WAVE engine rests.
const EngineOpsType Engines[] = {
    {PCMWAV_FMT, WavExt, SoundFileAbsent, ProbeWave, PreparePCMWavFile, UnPreparePCMWavFile, SeekWav,
     DecodeWav, nullptr, nullptr, nullptr, nullptr, nullptr, WavNames},
    {LIBSNDFILE_FMT, NoExt, SoundFileLoaded, ProbeSoundFile, PrepareLibSndFile, UnPrepareLibSndFile, SeekSndFile,
     DecodeSndFile, nullptr, nullptr, nullptr, nullptr, nullptr, SoundFileNames},
    {FLAC_FMT, FlacExt, Always, ProbeFlac, PrepareFlacFile, UnPrepareFlacFile, SeekFlac, DecodeFlac, nullptr,
     nullptr, nullptr, nullptr, nullptr, FlacNames},
    {VORBIS_FMT, OggExt, Always, ProbeOgg, PrepareVorbisFile, UnPrepareVorbisFile, SeekVorbis, DecodeVorbis,
     nullptr, nullptr, nullptr, nullptr, nullptr, VorbisNames},
    {WMA_FMT, WmaExt, Always, ProbeAsf, PrepareWMAFile, UnPrepareWMAFile, SeekWMA, DecodeWMA, WMAReady,
     WMATransport, nullptr, nullptr, nullptr, AsfNames},
    {AACMP4_FMT, MP4Ext, Always, ProbeMP4, PrepareAAC_MP4File, UnPrepareAAC_MP4File, SeekMP4, DecodeAAC, nullptr,
     nullptr, nullptr, nullptr, nullptr, MP4Names},
    {AACRAW_FMT, AacExt, Always, ProbeADTS, PrepareADTS, UnPrepareADTS, SeekADTS, DecodeAAC, nullptr, nullptr,
     nullptr, DurationSetByteRate, ProcessAAC_ADTSForTrackLength, ADTSNames},
    {MP3_FMT, MPEGExt, Always, ProbeMPEG, PrepareMPEGFile, UnPrepareMPEGFile, SeekMPEG, DecodeMPEG, nullptr,
     nullptr, StartMPEG, DurationSetByteRate, ScanMPEG, MPEGNames},
};

const EngineOpsType NoEngine = {UNKWN_FMT, NoExt, Always, nullptr, PrepareNothing, UnPrepareNothing,
                                SeekNothing, DecodeNothing, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

bool HasExtension(const EngineOpsType& Engine, const std::string& Ext)
{
    for (const char* const* Candidate = Engine.Extensions; *Candidate; ++Candidate)
        if (strcasecmp(Ext.c_str(), *Candidate) == 0)
            return true;
    return false;
}

const EngineOpsType* EngineByExtension(const char* Path)
{
    std::string Ext = PathExtension(Path);
    if (Ext.empty())
        return nullptr;
    for (const EngineOpsType& Engine : Engines)
        if (Engine.Usable() && HasExtension(Engine, Ext))
            return &Engine;
    return nullptr;
}

// The engines tried in turn, each at most once, and the first success.
struct AttemptType {
    const char* Path;
    const EngineOpsType* Tried[sizeof Engines / sizeof Engines[0]];
    size_t TriedCount;
    const EngineOpsType* First; // the engine whose format a failure reports
};

bool AlreadyTried(const AttemptType& Attempt, const EngineOpsType* Engine)
{
    for (size_t i = 0; i < Attempt.TriedCount; ++i)
        if (Attempt.Tried[i] == Engine)
            return true;
    return false;
}

MPEGFileInfoType* TryEngine(AttemptType& Attempt, const EngineOpsType* Engine)
{
    if (!Engine || !Engine->Usable() || AlreadyTried(Attempt, Engine))
        return nullptr;
    Attempt.Tried[Attempt.TriedCount++] = Engine;
    if (!Attempt.First)
        Attempt.First = Engine;
    return Engine->Prepare(Attempt.Path);
}

} // namespace

const EngineOpsType* EngineFor(AudioFileFmtType Format)
{
    for (const EngineOpsType& Engine : Engines)
        if (Engine.Format == Format)
            return &Engine;
    return &NoEngine;
}

AudioFileFmtType OpenWithEngines(const char* Path, MPEGFileInfoType** Info)
{
    AttemptType Attempt{Path, {}, 0, nullptr};
    const EngineOpsType* Named = EngineByExtension(Path);
    // The engine the name asks for; without one, the sound-file library
    // and then MPEG audio, which takes any file it finds frames in.
    const EngineOpsType* ByName[] = {Named, Named ? nullptr : EngineFor(LIBSNDFILE_FMT),
                                     Named ? nullptr : EngineFor(MP3_FMT)};
    for (const EngineOpsType* Engine : ByName)
        if ((*Info = TryEngine(Attempt, Engine)))
            return Engine->Format;
    // A name that lies: the engines whose signature the content carries.
    ProbeHeadType Head = ReadProbeHead(Path);
    for (const EngineOpsType& Engine : Engines)
        if (Engine.Probe(&Head) && (*Info = TryEngine(Attempt, &Engine)))
            return Engine.Format;
    return Attempt.First ? Attempt.First->Format : UNKWN_FMT;
}
