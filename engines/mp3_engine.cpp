// MPEG audio engine: finds the first frame, reads Xing and VBRI headers,
// computes the track length and positions the stream on frame boundaries.
// The core reads the stream from its current position and decodes it.
#include "mp3_engine.h"

#include "cvbri_c_wrapper.h"
#include "dxhead.h"
#include "mpeghdr.h"

#include <algorithm>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint16_t DeliveredBytesPerSample = 2;
constexpr int VbrTocFlag = 1;
constexpr int VbrVbriFlag = 2;
constexpr int VbrDetectedFlag = 4;
constexpr int TestFrames = 50;
constexpr double ToleranceLower = 0.9;
constexpr double ToleranceUpper = 1.1;
constexpr uint32_t TocLastIndex = 99;
constexpr double TocScale = 1.0 / 256.0;
constexpr double MsToSeconds = 0.001;
constexpr double BitsToBytes = 0.125;
constexpr uint64_t BitsPerByte = 8;

uint32_t ClampU32(uint64_t V)
{
    return V > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(V);
}

int ClampInt(double V)
{
    if (!(V > 0.0))
        return 0;
    return V >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(V);
}

off_t FileSizeOf(FILE* Fi)
{
    struct stat St;
    if (fstat(fileno(Fi), &St) != 0)
        return 0;
    return St.st_size;
}

// Seeks to the next confirmed frame at or after Pos and returns 1; when
// none is left, leaves the stream at the end of the file and returns 0.
int PositionAtNextFrame(FILE* Fi, off_t Pos)
{
    MPEGFrameHdrType Hdr;
    int32_t Dist = -1;
    if (fseeko(Fi, Pos, SEEK_SET) == 0)
        GetNextFrameHeader(Fi, &Hdr, &Dist);
    if (Dist >= 0 && fseeko(Fi, Pos + Dist, SEEK_SET) == 0)
        return 1;
    fseeko(Fi, 0, SEEK_END);
    return 0;
}

// A stream length from a Xing or VBRI header, unless it is 0. A length
// beyond what the file holds is kept: a partly downloaded file is still laid
// out in time by its header, and a seek beyond its data ends the stream.
uint64_t StreamBytes(uint32_t Claimed, uint64_t Available)
{
    return Claimed == 0 ? Available : Claimed;
}

// Bytes of the leading frame that holds a Xing or Info header and no audio
// (the decoder skips it), kept in the engine-private word; 0 without one.
uint32_t HeaderFrameBytes(const MPEGFileInfoType* Info)
{
    return static_cast<uint32_t>(Info->DecoderPriv);
}

// Frame count, length and sample count from a count of frames.
void SetFrameCount(MPEGFileInfoType* Info, uint32_t Frames)
{
    Info->FrameCount = Frames;
    Info->TotalSamples = static_cast<uint64_t>(Frames) * Info->SamplesPerFrame;
    Info->TrackLength = ClampU32(Info->TotalSamples / Info->SampleRate);
}

// An "Info" header is the same record written for a constant-bit-rate
// stream: its frame count gives the length, but its table does not replace
// seeking by the bit rate, and that bit rate is the stream's, not the one
// the header frame was coded at (chosen large enough to hold the header).
void ApplyXingHeader(MPEGFileInfoType* Info, const XHEADDATA& X, uint64_t Available)
{
    Info->SampleRate = static_cast<uint32_t>(X.samprate);
    Info->FileLength = (X.flags & BYTES_FLAG)
                           ? StreamBytes(static_cast<uint32_t>(X.bytes), Available)
                           : Available;
    uint32_t Frames = static_cast<uint32_t>(X.frames);
    if ((X.flags & FRAMES_FLAG) && Frames != 0 && Info->SampleRate != 0) {
        SetFrameCount(Info, Frames);
        if (X.info)
            return;
        uint64_t BytesPerFrame = Info->FileLength / Frames;
        Info->BitRate = ClampInt(static_cast<double>(BytesPerFrame * 8 * Info->SampleRate /
                                                     Info->SamplesPerFrame));
        Info->VBRFlag = VbrDetectedFlag;
    }
    if ((X.flags & TOC_FLAG) && !X.info) {
        Info->VBRFlag |= VbrTocFlag;
        Info->BitRate = 0;
    }
}

void ApplyVbriHeader(MPEGFileInfoType* Info, uint64_t Available)
{
    Info->BitRate = 0;
    Info->SampleRate = VBriSampleRate(Info->CVbri);
    Info->FileLength = StreamBytes(VBriFileLength(Info->CVbri), Available);
    if (Info->SampleRate != 0)
        SetFrameCount(Info, VBriFrameCount(Info->CVbri));
    Info->VBRFlag = VbrVbriFlag;
}

// The header of the frame after a header frame when it continues the
// stream (same version, layer and rate); otherwise First.
MPEGFrameHdrType StreamFrameHdr(FILE* Fi, MPEGFrameHdrType First, off_t Next)
{
    MPEGFrameHdrType Hdr;
    if (fseeko(Fi, Next, SEEK_SET) != 0 || !ReadFrameHdr(Fi, &Hdr))
        return First;
    bool Continues = Hdr.SyncBits() == FrameSyncBits && CalculateFrameLength(Hdr) != 0 &&
                     Hdr.VersionId() == First.VersionId() && Hdr.LayerDesc() == First.LayerDesc() &&
                     SampleRateFromFrameHdr(Hdr) == SampleRateFromFrameHdr(First);
    return Continues ? Hdr : First;
}

// Sample frames in Bytes of a stream at BitRate, split so that no product
// overflows.
uint64_t SamplesOfBytes(uint64_t Bytes, uint64_t BitRate, uint64_t SampleRate)
{
    uint64_t Bits = Bytes * BitsPerByte;
    return Bits / BitRate * SampleRate + Bits % BitRate * SampleRate / BitRate;
}

// The constant-bit-rate estimate from a frame of the stream: the audio
// after any header frame, at that frame's bit rate.
void ApplyStreamEstimate(MPEGFileInfoType* Info, MPEGFrameHdrType Hdr, uint64_t Available)
{
    uint64_t Header = std::min<uint64_t>(HeaderFrameBytes(Info), Available);
    uint64_t Audio = Available - Header;
    uint32_t Len = CalculateFrameLength(Hdr);
    Info->FileLength = Available;
    Info->FrameCount = Len ? ClampU32(Audio / Len) : 0;
    Info->SampleRate = static_cast<uint32_t>(SampleRateFromFrameHdr(Hdr));
    Info->BitRate = BitRateFromFrameHdr(Hdr);
    if (Info->BitRate <= 0)
        return;
    uint64_t BitRate = static_cast<uint64_t>(Info->BitRate);
    Info->TrackLength = ClampU32(Audio * BitsPerByte / BitRate);
    Info->TotalSamples = SamplesOfBytes(Audio, BitRate, Info->SampleRate);
}

// Fills the rate and length fields from the first frame's bytes; a header
// without a frame count leaves the length to the estimate from the stream.
void ReadStreamLength(MPEGFileInfoType* Info, FILE* Fi, MPEGFrameHdrType Hdr,
                      const std::vector<uint8_t>& Frame, uint64_t Available)
{
    uint32_t FrameBytes = static_cast<uint32_t>(Frame.size());
    XHEADDATA X = {};
    X.toc = Info->XingVBRTOC;
    MPEGFrameHdrType Stream = Hdr;
    if (GetXingHeader(&X, Frame.data(), FrameBytes)) {
        Info->DecoderPriv = Info->FrameSize;
        Stream = StreamFrameHdr(Fi, Hdr, static_cast<off_t>(Info->FirstFrameOffset + Info->FrameSize));
        ApplyXingHeader(Info, X, Available);
    } else if (IsCVbriHeader(Info->CVbri, Frame.data(), FrameBytes)) {
        ApplyVbriHeader(Info, Available);
    }
    if (Info->TotalSamples == 0)
        ApplyStreamEstimate(Info, Stream, Available);
    else if (X.info)
        Info->BitRate = BitRateFromFrameHdr(Stream);
}

// The bytes of the first frame, fewer when the file ends inside it.
std::vector<uint8_t> ReadFirstFrame(FILE* Fi, off_t FrameOffset, uint32_t FrameSize)
{
    std::vector<uint8_t> Frame(FrameSize);
    size_t Got = 0;
    if (fseeko(Fi, FrameOffset, SEEK_SET) == 0)
        Got = fread(Frame.data(), 1, Frame.size(), Fi);
    Frame.resize(Got);
    return Frame;
}

void SetFirstFrameFields(MPEGFileInfoType* Info, MPEGFrameHdrType Hdr, uint32_t FrameOffset)
{
    Info->FirstFrameOffset = FrameOffset;
    Info->FrameSize = CalculateFrameLength(Hdr);
    Info->SamplesPerFrame = SamplesPerFrameFromHdr(Hdr);
    Info->Channels = Hdr.Channel() == ChannelMono ? 1 : 2;
    Info->BytesPerSample = DeliveredBytesPerSample;
}

MPEGFileInfoType* PrepareStream(FILE* Fi)
{
    uint32_t TagSz = ParseID3Tag(Fi);
    MPEGFrameHdrType Hdr;
    int32_t Dist;
    GetNextFrameHeader(Fi, &Hdr, &Dist);
    if (Dist < 0)
        return nullptr;
    uint64_t FrameOffset = static_cast<uint64_t>(TagSz) + static_cast<uint64_t>(Dist);
    uint64_t FileSize = static_cast<uint64_t>(FileSizeOf(Fi));
    if (FrameOffset > UINT32_MAX || FrameOffset >= FileSize)
        return nullptr;

    MPEGFileInfoType* Info = NewFileInfo();
    if (!Info)
        return nullptr;
    Info->CVbri = CVbriNew();
    if (!Info->CVbri) {
        FreeFileInfo(Info);
        return nullptr;
    }
    Info->Handle = Fi;
    SetFirstFrameFields(Info, Hdr, static_cast<uint32_t>(FrameOffset));
    std::vector<uint8_t> Frame = ReadFirstFrame(Fi, static_cast<off_t>(FrameOffset), Info->FrameSize);
    Info->VBRFlag = 0;
    Info->TrackLength = 0;
    Info->BitRate = 0;
    ReadStreamLength(Info, Fi, Hdr, Frame, FileSize - FrameOffset);
    fseeko(Fi, static_cast<off_t>(FrameOffset), SEEK_SET);
    return Info;
}

// Seconds of sound in a frame with a usable length (so a known sample rate).
// Lengths are whole bytes, cut from the exact bit rate x duration: summing
// length / bit rate instead would fall short over a long file.
double FrameSeconds(MPEGFrameHdrType Hdr)
{
    return static_cast<double>(SamplesPerFrameFromHdr(Hdr)) / SampleRateFromFrameHdr(Hdr);
}

// Steps over whole frames until Remaining seconds are covered, stopping
// on a frame boundary; an unusable header or the end of the file ends it.
void WalkFrames(FILE* Fi, double Remaining)
{
    while (Remaining > 0.0) {
        MPEGFrameHdrType Hdr;
        if (!ReadFrameHdr(Fi, &Hdr))
            return;
        uint32_t Len = CalculateFrameLength(Hdr);
        if (Len == 0) {
            fseeko(Fi, -static_cast<off_t>(FrameHdrBytes), SEEK_CUR);
            return;
        }
        Remaining -= FrameSeconds(Hdr);
        if (fseeko(Fi, Len - FrameHdrBytes, SEEK_CUR) != 0)
            return;
    }
}

// 1 when the frames after the one at the stream's position do not all
// share its bit rate; 0 when TestFrames of them do or the probe fails.
int ProbeVariableBitRate(FILE* Fi, MPEGFrameHdrType First, off_t FirstPos)
{
    int Reference = BitRateFromFrameHdr(First);
    if (fseeko(Fi, FirstPos + CalculateFrameLength(First), SEEK_SET) != 0)
        return 0;
    for (int i = 0; i < TestFrames; ++i) {
        MPEGFrameHdrType Hdr;
        if (!ReadFrameHdr(Fi, &Hdr))
            return 0;
        uint32_t Len = CalculateFrameLength(Hdr);
        if (Hdr.SyncBits() != FrameSyncBits || Len == 0)
            return 0;
        if (fseeko(Fi, Len - FrameHdrBytes, SEEK_CUR) != 0)
            return 0;
        if (BitRateFromFrameHdr(Hdr) != Reference)
            return 1;
    }
    return 0;
}

struct FrameScan {
    uint32_t Count;
    uint64_t Samples;
    double Seconds;
};

// Counts the frames from Start on and sums their samples and durations.
FrameScan ScanAllFrames(FILE* Fi, off_t Start)
{
    FrameScan Scan = {0, 0, 0.0};
    if (fseeko(Fi, Start, SEEK_SET) != 0)
        return Scan;
    MPEGFrameHdrType Hdr;
    while (ReadFrameHdr(Fi, &Hdr)) {
        uint32_t Len = CalculateFrameLength(Hdr);
        if (Len == 0)
            break;
        if (Scan.Count < UINT32_MAX)
            ++Scan.Count;
        Scan.Samples += SamplesPerFrameFromHdr(Hdr);
        Scan.Seconds += FrameSeconds(Hdr);
        if (fseeko(Fi, Len - FrameHdrBytes, SEEK_CUR) != 0)
            break;
    }
    return Scan;
}

// Bytes from the first frame at which a constant-bit-rate seek to Seconds
// starts: one frame of the stream early (the decoder needs the frame before
// for its bit reservoir), the first frame for the first moments.
uint64_t ConstantBitRateOffset(const MPEGFileInfoType* Info, double Seconds)
{
    uint64_t Header = HeaderFrameBytes(Info);
    uint64_t Early = Info->FrameSize;
    if (Header && Info->SampleRate)
        Early = static_cast<uint64_t>(Info->SamplesPerFrame) * static_cast<uint64_t>(Info->BitRate) /
                (BitsPerByte * Info->SampleRate);
    uint64_t Offset = static_cast<uint64_t>(ClampInt(Info->BitRate * Seconds * BitsToBytes));
    return Offset > Early ? Header + Offset - Early : 0;
}

} // namespace

MPEGFileInfoType* PrepareMPEGFile(const char* Pathname)
{
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

void UnPrepareMPEGFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    CVbriDelete(MPEGFileInfo->CVbri);
    if (MPEGFileInfo->Handle)
        fclose(MPEGFileInfo->Handle);
    FreeFileInfo(MPEGFileInfo);
}

void SeekMPEGFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle)
        return;
    double Seconds = MsOffset * MsToSeconds;
    uint64_t Offset;
    if (MPEGFileInfo->VBRFlag & VbrTocFlag) {
        int Found = XingVBRSeek(MPEGFileInfo, Seconds);
        Offset = Found > 0 ? static_cast<uint64_t>(Found) : 0;
    } else if (MPEGFileInfo->VBRFlag == VbrVbriFlag) {
        int Found = SeekCVbriStream(MPEGFileInfo->CVbri, static_cast<float>(MsOffset));
        Offset = Found > 0 ? static_cast<uint64_t>(Found) : 0;
    } else {
        Offset = ConstantBitRateOffset(MPEGFileInfo, Seconds);
    }
    PositionAtNextFrame(MPEGFileInfo->Handle,
                        static_cast<off_t>(Offset + MPEGFileInfo->FirstFrameOffset));
}

int XingVBRSeek(MPEGFileInfoType* MPEGFileInfo, double SOffset)
{
    FILE* Fi = MPEGFileInfo->Handle;
    double TrackLength = TrackMilliseconds(MPEGFileInfo) * MsToSeconds;
    // Without a length there is no percentage: use entry 0.
    double Percent = TrackLength > 0.0 ? SOffset / TrackLength * 100.0 : 0.0;
    if (!(Percent >= 0.0))
        Percent = 0.0;
    uint32_t Index = Percent >= TocLastIndex ? TocLastIndex : static_cast<uint32_t>(Percent);
    double TocPos = MPEGFileInfo->XingVBRTOC[Index] * TocScale *
                    static_cast<double>(MPEGFileInfo->FileLength);
    off_t Pos = static_cast<off_t>(TocPos) + MPEGFileInfo->FirstFrameOffset;
    if (PositionAtNextFrame(Fi, Pos))
        WalkFrames(Fi, (Percent - Index) / 100.0 * TrackLength);
    off_t Here = ftello(Fi) - MPEGFileInfo->FirstFrameOffset;
    if (Here < 0)
        return 0;
    return Here > INT_MAX ? INT_MAX : static_cast<int>(Here);
}

int LocateNextFrame(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle)
        return 0;
    off_t Posn = ftello(MPEGFileInfo->Handle);
    if (Posn < 0)
        return 0;
    return PositionAtNextFrame(MPEGFileInfo->Handle, Posn);
}

int UpdateMPEGForVBRTrackLength(MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo || !MPEGFileInfo->Handle || MPEGFileInfo->BitRate == 0)
        return 0;
    FILE* Fi = MPEGFileInfo->Handle;
    uint64_t First = MPEGFileInfo->FirstFrameOffset;
    uint64_t Span = MPEGFileInfo->FileLength > First ? MPEGFileInfo->FileLength - First : 0;
    off_t Probe = static_cast<off_t>(Span / 3 + First);
    MPEGFrameHdrType Hdr;
    int32_t Dist = -1;
    if (fseeko(Fi, Probe, SEEK_SET) == 0)
        GetNextFrameHeader(Fi, &Hdr, &Dist);
    if (Dist < 0 || !ProbeVariableBitRate(Fi, Hdr, Probe + Dist))
        return 0;

    MPEGFileInfo->VBRFlag = VbrDetectedFlag;
    FrameScan Scan = ScanAllFrames(Fi, static_cast<off_t>(First + HeaderFrameBytes(MPEGFileInfo)));
    MPEGFileInfo->FrameCount = Scan.Count;
    MPEGFileInfo->TotalSamples = Scan.Samples;
    MPEGFileInfo->BitRate = 0;
    MPEGFileInfo->TrackLength = Scan.Seconds >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Scan.Seconds);
    return 1;
}

void AvgBitRate(MPEGFileInfoType* MPEGFileInfo, uint32_t ActualLength)
{
    if (!MPEGFileInfo || ActualLength == 0)
        return;
    double Ratio = static_cast<double>(MPEGFileInfo->TrackLength) / ActualLength;
    if (Ratio < ToleranceLower || Ratio > ToleranceUpper)
        MPEGFileInfo->BitRate = ClampInt(MPEGFileInfo->BitRate * Ratio);
}
