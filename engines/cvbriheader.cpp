// VBRI header parsing and its time-to-byte table, bounded by the first frame.
#include "cvbriheader.h"

#include <cstring>
#include <new>

namespace {

constexpr int HeaderBytes = 4;
constexpr int SideInfoBytes = 32;       // the tag follows header + 32 bytes
constexpr uint32_t TagBytes = 4;
constexpr uint32_t TableStart = 62;     // from the frame's first byte
constexpr uint32_t MaxEntryBytes = 4;
constexpr uint32_t LowRateLimit = 32000; // below it frames hold 576 samples
constexpr float FullFrameSamples = 1152.0f;
constexpr float HalfFrameSamples = 576.0f;
constexpr float MsPerSecond = 1000.0f;
constexpr int64_t MaxSeekPoint = INT32_MAX;

// Sample rate by (version bits << 2) | sample-rate index.
constexpr int RateByKey[16] = {
    11025, 12000, 8000, 0,  // MPEG-2.5
    0, 0, 0, 0,             // reserved version
    22050, 24000, 16000, 0, // MPEG-2
    44100, 48000, 32000, 0, // MPEG-1
};

int32_t ScaledEntry(uint32_t Raw, uint32_t Scale)
{
    uint64_t V = static_cast<uint64_t>(Raw) * Scale;
    return V > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(V);
}

} // namespace

CVbriHeader::CVbriHeader() : VBHeader(new VbriHeaderTable()), position(0)
{
    VBHeader->VbriTable = nullptr;
}

CVbriHeader::~CVbriHeader()
{
    ReleaseTable();
    delete VBHeader;
}

void CVbriHeader::ReleaseTable()
{
    delete[] VBHeader->VbriTable;
    VBHeader->VbriTable = nullptr;
}

int CVbriHeader::getSampleRate(const uint8_t* buffer)
{
    if (!buffer)
        return 0;
    int Key = (((buffer[1] >> 3) & 3) << 2) | ((buffer[2] >> 2) & 3);
    return RateByKey[Key];
}

uint32_t CVbriHeader::readFromBuffer(const uint8_t* HBuffer, int length)
{
    if (!HBuffer)
        return 0;
    uint32_t V = 0;
    for (int i = 0; i < length; ++i)
        V = (V << 8) | HBuffer[position + i];
    position += length;
    return V;
}

int CVbriHeader::readVbriHeader(const uint8_t* Hbuffer, uint32_t Length)
{
    position = 0;
    if (!Hbuffer || Length < TableStart)
        return 1;
    int Rate = getSampleRate(Hbuffer);
    if (Rate == 0)
        return 1;
    position += HeaderBytes;
    position += SideInfoBytes;
    if (std::memcmp(Hbuffer + position, "VBRI", TagBytes) != 0)
        return 1;
    position += TagBytes;

    VbriHeaderTable H = {};
    H.SampleRate = Rate;
    H.VbriVersion = readFromBuffer(Hbuffer, WORD);
    H.VbriDelay = static_cast<float>(readFromBuffer(Hbuffer, WORD));
    H.VbriQuality = readFromBuffer(Hbuffer, WORD);
    H.VbriStreamBytes = readFromBuffer(Hbuffer, DWORD);
    H.VbriStreamFrames = readFromBuffer(Hbuffer, DWORD);
    H.VbriTableSize = readFromBuffer(Hbuffer, WORD);
    H.VbriTableScale = readFromBuffer(Hbuffer, WORD);
    H.VbriEntryBytes = readFromBuffer(Hbuffer, WORD);
    H.VbriEntryFrames = readFromBuffer(Hbuffer, WORD);

    // Entries wider than 32 bits cannot be held; a table past the frame is absent.
    if (H.VbriEntryBytes == 0 || H.VbriEntryBytes > MaxEntryBytes)
        return 1;
    uint64_t Entries = static_cast<uint64_t>(H.VbriTableSize) + 1;
    if (TableStart + Entries * H.VbriEntryBytes > Length)
        return 1;
    H.VbriTable = new (std::nothrow) int32_t[Entries];
    if (!H.VbriTable)
        return 1;
    for (uint64_t i = 0; i < Entries; ++i)
        H.VbriTable[i] =
            ScaledEntry(readFromBuffer(Hbuffer, static_cast<int>(H.VbriEntryBytes)), H.VbriTableScale);

    ReleaseTable();
    *VBHeader = H;
    return 0;
}

int CVbriHeader::seekPointByTime(float EntryTimeInMilliSeconds)
{
    const VbriHeaderTable& H = *VBHeader;
    if (!H.VbriTable || H.SampleRate <= 0 || H.VbriEntryFrames == 0 || H.VbriStreamFrames == 0)
        return 0;
    float SamplesPerFrame =
        static_cast<uint32_t>(H.SampleRate) >= LowRateLimit ? FullFrameSamples : HalfFrameSamples;
    float TotalDuration = static_cast<float>(H.VbriStreamFrames) * SamplesPerFrame /
                          static_cast<float>(H.SampleRate) * MsPerSecond;
    float DurationPerVbriFrames = TotalDuration / static_cast<float>(H.VbriTableSize + 1);
    if (!(DurationPerVbriFrames > 0.0f))
        return 0;
    float Time = EntryTimeInMilliSeconds;
    if (!(Time >= 0.0f))
        Time = 0.0f;
    if (Time > TotalDuration)
        Time = TotalDuration;

    int64_t SeekPoint = 0;
    float AccumulatedTime = 0.0f;
    uint32_t i = 0;
    while (AccumulatedTime <= Time && i <= H.VbriTableSize) {
        SeekPoint += H.VbriTable[i];
        AccumulatedTime += DurationPerVbriFrames;
        ++i;
    }
    if (i == 0)
        return 0;

    // Frames of the last slice that lie after the requested time, rounded.
    float EntryFrames = static_cast<float>(H.VbriEntryFrames);
    float After = ((AccumulatedTime - Time) / DurationPerVbriFrames + 1.0f / (2.0f * EntryFrames)) *
                  EntryFrames;
    int64_t Fraction = 0;
    if (After >= EntryFrames)
        Fraction = H.VbriEntryFrames;
    else if (After > 0.0f)
        Fraction = static_cast<int64_t>(After);
    SeekPoint -= static_cast<int64_t>(H.VbriTable[i - 1]) * Fraction / H.VbriEntryFrames;

    if (SeekPoint < 0)
        return 0;
    return SeekPoint > MaxSeekPoint ? INT32_MAX : static_cast<int>(SeekPoint);
}
