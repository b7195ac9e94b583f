// Header Object location and the File Properties / Stream Bitrate
// Properties fields; every offset is checked before it is read.
#include "asf_header.h"
#include "asf_guids.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

constexpr size_t ObjectPrologue = 24; // GUID and 64-bit size
// Largest header read into memory: far above any real file's header (cover
// art included), low enough that a forged size cannot exhaust memory.
constexpr uint64_t MaxHeaderSz = 256u << 20;

// Offsets inside the File Properties object, counted from the object start.
constexpr size_t FpPlayDuration = 64;
constexpr size_t FpPreroll = 80;
constexpr size_t FpFlags = 88;
constexpr size_t FpMaxBitrate = 100;
constexpr size_t FpMinSize = 104;
constexpr uint32_t BroadcastFlag = 1;
constexpr uint32_t UnsetBitrate = 0xFFFFFFFFu;
constexpr uint64_t HundredNsPerMs = 10000;

uint64_t LE(const uint8_t* P, size_t Bytes)
{
    uint64_t X = 0;
    for (size_t i = 0; i < Bytes; ++i)
        X |= static_cast<uint64_t>(P[i]) << (8 * i);
    return X;
}

void ReadFileProperties(const uint8_t* Obj, uint64_t ObjSz, ASFHeaderFacts& Facts)
{
    if (ObjSz < FpMinSize)
        return;
    Facts.HasFileProperties = true;
    Facts.PlayDuration = LE(Obj + FpPlayDuration, 8);
    Facts.PrerollMs = LE(Obj + FpPreroll, 8);
    Facts.Flags = static_cast<uint32_t>(LE(Obj + FpFlags, 4));
    Facts.MaxBitrate = static_cast<uint32_t>(LE(Obj + FpMaxBitrate, 4));
}

// A 16-bit record count, then per record 16-bit flags and a 32-bit average
// bit rate.
void ReadStreamBitrates(const uint8_t* Obj, uint64_t ObjSz, ASFHeaderFacts& Facts)
{
    constexpr size_t RecordSz = 6;
    if (ObjSz < ObjectPrologue + 2)
        return;
    uint64_t Count = LE(Obj + ObjectPrologue, 2);
    if (ObjectPrologue + 2 + Count * RecordSz > ObjSz)
        return;
    Facts.HasStreamBitrates = true;
    Facts.StreamBitrateSum = 0;
    for (uint64_t i = 0; i < Count; ++i)
        Facts.StreamBitrateSum += LE(Obj + ObjectPrologue + 2 + i * RecordSz + 2, 4);
}

} // namespace

uint64_t ASFHeaderSize(const uint8_t* Data, size_t DataSz, uint64_t FileSz)
{
    if (DataSz < ASFHeaderPrologue || std::memcmp(Data, AsfHeaderObjectGuid, AsfGuidSz) != 0)
        return 0;
    uint64_t Size = LE(Data + AsfGuidSz, 8);
    if (Size < ASFHeaderPrologue || Size > FileSz || Size > MaxHeaderSz)
        return 0;
    return Size;
}

ASFHeaderFacts ParseASFHeaderFacts(const uint8_t* Header, size_t HeaderSz)
{
    ASFHeaderFacts Facts;
    if (HeaderSz < ASFHeaderPrologue)
        return Facts;
    uint64_t Children = LE(Header + AsfGuidSz + 8, 4);
    size_t Pos = ASFHeaderPrologue;
    for (uint64_t i = 0; i < Children && HeaderSz - Pos >= ObjectPrologue; ++i) {
        const uint8_t* Obj = Header + Pos;
        uint64_t ObjSz = LE(Obj + AsfGuidSz, 8);
        if (ObjSz < ObjectPrologue || ObjSz > HeaderSz - Pos)
            break;
        if (std::memcmp(Obj, AsfFilePropertiesGuid, AsfGuidSz) == 0)
            ReadFileProperties(Obj, ObjSz, Facts);
        else if (std::memcmp(Obj, AsfStreamBitratePropertiesGuid, AsfGuidSz) == 0)
            ReadStreamBitrates(Obj, ObjSz, Facts);
        Pos += ObjSz;
    }
    return Facts;
}

static bool ReadAll(int Fd, uint8_t* Buf, size_t Sz, off_t At)
{
    size_t Done = 0;
    while (Done < Sz) {
        ssize_t N = pread(Fd, Buf + Done, Sz - Done, At + static_cast<off_t>(Done));
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false;
        Done += static_cast<size_t>(N);
    }
    return true;
}

bool ReadASFHeader(int Fd, uint64_t FileSz, std::vector<uint8_t>& Header)
{
    uint8_t Prologue[ASFHeaderPrologue];
    if (FileSz < ASFHeaderPrologue || !ReadAll(Fd, Prologue, sizeof Prologue, 0))
        return false;
    uint64_t Size = ASFHeaderSize(Prologue, sizeof Prologue, FileSz);
    if (Size == 0)
        return false;
    Header.resize(static_cast<size_t>(Size));
    return ReadAll(Fd, Header.data(), Header.size(), 0);
}

uint64_t ASFReportedDuration(const ASFHeaderFacts& Facts)
{
    if (Facts.Flags & BroadcastFlag)
        return 0;
    if (Facts.PrerollMs > Facts.PlayDuration / HundredNsPerMs)
        return 0;
    return Facts.PlayDuration - Facts.PrerollMs * HundredNsPerMs;
}

uint32_t ASFReportedBitrate(const ASFHeaderFacts& Facts)
{
    if (Facts.MaxBitrate != 0 && Facts.MaxBitrate != UnsetBitrate)
        return Facts.MaxBitrate;
    if (Facts.HasStreamBitrates && Facts.StreamBitrateSum <= UnsetBitrate)
        return static_cast<uint32_t>(Facts.StreamBitrateSum);
    return 0;
}
