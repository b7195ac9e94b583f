// Xing and VBRI parsers over a buffer that stands for the first frame.
#include "engines/cvbri_c_wrapper.h"
#include "engines/dxhead.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // An exact-size copy, so that any read past the frame is caught.
    std::vector<uint8_t> Frame(Data, Data + Size);
    uint32_t Len = static_cast<uint32_t>(Size);

    uint8_t Toc[XingTocSize];
    XHEADDATA X = {};
    X.toc = Toc;
    GetXingHeader(&X, Frame.data(), Len);
    X.toc = nullptr;
    GetXingHeader(&X, Frame.data(), Len);

    void* V = CVbriNew();
    if (IsCVbriHeader(V, Frame.data(), Len)) {
        VBriSampleRate(V);
        VBriFrameCount(V);
        VBriFileLength(V);
        float Ask = 0.0f;
        if (Size >= 4)
            std::memcpy(&Ask, Frame.data() + Size - 4, sizeof Ask);
        for (float Ms : {0.0f, 5000.0f, 1.0e9f, -1.0f, Ask})
            SeekCVbriStream(V, Ms);
    }
    CVbriDelete(V);
    return 0;
}
