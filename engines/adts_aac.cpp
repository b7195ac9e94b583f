// Raw AAC in ADTS framing: finds the first genuine frame behind an optional
// ID3v2 tag, estimates frame count, bit rate and track length from about one
// second of frames, scans every frame for the exact length on request, and
// seeks by a byte estimate followed by a resynchronisation. The AAC decoder
// core reads the same stream from wherever this engine leaves it.
//
// Positions are 64-bit inside the engine; only the offsets that the public
// interface carries in 32 bits are narrowed, and one that does not fit is
// reported as not found.
#include "adts_aac.h"

#include "id3.h"

#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <iterator>

namespace {

constexpr uint32_t HeaderBytes = 7;
constexpr size_t SearchBlockSz = 1024;
constexpr uint32_t SyncWord = 0xFFF;
constexpr uint8_t SyncByte = 0xFF;
constexpr uint8_t SyncNibbleMask = 0xF0;
constexpr uint8_t LayerMask = 0x06;
constexpr int FollowersNeeded = 3;
constexpr uint32_t SamplesPerAACFrame = 1024;
constexpr uint32_t RateCount = std::size(SampleRateIndexTable);
constexpr uint16_t DeliveredBytesPerSample = 2;
constexpr int ADTSVBRFlag = 1;
constexpr double MsToSeconds = 0.001;
constexpr double BitsToBytes = 0.125;
constexpr double BitsToKbits = 0.001;
constexpr int KbitsToBits = 1000;

// ---- Header fields ----

// The 7 bytes as a 56-bit little-endian value (memory byte 0 lowest).
uint64_t HeaderBits(const ADTSHeaderType& Hdr)
{
    uint64_t V = 0;
    for (int k = HeaderBytes - 1; k >= 0; --k)
        V = (V << 8) | Hdr.Bytes[k];
    return V;
}

uint32_t Field(const ADTSHeaderType& Hdr, unsigned Lsb, unsigned Width)
{
    return static_cast<uint32_t>((HeaderBits(Hdr) >> Lsb) & ((1u << Width) - 1));
}

// ---- Small helpers ----

uint32_t ClampU32(uint64_t V)
{
    return V > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(V);
}

int32_t NarrowOffset(int64_t V)
{
    return V < 0 || V > INT32_MAX ? -1 : static_cast<int32_t>(V);
}

off_t FileSizeOf(FILE* Fi)
{
    struct stat St;
    if (fstat(fileno(Fi), &St) != 0)
        return -1;
    return St.st_size;
}

// Reads 7 header bytes and brings them into the reversed layout.
bool ReadHeader(FILE* Fi, ADTSHeaderType* Hdr)
{
    if (fread(Hdr->Bytes, 1, HeaderBytes, Fi) != HeaderBytes)
        return false;
    HeaderSwap(Hdr);
    return true;
}

// A header that can open a frame: a known sampling frequency (indices 12-15
// are reserved and name no rate) and a length that covers at least the
// header, so that the next frame lies ahead of this one.
bool UsableHeader(const ADTSHeaderType& Hdr)
{
    return SampleRate(Hdr) < RateCount && FrameLength(Hdr) >= HeaderBytes;
}

bool SameStream(const ADTSHeaderType& A, const ADTSHeaderType& B)
{
    return SyncBits(A) == SyncBits(B) && VersionId(A) == VersionId(B) &&
           LayerDesc(A) == LayerDesc(B) && SampleRate(A) == SampleRate(B);
}

// ---- Candidate search ----

// State of the byte search; carried from one read block to the next.
struct CandidateScan {
    int State = 0;     // 0: looking for 0xFF, 1: second byte, 2: bytes 2-6
    int Index = 0;     // next memory byte to fill in state 2
    int64_t Count = 0; // bytes looked at since the entry position
    int64_t Start = -1;
};

// Takes one byte; true when it completes a header.
bool FeedByte(CandidateScan& S, ADTSHeaderType* Hdr, uint8_t B)
{
    bool Complete = false;
    if (S.State == 0) {
        if (B == SyncByte) {
            S.Start = S.Count;
            Hdr->Bytes[6] = B;
            S.State = 1;
        }
    } else if (S.State == 1) {
        // Either way back to state 0, this byte is not looked at again as a
        // first byte: FF FF F1 has its second FF taken as a second byte.
        S.State = 0;
        if ((B & SyncNibbleMask) == SyncNibbleMask) {
            Hdr->Bytes[5] = B;
            if ((B & LayerMask) == 0) {
                S.Index = 4;
                S.State = 2;
            }
        }
    } else {
        Hdr->Bytes[S.Index--] = B;
        Complete = S.Index < 0;
    }
    ++S.Count;
    return Complete;
}

// Offset from the stream's position of the next byte pattern that looks
// like a header, or -1. The stream is left wherever the reads stopped.
int64_t FindCandidate(FILE* Fi, ADTSHeaderType* Hdr)
{
    uint8_t Block[SearchBlockSz];
    CandidateScan S;
    size_t Got;
    while ((Got = fread(Block, 1, sizeof Block, Fi)) > 0)
        for (size_t i = 0; i < Got; ++i)
            if (FeedByte(S, Hdr, Block[i]))
                return S.Start;
    return -1;
}

// ---- Validated search ----

// True when three readable frames follow the candidate at Abs, each of the
// same stream and each long enough to lead on to the next.
bool HasAgreeingFollowers(FILE* Fi, const ADTSHeaderType& Cand, off_t Abs)
{
    off_t Next = Abs + FrameLength(Cand);
    for (int i = 0; i < FollowersNeeded; ++i) {
        ADTSHeaderType Follower;
        if (fseeko(Fi, Next, SEEK_SET) != 0 || !ReadHeader(Fi, &Follower))
            return false;
        if (!SameStream(Cand, Follower) || FrameLength(Follower) < HeaderBytes)
            return false;
        Next += FrameLength(Follower);
    }
    return true;
}

// Absolute offset of the next genuine header at or after the stream's
// position, or -1. A candidate is false when its header is not usable, when
// a follower disagrees, or when a follower cannot be read (a stray pattern
// whose length points past the end must not hide the frames behind it); the
// search then resumes 7 bytes after the candidate. The stream is left
// wherever the search stopped; callers seek afterwards.
off_t FindGenuineHeader(FILE* Fi, ADTSHeaderType* Hdr)
{
    for (;;) {
        off_t FilePos = ftello(Fi);
        if (FilePos < 0)
            return -1;
        int64_t Rel = FindCandidate(Fi, Hdr);
        if (Rel < 0)
            return -1;
        off_t Abs = FilePos + Rel;
        if (UsableHeader(*Hdr) && HasAgreeingFollowers(Fi, *Hdr, Abs))
            return Abs;
        if (fseeko(Fi, Abs + HeaderBytes, SEEK_SET) != 0)
            return -1;
    }
}

// ---- Preparation ----

struct WalkTotals {
    uint64_t Bytes = 0;
    uint32_t Frames = 0;
};

// Sums the lengths of up to Count frames from the stream's position. A short
// read or a length that does not cover its header ends the walk early.
WalkTotals WalkFrames(FILE* Fi, uint32_t Count)
{
    WalkTotals W;
    ADTSHeaderType Hdr;
    while (W.Frames < Count && ReadHeader(Fi, &Hdr)) {
        uint32_t Len = FrameLength(Hdr);
        if (Len < HeaderBytes)
            break;
        W.Bytes += Len;
        ++W.Frames;
        if (fseeko(Fi, Len - HeaderBytes, SEEK_CUR) != 0)
            break;
    }
    return W;
}

// Frame count, bit rate (whole kbit/s) and track length from about one
// second of frames from the stream's position. False when the walk yields
// no average frame size or a bit rate that rounds to 0: such a stream has
// no length to estimate and is not taken.
bool EstimateLength(MPEGFileInfoType* Info, FILE* Fi)
{
    uint32_t FramesPerSec = Info->SampleRate / SamplesPerAACFrame;
    WalkTotals W = WalkFrames(Fi, FramesPerSec);
    if (W.Frames == 0)
        return false;
    uint64_t AvgFrame = W.Bytes / W.Frames;
    double BitsPerSec = static_cast<double>(W.Bytes) / W.Frames * Info->SampleRate /
                        SamplesPerAACFrame * 8.0;
    int Kbits = static_cast<int>(BitsPerSec * BitsToKbits + 0.5);
    if (AvgFrame == 0 || Kbits <= 0)
        return false;
    Info->FrameCount = ClampU32(Info->FileLength / AvgFrame);
    Info->BitRate = Kbits * KbitsToBits;
    Info->TrackLength = ClampU32(Info->FileLength * 8 / static_cast<uint64_t>(Info->BitRate));
    return true;
}

MPEGFileInfoType* PrepareStream(FILE* Fi)
{
    ParseID3Tag(Fi); // leaves the stream after any tag, so offsets count it
    ADTSHeaderType Hdr;
    off_t First = FindGenuineHeader(Fi, &Hdr);
    off_t Size = FileSizeOf(Fi);
    if (First < 0 || First > static_cast<off_t>(UINT32_MAX) || Size <= First)
        return nullptr;
    if (fseeko(Fi, First, SEEK_SET) != 0)
        return nullptr;
    MPEGFileInfoType* Info = NewFileInfo();
    if (!Info)
        return nullptr;
    Info->Handle = Fi;
    Info->FirstFrameOffset = static_cast<uint32_t>(First);
    Info->SampleRate = SampleRateIndexTable[SampleRate(Hdr)];
    Info->Channels = static_cast<uint16_t>(Channel(Hdr));
    Info->BytesPerSample = DeliveredBytesPerSample;
    Info->FileLength = static_cast<uint64_t>(Size - First);
    Info->VBRFlag = ADTSVBRFlag;
    if (!EstimateLength(Info, Fi) || fseeko(Fi, First, SEEK_SET) != 0) {
        FreeFileInfo(Info);
        return nullptr;
    }
    return Info;
}

// ---- Exact length ----

// Length of the frame whose 7 header bytes were just read. When they are
// not a usable header, synchronisation is lost: the next genuine frame is
// searched from here and the stream set just after its header. 0 when none
// is left.
uint32_t NextFrameLength(FILE* Fi, const ADTSHeaderType& Hdr)
{
    if (SyncBits(Hdr) == SyncWord && FrameLength(Hdr) >= HeaderBytes)
        return FrameLength(Hdr);
    ADTSHeaderType Found;
    off_t Abs = FindGenuineHeader(Fi, &Found);
    if (Abs < 0 || fseeko(Fi, Abs + HeaderBytes, SEEK_SET) != 0)
        return 0;
    return FrameLength(Found);
}

// Counts frames from the stream's position to the end of the data.
uint32_t CountFrames(FILE* Fi)
{
    uint32_t Count = 0;
    ADTSHeaderType Hdr;
    while (ReadHeader(Fi, &Hdr)) {
        uint32_t Len = NextFrameLength(Fi, Hdr);
        if (Len == 0)
            break;
        if (Count < UINT32_MAX)
            ++Count;
        if (fseeko(Fi, Len - HeaderBytes, SEEK_CUR) != 0)
            break;
    }
    return Count;
}

} // namespace

uint32_t BlocksInFrame(const ADTSHeaderType& Hdr) { return Field(Hdr, 0, 2); }
uint32_t BufferFullness(const ADTSHeaderType& Hdr) { return Field(Hdr, 2, 11); }
uint32_t FrameLength(const ADTSHeaderType& Hdr) { return Field(Hdr, 13, 13); }
uint32_t CopyrightStart(const ADTSHeaderType& Hdr) { return Field(Hdr, 26, 1); }
uint32_t CopyrightId(const ADTSHeaderType& Hdr) { return Field(Hdr, 27, 1); }
uint32_t Home(const ADTSHeaderType& Hdr) { return Field(Hdr, 28, 1); }
uint32_t OriginalCopy(const ADTSHeaderType& Hdr) { return Field(Hdr, 29, 1); }
uint32_t Channel(const ADTSHeaderType& Hdr) { return Field(Hdr, 30, 2); }
uint32_t Channel2(const ADTSHeaderType& Hdr) { return Field(Hdr, 32, 1); }
uint32_t Private(const ADTSHeaderType& Hdr) { return Field(Hdr, 33, 1); }
uint32_t SampleRate(const ADTSHeaderType& Hdr) { return Field(Hdr, 34, 4); }
uint32_t Profile(const ADTSHeaderType& Hdr) { return Field(Hdr, 38, 2); }
uint32_t Protection(const ADTSHeaderType& Hdr) { return Field(Hdr, 40, 1); }
uint32_t LayerDesc(const ADTSHeaderType& Hdr) { return Field(Hdr, 41, 2); }
uint32_t VersionId(const ADTSHeaderType& Hdr) { return Field(Hdr, 43, 1); }
uint32_t SyncBits(const ADTSHeaderType& Hdr) { return Field(Hdr, 44, 12); }

void HeaderSwap(ADTSHeaderType* FrameHdr)
{
    for (uint32_t i = 0; i < HeaderBytes / 2; ++i) {
        uint8_t T = FrameHdr->Bytes[i];
        FrameHdr->Bytes[i] = FrameHdr->Bytes[HeaderBytes - 1 - i];
        FrameHdr->Bytes[HeaderBytes - 1 - i] = T;
    }
}

void ProcessNextADTSHeader(FILE* Fi, ADTSHeaderType* FrameHdr, int32_t* FrameOffset)
{
    if (!FrameOffset)
        return;
    *FrameOffset = -1;
    if (Fi && FrameHdr)
        *FrameOffset = NarrowOffset(FindCandidate(Fi, FrameHdr));
}

void GetNextADTSHeader(FILE* Fi, ADTSHeaderType* FrameHdr, int32_t* FrameOffset)
{
    if (!FrameOffset)
        return;
    *FrameOffset = -1;
    off_t StartPos = Fi && FrameHdr ? ftello(Fi) : -1;
    if (StartPos < 0)
        return;
    off_t Abs = FindGenuineHeader(Fi, FrameHdr);
    if (Abs >= 0)
        *FrameOffset = NarrowOffset(Abs - StartPos);
}

MPEGFileInfoType* PrepareAAC_ADTSFile(const char* Pathname)
{
    // Regular files only: the engine seeks, and a FIFO would block the open.
    if (!Pathname)
        return nullptr;
    FILE* Fi = OpenRegularFile(Pathname);
    if (!Fi)
        return nullptr;
    MPEGFileInfoType* Info = PrepareStream(Fi);
    if (!Info)
        fclose(Fi);
    return Info;
}

void UnPrepareAAC_ADTSFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    if (MPEGFileInfo->Handle)
        fclose(MPEGFileInfo->Handle);
    FreeFileInfo(MPEGFileInfo);
}

void ProcessAAC_ADTSForTrackLength(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle)
        return;
    FILE* Fi = MPEGFileInfo->Handle;
    off_t First = MPEGFileInfo->FirstFrameOffset;
    ADTSHeaderType Hdr;
    if (fseeko(Fi, First, SEEK_SET) != 0 || !ReadHeader(Fi, &Hdr) || SampleRate(Hdr) >= RateCount)
        return;
    // Not truncated: 43.06640625 frames per second at 44100 Hz.
    double FramesPerSec = static_cast<double>(SampleRateIndexTable[SampleRate(Hdr)]) / SamplesPerAACFrame;
    if (fseeko(Fi, First, SEEK_SET) != 0)
        return;
    uint32_t Count = CountFrames(Fi);
    MPEGFileInfo->FrameCount = Count;
    // At the record's rate: the decoder's, where it upsamples, else the header's.
    uint32_t HeaderRate = SampleRateIndexTable[SampleRate(Hdr)];
    MPEGFileInfo->TotalSamples = uint64_t{Count} * SamplesPerAACFrame * MPEGFileInfo->SampleRate / HeaderRate;
    MPEGFileInfo->BitRate = 0;
    MPEGFileInfo->TrackLength = static_cast<uint32_t>(Count / FramesPerSec);
    MPEGFileInfo->VBRFlag = ADTSVBRFlag;
}

// A byte position proportional to the time: of the exact length in
// milliseconds where the frames were counted, else at the estimated bit rate.
void SeekAAC_ADTSFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle)
        return;
    FILE* Fi = MPEGFileInfo->Handle;
    double Bytes = 0.0;
    uint32_t TrackMs = TrackMilliseconds(MPEGFileInfo);
    if (MPEGFileInfo->TotalSamples != 0 && TrackMs != 0)
        Bytes = static_cast<double>(MPEGFileInfo->FileLength) * MsOffset / TrackMs;
    else if (MPEGFileInfo->BitRate > 0)
        Bytes = MPEGFileInfo->BitRate * (MsOffset * MsToSeconds) * BitsToBytes;
    off_t Target = static_cast<off_t>(Bytes) + MPEGFileInfo->FirstFrameOffset;
    ADTSHeaderType Hdr;
    off_t Found = -1;
    if (fseeko(Fi, Target, SEEK_SET) == 0)
        Found = FindGenuineHeader(Fi, &Hdr);
    // No genuine frame after the target: the stream ends there.
    if (Found < 0 || fseeko(Fi, Found, SEEK_SET) != 0)
        fseeko(Fi, 0, SEEK_END);
}
