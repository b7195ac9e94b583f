// The header attribute editor of CWMediaEngine and its five exports: an
// engine that holds the runtime's metadata editor instead of a playing
// reader. Reading goes through GetHeaderAttribute and AttributeIndicesList.
#include "wmaengine.h"
#include "wmmedia.h"
#include "zeb-audio.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

template <typename T> void QueryField(IWMMetadataEditor* Editor, const WMGuid& Iid, T** Field)
{
    void* Object = nullptr;
    if (Editor->QueryInterface(Iid, &Object) >= 0)
        *Field = static_cast<T*>(Object);
}

CWMediaEngine* EditorEngine(void* WMHandle) { return static_cast<CWMediaEngine*>(WMHandle); }

// Name, type and value of the attribute at Index of stream 0, in buffers
// from malloc; 0 for an empty slot or a failure, with nothing allocated.
int ReadByIndex(IWMHeaderInfo3* Info, uint16_t Index, uint16_t** Name, uint32_t* Type, uint8_t** Value,
                uint32_t* Length)
{
    uint16_t NameLen = 0;
    uint32_t Size = 0;
    WMT_ATTR_DATATYPE T = WMT_TYPE_DWORD;
    if (Info->GetAttributeByIndexEx(0, Index, nullptr, &NameLen, &T, nullptr, nullptr, &Size) < 0 || NameLen == 0)
        return 0;
    auto* N = static_cast<uint16_t*>(malloc(NameLen * sizeof(uint16_t)));
    auto* V = static_cast<uint8_t*>(malloc(Size ? Size : 1));
    uint16_t GotName = NameLen;
    uint32_t GotSize = Size;
    if (!N || !V ||
        Info->GetAttributeByIndexEx(0, Index, reinterpret_cast<WMChar*>(N), &GotName, &T, nullptr, V, &GotSize) < 0) {
        free(N);
        free(V);
        return 0;
    }
    N[NameLen - 1] = 0;
    *Name = N;
    *Type = T;
    *Value = V;
    *Length = GotSize;
    return 1;
}

} // namespace

int CWMediaEngine::OpenMetaEditor(const WMChar* pwszInFile)
{
    if (!WMCreateEditor || WMCreateEditor(&m_pMetaEditor) < 0 || !m_pMetaEditor) {
        m_pMetaEditor = nullptr;
        return 0;
    }
    if (m_pMetaEditor->Open(pwszInFile) < 0) {
        m_pMetaEditor->Release();
        m_pMetaEditor = nullptr;
        return 0;
    }
    QueryField(m_pMetaEditor, IID_IWMHeaderInfo, &m_pHeaderInfo);
    QueryField(m_pMetaEditor, IID_IWMHeaderInfo3, &m_pHeaderInfo3);
    MetaModified = 0;
    return 1;
}

// Saves only when something was changed; otherwise nothing is written.
int CWMediaEngine::CloseMetaEditor()
{
    if (!m_pMetaEditor)
        return 0;
    WMStatus Status = MetaModified ? m_pMetaEditor->Flush() : m_pMetaEditor->Close();
    return Status >= 0 ? 1 : 0;
}

// Null value: delete every attribute of the name. Otherwise change every
// one, or add one when there is none. Stream 0, language 0 throughout.
int CWMediaEngine::SetHeaderAttribute(const WMChar* pwszName, const uint8_t* pbValue, WMT_ATTR_DATATYPE Type,
                                      uint16_t cbLength)
{
    if (!m_pHeaderInfo3 || !pwszName)
        return 0;
    uint16_t Count = 0;
    uint16_t* Indices = AttributeIndicesList(pwszName, &Count);
    int Result = 1;
    for (uint16_t i = 0; i < Count && Result; ++i) {
        WMStatus Status = pbValue ? m_pHeaderInfo3->ModifyAttribute(0, Indices[i], Type, 0, pbValue, cbLength)
                                  : m_pHeaderInfo3->DeleteAttribute(0, Indices[i]);
        if (Status < 0)
            Result = 0;
        else
            MetaModified = 1;
    }
    free(Indices);
    if (Count == 0 && pbValue) {
        uint16_t NewIndex = 0;
        if (m_pHeaderInfo3->AddAttribute(0, pwszName, &NewIndex, Type, 0, pbValue, cbLength) < 0)
            return 0;
        MetaModified = 1;
    }
    return Result;
}

extern "C" {

ZEB_API void* _WMOpenMetaEditor(const char* Pathname)
{
    std::vector<WMChar> Wide;
    if (!Pathname || !WidenPath(Pathname, Wide) || !CommonDllInit())
        return nullptr;
    CWMediaEngine* Engine = new (std::nothrow) CWMediaEngine;
    if (!Engine)
        return nullptr;
    if (!Engine->Init() || !Engine->OpenMetaEditor(Wide.data())) {
        Engine->Exit();
        Engine->Release();
        return nullptr;
    }
    return Engine;
}

ZEB_API int _WMCloseMetaEditor(void* WMHandle)
{
    CWMediaEngine* Engine = EditorEngine(WMHandle);
    if (!Engine)
        return 0;
    int Result = Engine->CloseMetaEditor();
    Engine->Exit();
    Engine->Release();
    return Result;
}

ZEB_API int _WMGetHeaderAttribute(void* WMHandle, const uint16_t* pwszName, uint8_t** ppbValue)
{
    CWMediaEngine* Engine = EditorEngine(WMHandle);
    if (!Engine || !pwszName || !ppbValue)
        return 0;
    return Engine->GetHeaderAttribute(pwszName, ppbValue) ? 1 : 0;
}

ZEB_API void _WMFreeHeaderAttribute(uint8_t* pbValue) { free(pbValue); }

ZEB_API int _WMSetHeaderAttribute(void* WMHandle, const uint16_t* pwszName, const uint8_t* ppbValue, uint32_t Type,
                                  uint16_t cbLength)
{
    CWMediaEngine* Engine = EditorEngine(WMHandle);
    if (!Engine || !pwszName || Type > WMT_TYPE_GUID)
        return 0;
    return Engine->SetHeaderAttribute(pwszName, ppbValue, static_cast<WMT_ATTR_DATATYPE>(Type), cbLength) ? 1 : 0;
}

ZEB_API uint32_t _WMGetHeaderAttributeCount(void* WMHandle)
{
    CWMediaEngine* Engine = EditorEngine(WMHandle);
    uint16_t Count = 0;
    if (!Engine || !Engine->m_pHeaderInfo3 || Engine->m_pHeaderInfo3->GetAttributeCountEx(0, &Count) < 0)
        return 0;
    return Count;
}

ZEB_API int _WMGetHeaderAttributeByIndex(void* WMHandle, uint32_t Index, uint16_t** ppwszName, uint32_t* pType,
                                         uint8_t** ppbValue, uint32_t* pcbLength)
{
    CWMediaEngine* Engine = EditorEngine(WMHandle);
    if (!Engine || !Engine->m_pHeaderInfo3 || Index > 0xFFFF || !ppwszName || !pType || !ppbValue || !pcbLength)
        return 0;
    return ReadByIndex(Engine->m_pHeaderInfo3, static_cast<uint16_t>(Index), ppwszName, pType, ppbValue,
                       pcbLength);
}

} // extern "C"
