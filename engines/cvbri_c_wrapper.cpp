// Plain functions over the VBRI header object.
#include "cvbri_c_wrapper.h"

#include "cvbriheader.h"

#include <new>

namespace {

CVbriHeader* AsVbri(void* CVBri) { return static_cast<CVbriHeader*>(CVBri); }

} // namespace

void* CVbriNew(void)
{
    return new (std::nothrow) CVbriHeader();
}

void CVbriDelete(void* CVBri)
{
    delete AsVbri(CVBri);
}

int IsCVbriHeader(void* CVBri, const uint8_t* HBuffer, uint32_t Length)
{
    if (!CVBri)
        return 0;
    return AsVbri(CVBri)->readVbriHeader(HBuffer, Length) == 0 ? 1 : 0;
}

int SeekCVbriStream(void* CVBri, float Offset)
{
    return CVBri ? AsVbri(CVBri)->seekPointByTime(Offset) : 0;
}

uint32_t VBriSampleRate(void* CVBri)
{
    return CVBri ? static_cast<uint32_t>(AsVbri(CVBri)->Header()->SampleRate) : 0;
}

uint32_t VBriFrameCount(void* CVBri)
{
    return CVBri ? AsVbri(CVBri)->Header()->VbriStreamFrames : 0;
}

uint32_t VBriFileLength(void* CVBri)
{
    return CVBri ? AsVbri(CVBri)->Header()->VbriStreamBytes : 0;
}
