// MPEG audio frame headers: fields, tables, frame length and header searches.
#include "mpeghdr.h"

#include <climits>
#include <cstring>
#include <sys/types.h>

const int SampleRateIndexTable[4][3] = {
    {44100, 22050, 11025},
    {48000, 24000, 12000},
    {32000, 16000, 8000},
    {0, 0, 0},
};

const int BitrateIndexTable[16][5] = {
    {0, 0, 0, 0, 0},
    {32, 32, 32, 32, 8},
    {64, 48, 40, 48, 16},
    {96, 56, 48, 56, 24},
    {128, 64, 56, 64, 32},
    {160, 80, 64, 80, 40},
    {192, 96, 80, 96, 48},
    {224, 112, 96, 112, 56},
    {256, 128, 112, 128, 64},
    {288, 160, 128, 144, 80},
    {320, 192, 160, 160, 96},
    {352, 224, 192, 176, 112},
    {384, 256, 224, 192, 128},
    {416, 320, 256, 224, 144},
    {448, 384, 320, 256, 160},
    {-1, -1, -1, -1, -1},
};

const int BitrateIndexFromHdr[4][4] = {
    {-1, 4, 4, 3},    // MPEG-2.5
    {-1, -1, -1, -1}, // reserved
    {-1, 4, 4, 3},    // MPEG-2
    {-1, 2, 1, 0},    // MPEG-1
};

namespace {

constexpr size_t SearchBlockSize = 1024;
constexpr int ConfirmingFrames = 3;
constexpr int KbitToBit = 1000;
constexpr uint8_t SyncByte = 0xFF;
constexpr uint8_t SyncMaskByte1 = 0xE0;   // the last three sync bits
constexpr uint32_t InvalidBitRateIndex = 15;
constexpr uint32_t ReservedRateIndex = 3;

// Frame length = coefficient x bit rate / sample rate, the coefficient being
// samples per frame / 8 (for Layer I counted in 4-byte slots).
constexpr uint32_t L1Coefficient = 12;    // Layer I, in 4-byte slots
constexpr uint32_t L1SlotSize = 4;
constexpr uint32_t L2_3Coefficient = 144; // Layer II, and Layer III of MPEG-1
constexpr uint32_t L3LsfCoefficient = 72; // Layer III of MPEG-2 and MPEG-2.5

// Column of SampleRateIndexTable by VersionId; -1 for the reserved version.
constexpr int SampleRateColumn[4] = {2, -1, 1, 0};

// Candidate search states: how many header bytes have been accepted.
enum CandidateState { WantSync = 0, WantByte1 = 1, WantByte2 = 2, WantByte3 = 3 };

bool Byte1Acceptable(uint8_t Byte)
{
    return (Byte & SyncMaskByte1) == SyncMaskByte1 && ((Byte >> 3) & 3) != VersionReserved &&
           ((Byte >> 1) & 3) != LayerReserved;
}

bool Byte2Acceptable(uint8_t Byte)
{
    return (Byte >> 4) != InvalidBitRateIndex && ((Byte >> 2) & 3) != ReservedRateIndex;
}

bool Confirms(MPEGFrameHdrType Candidate, MPEGFrameHdrType Next)
{
    return Next.SyncBits() == FrameSyncBits && Next.VersionId() == Candidate.VersionId() &&
           Next.LayerDesc() == Candidate.LayerDesc() && CalculateFrameLength(Next) != 0;
}

// Reads the frames that follow a candidate at CandPos: 1 all three
// confirm, 0 one does not, -1 the end of the stream came first.
int ConfirmCandidate(FILE* Fi, off_t CandPos, MPEGFrameHdrType Candidate)
{
    uint32_t Len = CalculateFrameLength(Candidate);
    if (Len == 0)
        return 0;
    if (fseeko(Fi, CandPos + Len, SEEK_SET) != 0)
        return -1;
    for (int i = 0; i < ConfirmingFrames; ++i) {
        MPEGFrameHdrType Next;
        if (!ReadFrameHdr(Fi, &Next))
            return -1;
        if (!Confirms(Candidate, Next))
            return 0;
        if (fseeko(Fi, CalculateFrameLength(Next) - FrameHdrBytes, SEEK_CUR) != 0)
            return -1;
    }
    return 1;
}

} // namespace

bool ReadFrameHdr(FILE* Fi, MPEGFrameHdrType* Hdr)
{
    uint32_t Raw = 0;
    if (fread(&Raw, 1, FrameHdrBytes, Fi) != FrameHdrBytes)
        return false;
    lword_swap(&Raw);
    Hdr->Word = Raw;
    return true;
}

void lword_swap(uint32_t* lword)
{
    uint8_t B[4];
    std::memcpy(B, lword, 4);
    *lword = FrameHdrFromBytes(B).Word;
}

MPEGFrameHdrType FrameHdrFromBytes(const uint8_t* Bytes)
{
    return MPEGFrameHdrType{(static_cast<uint32_t>(Bytes[0]) << 24) |
                            (static_cast<uint32_t>(Bytes[1]) << 16) |
                            (static_cast<uint32_t>(Bytes[2]) << 8) | Bytes[3]};
}

int SampleRateFromFrameHdr(MPEGFrameHdrType FrameHdr)
{
    int Column = SampleRateColumn[FrameHdr.VersionId()];
    if (Column < 0)
        return 0;
    return SampleRateIndexTable[FrameHdr.SampleRate()][Column];
}

int BitRateFromFrameHdr(MPEGFrameHdrType FrameHdr)
{
    int Column = BitrateIndexFromHdr[FrameHdr.VersionId()][FrameHdr.LayerDesc()];
    if (Column < 0)
        return 0;
    int Kbit = BitrateIndexTable[FrameHdr.BitRate()][Column];
    if (Kbit <= 0)
        return 0;
    return Kbit * KbitToBit;
}

uint32_t CalculateFrameLength(MPEGFrameHdrType FrameHdr)
{
    uint32_t BR = static_cast<uint32_t>(BitRateFromFrameHdr(FrameHdr));
    uint32_t SR = static_cast<uint32_t>(SampleRateFromFrameHdr(FrameHdr));
    if (BR == 0 || SR == 0)
        return 0;
    if (FrameHdr.LayerDesc() == LayerI)
        return L1Coefficient * BR / SR * L1SlotSize + (FrameHdr.Padding() ? L1PaddingSize : 0);
    uint32_t Pad = FrameHdr.Padding() ? L2_3PaddingSize : 0;
    if (FrameHdr.LayerDesc() == LayerIII && FrameHdr.VersionId() != VersionMpeg1)
        return L3LsfCoefficient * BR / SR + Pad;
    return L2_3Coefficient * BR / SR + Pad;
}

uint32_t SamplesPerFrameFromHdr(MPEGFrameHdrType FrameHdr)
{
    if (FrameHdr.LayerDesc() == LayerI)
        return L1SamplesPerFrame;
    if (FrameHdr.LayerDesc() == LayerIII && FrameHdr.VersionId() != VersionMpeg1)
        return L3LsfSamplesPerFrame;
    return L2_3SamplesPerFrame;
}

void ProcessNextFrameHeader(FILE* Fi, MPEGFrameHdrType* FrameHdr, int32_t* FrameOffset)
{
    uint8_t Block[SearchBlockSize];
    uint8_t Hdr[FrameHdrBytes] = {0, 0, 0, 0};
    CandidateState State = WantSync;
    int32_t Count = 0;
    int32_t CandOffset = -1;
    *FrameOffset = -1;
    for (;;) {
        size_t Got = fread(Block, 1, sizeof Block, Fi);
        if (Got == 0)
            return;
        for (size_t i = 0; i < Got; ++i) {
            uint8_t Byte = Block[i];
            switch (State) {
            case WantSync:
                if (Byte == SyncByte) {
                    Hdr[0] = Byte;
                    CandOffset = Count;
                    State = WantByte1;
                }
                break;
            case WantByte1:
                State = Byte1Acceptable(Byte) ? WantByte2 : WantSync;
                Hdr[1] = Byte;
                break;
            case WantByte2:
                State = Byte2Acceptable(Byte) ? WantByte3 : WantSync;
                Hdr[2] = Byte;
                break;
            case WantByte3:
                Hdr[3] = Byte;
                *FrameHdr = FrameHdrFromBytes(Hdr);
                *FrameOffset = CandOffset;
                return;
            }
            // Offsets are reported as 32-bit distances; a longer search fails.
            if (Count == INT32_MAX)
                return;
            ++Count;
        }
    }
}

void GetNextFrameHeader(FILE* Fi, MPEGFrameHdrType* FrameHdr, int32_t* FrameOffset)
{
    *FrameOffset = -1;
    off_t StartPos = ftello(Fi);
    if (StartPos < 0)
        return;
    off_t FilePos = StartPos;
    for (;;) {
        MPEGFrameHdrType Candidate;
        int32_t CandOffset;
        ProcessNextFrameHeader(Fi, &Candidate, &CandOffset);
        if (CandOffset < 0)
            return;
        off_t CandPos = FilePos + CandOffset;
        int Confirmed = ConfirmCandidate(Fi, CandPos, Candidate);
        if (Confirmed < 0)
            return;
        if (Confirmed > 0) {
            if (CandPos - StartPos > INT32_MAX)
                return;
            *FrameHdr = Candidate;
            *FrameOffset = static_cast<int32_t>(CandPos - StartPos);
            return;
        }
        FilePos = CandPos + FrameHdrBytes;
        if (fseeko(Fi, FilePos, SEEK_SET) != 0)
            return;
    }
}
