// PCM RIFF WAVE and Wave64: chunk parsing, then sample bytes straight from the
// operating-system file beneath the stream, a quarter second per call.
#include "wav_engine.h"

#include "64bit_conversions.h"
#include "mem_util.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

constexpr uint16_t WaveFormatPcm = 1;
constexpr size_t TagSz = 4;
constexpr size_t RiffHeaderSz = 8;          // tag + 32-bit size
constexpr size_t GuidSz = 16;
constexpr uint64_t Riff64HeaderSz = 24;     // GUID + 64-bit size, counted in the size
constexpr int Riff64ChunkAlign = 8;
constexpr size_t FormatFieldsSz = 16;       // WAVEFORMAT without cbSize
constexpr uint32_t ReadsPerSecond = 4;      // each decode delivers a quarter second
constexpr double SecondsPerMs = 0.001;
// Seek offsets are held below this so that the file position cannot overflow.
constexpr double SeekOffsetLimit = 4611686018427387904.0; // 2^62

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

constexpr GUID Riff64FileGuid = {0x66666972, 0x912E, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr GUID Riff64WaveGuid = {0x65766177, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A}};
constexpr GUID Riff64FmtGuid = {0x20746D66, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A}};
constexpr GUID Riff64DataGuid = {0x61746164, 0xACF3, 0x11D3, {0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A}};

// The format chunk fields the engine uses (WAVEFORMATEX layout in the file).
struct PCMFormatType {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
};

uint16_t Get16(const uint8_t* P) { return static_cast<uint16_t>(P[0] | P[1] << 8); }

uint32_t Get32(const uint8_t* P)
{
    return static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 | static_cast<uint32_t>(P[2]) << 16 |
           static_cast<uint32_t>(P[3]) << 24;
}

uint64_t Get64(const uint8_t* P) { return Get32(P) | static_cast<uint64_t>(Get32(P + 4)) << 32; }

bool ReadExact(FILE* Fi, void* Out, size_t Size) { return fread(Out, 1, Size, Fi) == Size; }

// Four-character chunk identifiers compare without regard to letter case.
bool SameTag(const uint8_t* Tag, const char* Name)
{
    for (size_t i = 0; i < TagSz; ++i)
        if (tolower(Tag[i]) != tolower(static_cast<unsigned char>(Name[i])))
            return false;
    return true;
}

// A GUID as it is stored in a file: the first three groups little-endian.
bool SameGuid(const uint8_t* Bytes, const GUID& Guid)
{
    return Get32(Bytes) == Guid.Data1 && Get16(Bytes + 4) == Guid.Data2 && Get16(Bytes + 6) == Guid.Data3 &&
           memcmp(Bytes + 8, Guid.Data4, sizeof Guid.Data4) == 0;
}

int64_t FileSize(FILE* Fi)
{
    struct stat St;
    return fstat(fileno(Fi), &St) == 0 ? static_cast<int64_t>(St.st_size) : -1;
}

// Bytes from the stream position to the end of the file.
uint64_t BytesLeft(FILE* Fi, int64_t FileSz)
{
    off_t Pos = ftello(Fi);
    return Pos >= 0 && Pos <= FileSz ? static_cast<uint64_t>(FileSz - Pos) : 0;
}

// Skips Count bytes; false when that would pass the end of the file.
bool SkipBytes(FILE* Fi, uint64_t Count, int64_t FileSz)
{
    if (Count > BytesLeft(Fi, FileSz))
        return false;
    return fseeko(Fi, static_cast<off_t>(Count), SEEK_CUR) == 0;
}

// Reads a format chunk body of BodySz bytes followed by Padding bytes.
bool ReadFormatBody(FILE* Fi, uint64_t BodySz, uint64_t Padding, int64_t FileSz, PCMFormatType* Format)
{
    if (BodySz < FormatFieldsSz || BodySz > BytesLeft(Fi, FileSz))
        return false;
    uint8_t Body[FormatFieldsSz];
    if (!ReadExact(Fi, Body, sizeof Body))
        return false;
    Format->wFormatTag = Get16(Body);
    Format->nChannels = Get16(Body + 2);
    Format->nSamplesPerSec = Get32(Body + 4);
    Format->nAvgBytesPerSec = Get32(Body + 8);
    Format->nBlockAlign = Get16(Body + 12);
    Format->wBitsPerSample = Get16(Body + 14);
    return SkipBytes(Fi, BodySz - FormatFieldsSz + Padding, FileSz);
}

// PCM with values that every later division can rely on.
bool UsablePcmFormat(const PCMFormatType& Format)
{
    return Format.wFormatTag == WaveFormatPcm && Format.nChannels > 0 && Format.nSamplesPerSec > 0 &&
           Format.nAvgBytesPerSec > 0 && Format.wBitsPerSample >= 8;
}

// Fills a new record for the data chunk at FirstFrameOffset and positions
// the operating-system file there.
MPEGFileInfoType* NewWavInfo(FILE* Fi, const PCMFormatType& Format, off_t FirstFrameOffset, uint64_t DataSz)
{
    if (FirstFrameOffset < 0 || static_cast<uint64_t>(FirstFrameOffset) > UINT32_MAX)
        return nullptr;
    if (lseek(fileno(Fi), FirstFrameOffset, SEEK_SET) != FirstFrameOffset)
        return nullptr;
    MPEGFileInfoType* Info = NewFileInfo();
    if (!Info)
        return nullptr;
    uint64_t Seconds = DataSz / Format.nAvgBytesPerSec;
    Info->Handle = Fi;
    Info->FirstFrameOffset = static_cast<uint32_t>(FirstFrameOffset);
    Info->SampleRate = Format.nSamplesPerSec;
    Info->Channels = Format.nChannels;
    Info->BytesPerSample = static_cast<uint16_t>(Format.wBitsPerSample / 8);
    Info->FileLength = DataSz;
    Info->TrackLength = static_cast<uint32_t>(std::min<uint64_t>(Seconds, UINT32_MAX));
    // Counted in the sample frames that decoding delivers and seeking steps by.
    Info->TotalSamples = DataSz / (static_cast<uint32_t>(Info->Channels) * Info->BytesPerSample);
    // At least one byte per call, so that a very low byte rate still plays out.
    Info->DecoderPriv = std::max<uint32_t>(Format.nAvgBytesPerSec / ReadsPerSecond, 1);
    return Info;
}

// ---- RIFF WAVE ----

// Walks the chunks from the stream position to the one named Name, skipping
// others with their pad byte. False at end of file, on a zero-size chunk of
// another kind, or when a skip would pass the end of the file.
bool FindRiffChunk(FILE* Fi, const char* Name, int64_t FileSz, uint32_t* ChunkSz)
{
    for (;;) {
        uint8_t Header[RiffHeaderSz];
        if (!ReadExact(Fi, Header, sizeof Header))
            return false;
        uint32_t Size = Get32(Header + TagSz);
        if (SameTag(Header, Name)) {
            *ChunkSz = Size;
            return true;
        }
        if (Size == 0)
            return false;
        if (!SkipBytes(Fi, static_cast<uint64_t>(Size) + (Size & 1), FileSz))
            return false;
    }
}

// Parses the chunks after "RIFF....WAVE".
MPEGFileInfoType* ProcessRiffWave(FILE* Fi)
{
    int64_t FileSz = FileSize(Fi);
    uint32_t ChunkSz;
    PCMFormatType Format;
    if (FileSz < 0 || !FindRiffChunk(Fi, "fmt ", FileSz, &ChunkSz))
        return nullptr;
    if (!ReadFormatBody(Fi, ChunkSz, ChunkSz & 1, FileSz, &Format) || !UsablePcmFormat(Format))
        return nullptr;
    if (!FindRiffChunk(Fi, "data", FileSz, &ChunkSz))
        return nullptr;
    return NewWavInfo(Fi, Format, ftello(Fi), ChunkSz);
}

// ---- Wave64 ----

// Walks the chunks from the stream position to the one identified by Guid,
// skipping others (bodies padded to 8 bytes). Gives the unpadded body size.
// False at end of file, on a size smaller than the chunk header, or when a
// skip would pass the end of the file.
bool FindRiff64Chunk(FILE* Fi, const GUID& Guid, int64_t FileSz, uint64_t* BodySz)
{
    for (;;) {
        uint8_t Header[Riff64HeaderSz];
        if (!ReadExact(Fi, Header, sizeof Header))
            return false;
        uint64_t ChunkSz = Get64(Header + GuidSz);
        if (ChunkSz < Riff64HeaderSz)
            return false;
        uint64_t Body = ChunkSz - Riff64HeaderSz;
        if (SameGuid(Header, Guid)) {
            *BodySz = Body;
            return true;
        }
        LARGE_INTEGER Padded;
        Padded.QuadPart = static_cast<int64_t>(Body);
        AlignQWordToBoundary(&Padded, Riff64ChunkAlign);
        if (!SkipBytes(Fi, static_cast<uint64_t>(Padded.QuadPart), FileSz))
            return false;
    }
}

uint64_t Riff64Padding(uint64_t BodySz)
{
    return (Riff64ChunkAlign - BodySz % Riff64ChunkAlign) % Riff64ChunkAlign;
}

} // namespace

MPEGFileInfoType* Process64BitWave(FILE* Fi)
{
    uint8_t Header[Riff64HeaderSz];
    uint8_t FormType[GuidSz];
    int64_t FileSz = FileSize(Fi);
    if (FileSz < 0 || fseeko(Fi, 0, SEEK_SET) != 0)
        return nullptr;
    if (!ReadExact(Fi, Header, sizeof Header) || !SameGuid(Header, Riff64FileGuid))
        return nullptr;
    if (!ReadExact(Fi, FormType, sizeof FormType) || !SameGuid(FormType, Riff64WaveGuid))
        return nullptr;
    uint64_t BodySz;
    PCMFormatType Format;
    if (!FindRiff64Chunk(Fi, Riff64FmtGuid, FileSz, &BodySz))
        return nullptr;
    if (!ReadFormatBody(Fi, BodySz, Riff64Padding(BodySz), FileSz, &Format) || !UsablePcmFormat(Format))
        return nullptr;
    if (!FindRiff64Chunk(Fi, Riff64DataGuid, FileSz, &BodySz))
        return nullptr;
    return NewWavInfo(Fi, Format, ftello(Fi), BodySz);
}

MPEGFileInfoType* PreparePCMWavFile(const char* Pathname)
{
    FILE* Fi = OpenRegularFile(Pathname);
    if (!Fi)
        return nullptr;
    uint8_t Header[RiffHeaderSz];
    uint8_t FormType[TagSz];
    MPEGFileInfoType* Info = nullptr;
    // A file too short for the header and form type is not RIFF.
    if (ReadExact(Fi, Header, sizeof Header) && SameTag(Header, "RIFF") && ReadExact(Fi, FormType, sizeof FormType))
        Info = SameTag(FormType, "WAVE") ? ProcessRiffWave(Fi) : Process64BitWave(Fi);
    if (!Info)
        fclose(Fi);
    return Info;
}

// Reads up to Size bytes at the file position; 0 when the first read fails.
static uint32_t ReadFromFile(int Fd, uint8_t* Out, uint32_t Size)
{
    uint32_t Done = 0;
    while (Done < Size) {
        ssize_t Got = read(Fd, Out + Done, Size - Done);
        if (Got < 0 && errno == EINTR)
            continue;
        if (Got <= 0)
            break;
        Done += static_cast<uint32_t>(Got);
    }
    return Done;
}

uint32_t DecodeWavSection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t BufSz)
{
    if (!MPEGFileInfo || !OutBuf)
        return 0;
    int Fd = fileno(MPEGFileInfo->Handle);
    uint64_t ReadSz = std::min<uint64_t>(MPEGFileInfo->DecoderPriv, BufSz);
    off_t Pos = lseek(Fd, 0, SEEK_CUR);
    if (Pos < static_cast<off_t>(MPEGFileInfo->FirstFrameOffset))
        return 0;
    uint64_t Played = static_cast<uint64_t>(Pos) - MPEGFileInfo->FirstFrameOffset;
    if (Played >= MPEGFileInfo->FileLength)
        return 0;
    ReadSz = std::min(ReadSz, MPEGFileInfo->FileLength - Played);
    return ReadFromFile(Fd, static_cast<uint8_t*>(OutBuf), static_cast<uint32_t>(ReadSz));
}

void SeekPCMWavFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo)
        return;
    double Seconds = MsOffset * SecondsPerMs;
    uint32_t Block = static_cast<uint32_t>(MPEGFileInfo->Channels) * MPEGFileInfo->BytesPerSample;
    double Bytes = static_cast<double>(Block) * MPEGFileInfo->SampleRate * Seconds;
    LARGE_INTEGER Offset;
    DoubleToQWord(std::min(Bytes, SeekOffsetLimit), &Offset);
    AlignQWordToBoundary(&Offset, static_cast<int>(Block));
    lseek(fileno(MPEGFileInfo->Handle), static_cast<off_t>(MPEGFileInfo->FirstFrameOffset + Offset.QuadPart),
          SEEK_SET);
}

void UnPreparePCMWavFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    fclose(MPEGFileInfo->Handle);
    FreeFileInfo(MPEGFileInfo);
}
