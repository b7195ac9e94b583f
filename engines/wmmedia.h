// CWMediaEngine: one open Windows Media file (or one open attribute editor)
// over the project's runtime module. The module's reader decodes on a
// thread of its own and hands each PCM sample to OnSample, which holds that
// thread until the audio thread has copied the sample (or the engine
// releases it for a stop, a seek or a close).
#pragma once

#include "engine.h"
#include "wmf/wm_interfaces.h"
#include "zeb_platform.h"

#include <atomic>
#include <cstdint>

// Characters of the wide path buffer, terminator included.
constexpr size_t WMPathChars = 260;

class CWMediaEngine : public IWMReaderCallback {
public:
    CWMediaEngine();

    // IUnknown
    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // IWMStatusCallback, IWMReaderCallback: called on the reader's thread.
    WMStatus OnStatus(WMT_STATUS Status, WMStatus hr, WMT_ATTR_DATATYPE dwType, uint8_t* pValue,
                      void* pvContext) override;
    WMStatus OnSample(uint32_t dwOutputNum, uint64_t cnsSampleTime, uint64_t cnsSampleDuration, uint32_t dwFlags,
                      INSSBuffer* pSample, void* pvContext) override;

    // Playback (audio thread). Non-zero on success.
    int Init();
    void Exit();
    int Open(const WMChar* pwszUrl);
    int SetMPGFileInfo(MPEGFileInfoType* Info);
    int Start();
    int Stop();
    int Pause();
    int Resume();
    void Seek(uint32_t msPos);
    void Close();
    // Copies the pending sample into Buffer (BufferSz bytes); 0 when none.
    uint32_t DecodeSection(uint8_t* Buffer, uint32_t BufferSz);
    uint32_t WMASamplesPending();

    // Attributes of stream 0, reader or editor. Non-zero on success.
    int GetHeaderAttribute(const WMChar* pwszName, uint8_t** ppbValue);
    // The indices of every attribute of that name (caller frees), or null.
    uint16_t* AttributeIndicesList(const WMChar* pwszName, uint16_t* Count);

    // Attribute editor.
    int OpenMetaEditor(const WMChar* pwszInFile);
    int CloseMetaEditor();
    int SetHeaderAttribute(const WMChar* pwszName, const uint8_t* pbValue, WMT_ATTR_DATATYPE Type,
                           uint16_t cbLength);

    int NoSeekPlay = 0;
    IWMReader* m_pReader = nullptr;
    IWMHeaderInfo* m_pHeaderInfo = nullptr;
    IWMHeaderInfo3* m_pHeaderInfo3 = nullptr;
    IWMReaderAdvanced* m_pReaderAdv = nullptr;
    IWMMetadataEditor* m_pMetaEditor = nullptr;
    ZEBEvent* m_hAsyncEvent = nullptr;
    std::atomic<int32_t> m_cRef{1};
    uint32_t m_dwAudioOutputNum = 0;
    ZEBEvent* hSampleReady[2] = {nullptr, nullptr}; // [0] consumed, [1] release
    uint64_t SeekPos = 0;
    std::atomic<int> m_bEOF{0};
    std::atomic<uint8_t*> SampleBuf{nullptr};
    std::atomic<uint32_t> SampleSz{0};
    uint64_t TrackDuration = 0;
    int MetaModified = 0;

private:
    ~CWMediaEngine();
};
