// The Xing header that variable-bit-rate encoders put into the first frame,
// and its "Info" form (the same layout) that encoders write for a
// constant-bit-rate stream.
#pragma once

#include <cstdint>

constexpr int FRAMES_FLAG = 0x0001;
constexpr int BYTES_FLAG = 0x0002;
constexpr int TOC_FLAG = 0x0004;
constexpr int VBR_SCALE_FLAG = 0x0008;
constexpr uint32_t XingTocSize = 100;

struct XHEADDATA {
    int h_id;      // 1 MPEG-1, 0 MPEG-2 or MPEG-2.5
    int samprate;  // Hz
    int flags;
    int frames;    // frame count, when FRAMES_FLAG
    int bytes;     // stream byte count, when BYTES_FLAG
    int vbr_scale; // quality, -1 without VBR_SCALE_FLAG
    uint8_t* toc;  // receives XingTocSize bytes when TOC_FLAG; may be null
    int info;      // 1 when the tag is "Info": the stream has one bit rate
};

// Big-endian 32-bit value at buf.
int ExtractI4(const uint8_t* buf);
// Parses the Xing or Info header of the frame whose Length bytes start at buf.
// 1 found; 0 when absent or when its fields would run past the frame.
int GetXingHeader(XHEADDATA* X, const uint8_t* buf, uint32_t Length);
