#include "reader_objects.h"

#include <cstring>

namespace {

constexpr WMGuid IID_INSSBuffer = {0xE1CD3524, 0x03D7, 0x11d2, {0x9E, 0xED, 0x00, 0x60, 0x97, 0xD2, 0xD7, 0xCF}};
constexpr WMGuid IID_IWMMediaProps = {0x96406bce, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
constexpr WMGuid IID_IWMOutputMediaProps = {0x96406bd7, 0x2b2b, 0x11d3,
                                            {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};

} // namespace

// ---- SampleBuffer ----

SampleBuffer::SampleBuffer(std::vector<uint8_t> B) : Bytes(std::move(B)), Length(static_cast<uint32_t>(Bytes.size()))
{
}

WMStatus SampleBuffer::QueryInterface(const WMGuid& Iid, void** Object)
{
    if (!Object)
        return WM_E_POINTER;
    if (Iid == IID_IUnknown || Iid == IID_INSSBuffer) {
        AddRef();
        *Object = static_cast<INSSBuffer*>(this);
        return WM_S_OK;
    }
    *Object = nullptr;
    return WM_E_NOINTERFACE;
}

uint32_t SampleBuffer::AddRef() { return Refs.fetch_add(1, std::memory_order_relaxed) + 1; }
uint32_t SampleBuffer::Release()
{
    uint32_t Left = Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (Left == 0)
        delete this;
    return Left;
}

WMStatus SampleBuffer::GetLength(uint32_t* L)
{
    if (!L)
        return WM_E_POINTER;
    *L = Length;
    return WM_S_OK;
}

WMStatus SampleBuffer::SetLength(uint32_t L)
{
    if (L > Bytes.size())
        return WM_E_INVALIDARG;
    Length = L;
    return WM_S_OK;
}

WMStatus SampleBuffer::GetMaxLength(uint32_t* L)
{
    if (!L)
        return WM_E_POINTER;
    *L = static_cast<uint32_t>(Bytes.size());
    return WM_S_OK;
}

WMStatus SampleBuffer::GetBuffer(uint8_t** B)
{
    if (!B)
        return WM_E_POINTER;
    *B = Bytes.data();
    return WM_S_OK;
}

WMStatus SampleBuffer::GetBufferAndLength(uint8_t** B, uint32_t* L)
{
    if (!B || !L)
        return WM_E_POINTER;
    *B = Bytes.data();
    *L = Length;
    return WM_S_OK;
}

// ---- OutputProps ----

OutputProps::OutputProps(const ReaderOutput& O) : Output(O) {}

WMStatus OutputProps::QueryInterface(const WMGuid& Iid, void** Object)
{
    if (!Object)
        return WM_E_POINTER;
    if (Iid == IID_IUnknown || Iid == IID_IWMMediaProps || Iid == IID_IWMOutputMediaProps) {
        AddRef();
        *Object = static_cast<IWMOutputMediaProps*>(this);
        return WM_S_OK;
    }
    *Object = nullptr;
    return WM_E_NOINTERFACE;
}

uint32_t OutputProps::AddRef() { return Refs.fetch_add(1, std::memory_order_relaxed) + 1; }
uint32_t OutputProps::Release()
{
    uint32_t Left = Refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (Left == 0)
        delete this;
    return Left;
}

WMStatus OutputProps::GetType(WMGuid* Type)
{
    if (!Type)
        return WM_E_POINTER;
    *Type = Output.Major;
    return WM_S_OK;
}

// The record, then the wave format right behind it in the same buffer.
WMStatus OutputProps::GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size)
{
    if (!Size)
        return WM_E_POINTER;
    const uint32_t FormatSz = Output.Audio ? sizeof(tWAVEFORMATEX) : 0;
    const uint32_t Needed = sizeof(WM_MEDIA_TYPE) + FormatSz;
    if (!Type) {
        *Size = Needed;
        return WM_S_OK;
    }
    if (*Size < Needed) {
        *Size = Needed;
        return WM_E_BUFFERTOOSMALL;
    }
    std::memset(Type, 0, sizeof(WM_MEDIA_TYPE));
    Type->majortype = Output.Major;
    if (Output.Audio) {
        Type->subtype = WMMEDIASUBTYPE_PCM;
        Type->bFixedSizeSamples = 1;
        Type->lSampleSize = Output.Wave.nBlockAlign;
        Type->formattype = WMFORMAT_WaveFormatEx;
        Type->cbFormat = FormatSz;
        Type->pbFormat = reinterpret_cast<uint8_t*>(Type) + sizeof(WM_MEDIA_TYPE);
        std::memcpy(Type->pbFormat, &Output.Wave, FormatSz);
    }
    *Size = Needed;
    return WM_S_OK;
}

WMStatus OutputProps::SetMediaType(WM_MEDIA_TYPE*) { return WM_E_NOTIMPL; }
WMStatus OutputProps::GetStreamGroupName(WMChar*, uint16_t*) { return WM_E_NOTIMPL; }
WMStatus OutputProps::GetConnectionName(WMChar*, uint16_t*) { return WM_E_NOTIMPL; }
