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
#include <mutex>
#include <vector>

// Widens the path byte for byte (each byte the code unit of the same value)
// into Wide, terminator included; false for a path of PATH_MAX bytes or
// more, which is refused rather than cut.
bool WidenPath(const char* Pathname, std::vector<WMChar>& Wide);

class CWMediaEngine final : public IWMReaderCallback {
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
    // A sample larger than BufferSz is handed over in pieces.
    uint32_t DecodeSection(uint8_t* Buffer, uint32_t BufferSz);
    uint32_t WMASamplesPending();

    // Attributes of stream 0, reader or editor. Non-zero on success. The
    // value is returned in a buffer from malloc that the caller frees.
    int GetHeaderAttribute(const WMChar* pwszName, uint8_t** ppbValue);
    // The indices of every attribute of that name (from malloc; the caller
    // frees), or null with *Count 0.
    uint16_t* AttributeIndicesList(const WMChar* pwszName, uint16_t* Count);

    // Attribute editor.
    int OpenMetaEditor(const WMChar* pwszInFile);
    int CloseMetaEditor();
    int SetHeaderAttribute(const WMChar* pwszName, const uint8_t* pbValue, WMT_ATTR_DATATYPE Type,
                           uint16_t cbLength);

    // Audio thread only, after Open: a run is under way (set by Start,
    // cleared by Stop and Seek), so that Play resumes it rather than starts.
    int NoSeekPlay = 0;
    IWMReader* m_pReader = nullptr;
    IWMHeaderInfo* m_pHeaderInfo = nullptr;
    IWMHeaderInfo3* m_pHeaderInfo3 = nullptr;
    IWMReaderAdvanced* m_pReaderAdv = nullptr;
    IWMMetadataEditor* m_pMetaEditor = nullptr;
    ZEBEvent* m_hAsyncEvent = nullptr; // set by OnStatus under EventsLock
    std::atomic<int32_t> m_cRef{1};
    uint32_t m_dwAudioOutputNum = 0; // written before the reader starts
    ZEBEvent* hSampleReady[2] = {nullptr, nullptr}; // [0] consumed, [1] release
    uint64_t SeekPos = 0;
    // The hand-over: the reader's thread writes SampleBuf, SampleGen, then
    // SampleSz; the audio thread reads SampleGen, SampleSz, then SampleBuf,
    // and clears SampleSz after copying.
    std::atomic<uint8_t*> SampleBuf{nullptr};
    std::atomic<uint32_t> SampleSz{0};
    uint64_t TrackDuration = 0;
    int MetaModified = 0;

private:
    ~CWMediaEngine();

    // Attribute bytes and their length (malloc'd); non-zero on success.
    int ReadHeaderAttribute(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length);
    int ReadByIndices(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length);
    int ReadByName(const WMChar* pwszName, uint8_t** ppbValue, uint32_t* Length);
    // The header, extended header and advanced interfaces, and the clock.
    int TakeReaderInterfaces();
    int FindAudioOutput(MPEGFileInfoType* Info);
    // 1 audio output found (format taken), 0 not audio, -1 failure.
    int ExamineOutput(uint32_t Output, MPEGFileInfoType* Info);
    // Ends every hand-over in flight: the pending sample counts as gone and
    // the reader's thread stops waiting (stop, seek, close).
    void ReleaseDelivery();
    // True when the audio thread may copy the published sample.
    bool SampleIsCurrent();
    // True when the reader reported the end (or failure) of the current run.
    bool RunEnded();
    // Bytes of the current sample not yet copied.
    uint32_t PendingBytes();
    // Waits until the audio thread took the sample or the delivery ended.
    bool WaitForHandOver(uint32_t Generation);

    // Bumped by the audio thread at every Start, Stop, Seek and Close: a
    // sample published under an older generation is never copied.
    std::atomic<uint32_t> DeliveryGeneration{0};
    std::atomic<uint32_t> SampleGen{0};
    // Each Start hands the reader a new run number as its context, and the
    // reader reports the run's end with it: an end report of an earlier run
    // that arrives after a restart names that run and ends nothing.
    uintptr_t RunsStarted = 0;             // audio thread only
    std::atomic<uintptr_t> CurrentRun{0};  // written by the audio thread
    std::atomic<uintptr_t> EndedRun{0};    // written by the reader's thread
    // Mirrors the release event; written by the audio thread only.
    std::atomic<bool> Released{false};
    uint32_t SampleOff = 0; // audio thread: bytes of the pending sample copied
    WMStatus OpenStatus = WM_S_OK; // the opened status's result (EventsLock)
    ZEBEvent* hSamplePosted = nullptr; // auto-reset: a sample was published
    std::mutex DeliveryLock; // one OnSample at a time; guards the sample events' lifetime
    std::mutex EventsLock;   // guards m_hAsyncEvent's lifetime and OpenStatus
};

// The runtime module's entry points, process-wide: set by CommonDllInit
// (wmaengine), null while the module is not loaded.
extern WMCreateReaderFn WMCreateReader;
extern WMCreateEditorFn WMCreateEditor;
