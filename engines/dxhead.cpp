// Xing and Info header parsing, bounded by the bytes of the first frame.
#include "dxhead.h"

#include <cstring>

namespace {

constexpr uint32_t TagSize = 4;
constexpr uint32_t FieldSize = 4;
constexpr uint32_t ChannelMonoMode = 3;

// Offset of the tag from the frame's first header byte.
constexpr uint32_t OffsetMpeg1Stereo = 36;
constexpr uint32_t OffsetMpeg1Mono = 21;
constexpr uint32_t OffsetLsfStereo = 21;
constexpr uint32_t OffsetLsfMono = 13;

// Hz by sample-rate index for MPEG-1; the reserved index has no rate.
constexpr int sr_table[4] = {44100, 48000, 32000, 0};

uint32_t XingOffset(int h_id, uint32_t Mode)
{
    if (h_id)
        return Mode == ChannelMonoMode ? OffsetMpeg1Mono : OffsetMpeg1Stereo;
    return Mode == ChannelMonoMode ? OffsetLsfMono : OffsetLsfStereo;
}

// The bytes the header occupies from its tag on, given its flags.
uint32_t XingExtent(int Flags)
{
    uint32_t Size = TagSize + FieldSize;
    if (Flags & FRAMES_FLAG)
        Size += FieldSize;
    if (Flags & BYTES_FLAG)
        Size += FieldSize;
    if (Flags & TOC_FLAG)
        Size += XingTocSize;
    if (Flags & VBR_SCALE_FLAG)
        Size += FieldSize;
    return Size;
}

} // namespace

int ExtractI4(const uint8_t* buf)
{
    uint32_t V = (static_cast<uint32_t>(buf[0]) << 24) | (static_cast<uint32_t>(buf[1]) << 16) |
                 (static_cast<uint32_t>(buf[2]) << 8) | buf[3];
    return static_cast<int>(V);
}

int GetXingHeader(XHEADDATA* X, const uint8_t* buf, uint32_t Length)
{
    X->flags = 0;
    if (Length < 4)
        return 0;
    X->h_id = (buf[1] >> 3) & 1;
    uint32_t SrIndex = (buf[2] >> 2) & 3;
    uint32_t Mode = (buf[3] >> 6) & 3;
    uint32_t Pos = XingOffset(X->h_id, Mode);
    if (Length < Pos + TagSize + FieldSize)
        return 0;
    bool Info = std::memcmp(buf + Pos, "Info", TagSize) == 0;
    if (!Info && std::memcmp(buf + Pos, "Xing", TagSize) != 0)
        return 0;
    int Flags = ExtractI4(buf + Pos + TagSize);
    if (Length - Pos < XingExtent(Flags))
        return 0;

    X->samprate = sr_table[SrIndex];
    if (X->h_id == 0)
        X->samprate >>= 1;
    if (((buf[1] >> 3) & 3) == 0)
        X->samprate >>= 1; // MPEG-2.5
    X->flags = Flags;
    X->info = Info ? 1 : 0;
    const uint8_t* p = buf + Pos + TagSize + FieldSize;
    if (Flags & FRAMES_FLAG) {
        X->frames = ExtractI4(p);
        p += FieldSize;
    }
    if (Flags & BYTES_FLAG) {
        X->bytes = ExtractI4(p);
        p += FieldSize;
    }
    if (Flags & TOC_FLAG) {
        if (X->toc)
            std::memcpy(X->toc, p, XingTocSize);
        p += XingTocSize;
    }
    X->vbr_scale = -1;
    if (Flags & VBR_SCALE_FLAG)
        X->vbr_scale = ExtractI4(p);
    return 1;
}
