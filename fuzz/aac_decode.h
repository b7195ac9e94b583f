// The decode loop shared by the AAC fuzz targets: a few sections through
// the engine, each checked to fit the buffer and hold whole frames.
#pragma once

#include "aac_core.h"

#include <cstdint>

inline void DecodeSomeAac(MPEGFileInfoType* Info)
{
    constexpr int SectionsPerRun = 8;
    constexpr uint32_t SectionBufSz = 65536;
    static uint8_t Out[SectionBufSz];
    for (int i = 0; i < SectionsPerRun; ++i) {
        uint32_t Got = DecodeAACSection(Info, Out, sizeof Out);
        if (Got > sizeof Out || Got % (Info->Channels * 2u) != 0)
            __builtin_trap();
        if (Got == 0)
            return;
    }
}
