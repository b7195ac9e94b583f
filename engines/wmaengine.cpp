// The Windows Media Audio engine's operations for the core: loading the
// runtime module once per process and driving one CWMediaEngine per file.
#include "wmaengine.h"

#include "wmaengine_testing.h"
#include "wmmedia.h"
#include "zeb-audio.h"

#include <limits.h>

#include <cstring>
#include <mutex>

namespace {

std::mutex DllLock; // guards hDll, TriedDll and the two entry points
void* hDll = nullptr;
bool TriedDll = false;

void LoadRuntime()
{
    hDll = LoadModuleBesideLibrary("wmf", "libzeb-wmf.so");
    WMCreateReader = reinterpret_cast<WMCreateReaderFn>(GetSupportSymbol(hDll, "WMCreateReader"));
    WMCreateEditor = reinterpret_cast<WMCreateEditorFn>(GetSupportSymbol(hDll, "WMCreateEditor"));
    if (!WMCreateReader || !WMCreateEditor) {
        FreeSupportLibrary(hDll);
        hDll = nullptr;
        WMCreateReader = nullptr;
        WMCreateEditor = nullptr;
    }
}

CWMediaEngine* EngineOf(MPEGFileInfoType* MPEGFileInfo)
{
    return MPEGFileInfo ? reinterpret_cast<CWMediaEngine*>(MPEGFileInfo->DecoderPriv) : nullptr;
}

void DiscardEngine(CWMediaEngine* Engine)
{
    Engine->Exit();
    Engine->Release();
}

} // namespace

int CommonDllInit(void)
{
    std::lock_guard<std::mutex> Guard(DllLock);
    // Only the first call loads; a failed load is not retried.
    if (!TriedDll) {
        TriedDll = true;
        LoadRuntime();
    }
    return WMCreateReader != nullptr;
}

void ResetWMARuntimeForTesting(void)
{
    std::lock_guard<std::mutex> Guard(DllLock);
    TriedDll = false;
    hDll = nullptr; // loaded modules stay mapped
    WMCreateReader = nullptr;
    WMCreateEditor = nullptr;
}

void SetWMARuntimeForTesting(WMCreateReaderFn CreateReader, WMCreateEditorFn CreateEditor)
{
    std::lock_guard<std::mutex> Guard(DllLock);
    TriedDll = true;
    WMCreateReader = CreateReader;
    WMCreateEditor = CreateEditor;
}

MPEGFileInfoType* PrepareWMAFile(const char* Pathname)
{
    std::vector<WMChar> Wide;
    if (!Pathname || !CommonDllInit() || !WidenPath(Pathname, Wide))
        return nullptr;
    CWMediaEngine* Engine = new (std::nothrow) CWMediaEngine;
    if (!Engine)
        return nullptr;
    if (!Engine->Init() || !Engine->Open(Wide.data())) {
        DiscardEngine(Engine);
        return nullptr;
    }
    MPEGFileInfoType* Info = NewFileInfo();
    if (!Info || !Engine->SetMPGFileInfo(Info)) {
        FreeFileInfo(Info);
        // The reader opened the file: close it before letting go.
        Engine->Close();
        DiscardEngine(Engine);
        return nullptr;
    }
    Info->DecoderPriv = reinterpret_cast<uintptr_t>(Engine);
    return Info;
}

void UnPrepareWMAFile(MPEGFileInfoType* MPEGFileInfo)
{
    if (CWMediaEngine* Engine = EngineOf(MPEGFileInfo)) {
        Engine->Close();
        DiscardEngine(Engine);
    }
    FreeFileInfo(MPEGFileInfo);
}

int WMAActionZEBCommand(uint32_t Cmd, MPEGFileInfoType* MPEGFileInfo)
{
    CWMediaEngine* Engine = EngineOf(MPEGFileInfo);
    if (!Engine)
        return 1;
    switch (Cmd) {
    case ZEB_CMD_STOP:
        return Engine->Stop();
    case ZEB_CMD_PAUSE:
        return Engine->Pause();
    case ZEB_CMD_PLAY:
        return Engine->NoSeekPlay ? Engine->Resume() : Engine->Start();
    default:
        return 1;
    }
}

uint32_t DecodeWMASection(MPEGFileInfoType* MPEGFileInfo, void* OutBuf, uint32_t OutBufSz)
{
    CWMediaEngine* Engine = EngineOf(MPEGFileInfo);
    return Engine ? Engine->DecodeSection(static_cast<uint8_t*>(OutBuf), OutBufSz) : 0;
}

uint32_t WMASamplesPending(MPEGFileInfoType* MPEGFileInfo)
{
    CWMediaEngine* Engine = EngineOf(MPEGFileInfo);
    return Engine ? Engine->WMASamplesPending() : 1;
}

void SeekWMAFile(MPEGFileInfoType* MPEGFileInfo, uint32_t MsOffset)
{
    if (CWMediaEngine* Engine = EngineOf(MPEGFileInfo))
        Engine->Seek(MsOffset);
}

bool WidenPath(const char* Pathname, std::vector<WMChar>& Wide)
{
    size_t Length = strlen(Pathname);
    if (Length >= PATH_MAX)
        return false;
    try {
        Wide.assign(reinterpret_cast<const unsigned char*>(Pathname),
                    reinterpret_cast<const unsigned char*>(Pathname) + Length + 1);
    } catch (...) {
        return false;
    }
    return true;
}
