// Fuzzes the Windows Media module's reader: the input becomes a file, which
// is opened, its outputs and media types listed, played from the start for a
// few samples, restarted a second in, and closed. The header-information
// side is left out (the reader is built here with a stand-in that finds no
// header information).
#include "memory_file.h"
#include "wmf/asf_attributes.h"
#include "wmf/wm_interfaces.h"

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

extern "C" WMStatus WMCreateReader(IUnknown* pUnkCert, uint32_t dwRights, IWMReader** ppReader);

IWMHeaderInfo3* OpenASFHeaderInfo(const char*) { return nullptr; }

namespace {

constexpr size_t SamplesPerRun = 32;
constexpr uint64_t RestartAt = 10000000; // 1 s in 100 ns units

// Counts samples and remembers the last status; every callback returns at once.
class Counter final : public IWMReaderCallback {
public:
    WMStatus QueryInterface(const WMGuid&, void** Object) override
    {
        *Object = nullptr;
        return WM_E_NOINTERFACE;
    }
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }
    WMStatus OnStatus(WMT_STATUS Status, WMStatus, WMT_ATTR_DATATYPE, uint8_t*, void*) override
    {
        std::lock_guard<std::mutex> L(Lock);
        Statuses.push_back(Status);
        if (Status == WMT_STARTED)
            Samples = 0;
        Changed.notify_all();
        return WM_S_OK;
    }
    WMStatus OnSample(uint32_t, uint64_t, uint64_t, uint32_t, INSSBuffer* Sample, void*) override
    {
        uint8_t* Bytes = nullptr;
        uint32_t Length = 0;
        Sample->GetBufferAndLength(&Bytes, &Length);
        volatile uint8_t Sum = 0;
        for (uint32_t i = 0; i < Length; ++i)
            Sum = Sum + Bytes[i]; // reads every byte: ASan sees a short buffer
        std::lock_guard<std::mutex> L(Lock);
        ++Samples;
        Changed.notify_all();
        return WM_S_OK;
    }
    bool Has(WMT_STATUS S) const
    {
        for (WMT_STATUS Got : Statuses)
            if (Got == S)
                return true;
        return false;
    }
    void WaitStatus(WMT_STATUS S)
    {
        std::unique_lock<std::mutex> L(Lock);
        Changed.wait(L, [&] { return Has(S); });
    }
    // Waits for a few samples of the run or its end.
    void WaitRun()
    {
        std::unique_lock<std::mutex> L(Lock);
        Changed.wait(L, [&] {
            return Has(WMT_STARTED) &&
                   (Samples >= SamplesPerRun || Has(WMT_EOF) || Has(WMT_ERROR) || Has(WMT_MISSING_CODEC));
        });
        Statuses.clear();
    }

    std::mutex Lock;
    std::condition_variable Changed;
    std::vector<WMT_STATUS> Statuses;
    size_t Samples = 0;
};

void ListOutputs(IWMReader* R)
{
    uint32_t Count = 0;
    if (R->GetOutputCount(&Count) != WM_S_OK)
        return;
    for (uint32_t i = 0; i < Count; ++i) {
        IWMOutputMediaProps* Props = nullptr;
        if (R->GetOutputProps(i, &Props) != WM_S_OK)
            continue;
        uint32_t Size = 0;
        Props->GetMediaType(nullptr, &Size);
        std::vector<uint8_t> Type(Size);
        Props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(Type.data()), &Size);
        Props->Release();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    int Fd = MemoryFile("fuzz_wmf_reader", Data, Size);
    if (Fd < 0)
        return 0;
    std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    std::vector<WMChar> Wide(Path.begin(), Path.end());
    Wide.push_back(0);
    IWMReader* R = nullptr;
    Counter Callback;
    if (WMCreateReader(nullptr, 0, &R) == WM_S_OK && R->Open(Wide.data(), &Callback, nullptr) == WM_S_OK) {
        Callback.WaitStatus(WMT_OPENED);
        ListOutputs(R);
        R->Start(0, 0, 1.0f, nullptr);
        Callback.WaitRun();
        R->Start(RestartAt, 0, 1.0f, nullptr);
        Callback.WaitRun();
        R->Close();
        Callback.WaitStatus(WMT_CLOSED);
    }
    if (R)
        R->Release();
    close(Fd);
    return 0;
}
