// Small reference-counted objects the reader hands out: a sample buffer and
// the media properties of one output.
#pragma once

#include "reader_source.h"
#include "wm_interfaces.h"

#include <atomic>
#include <vector>

// One delivered sample; owns its bytes.
class SampleBuffer final : public INSSBuffer {
public:
    explicit SampleBuffer(std::vector<uint8_t> Bytes);

    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    WMStatus GetLength(uint32_t* Length) override;
    WMStatus SetLength(uint32_t Length) override;
    WMStatus GetMaxLength(uint32_t* Length) override;
    WMStatus GetBuffer(uint8_t** Buffer) override;
    WMStatus GetBufferAndLength(uint8_t** Buffer, uint32_t* Length) override;

private:
    ~SampleBuffer() = default;
    std::atomic<uint32_t> Refs{1};
    std::vector<uint8_t> Bytes;
    uint32_t Length; // bytes in use, at most Bytes.size()
};

// The media type of one output, as it was when the properties were asked.
class OutputProps final : public IWMOutputMediaProps {
public:
    explicit OutputProps(const ReaderOutput& Output);

    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    WMStatus GetType(WMGuid* Type) override;
    WMStatus GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) override;
    WMStatus SetMediaType(WM_MEDIA_TYPE* Type) override;
    WMStatus GetStreamGroupName(WMChar* Name, uint16_t* Length) override;
    WMStatus GetConnectionName(WMChar* Name, uint16_t* Length) override;

private:
    ~OutputProps() = default;
    std::atomic<uint32_t> Refs{1};
    ReaderOutput Output;
};
