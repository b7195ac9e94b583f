// The interfaces between the Windows Media engine and the project's runtime
// module (libzeb-wmf.so): reader, advanced reader, header information,
// output media properties, sample buffer, metadata editor and the engine's
// reader callback. Abstract classes in the slot order of the interfaces they
// stand for; both sides are built together, so the layout is shared.
// Statuses are 32-bit: 0 success, negative failure. Times are in 100 ns
// units. Text is UTF-16 code units (WMChar), never the platform's wchar_t.
#pragma once

#include <limits.h>

#include <cstddef>
#include <cstdint>
#include <string>

using WMStatus = int32_t;
using WMChar = uint16_t;

struct WMGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool operator==(const WMGuid& A, const WMGuid& B)
{
    if (A.Data1 != B.Data1 || A.Data2 != B.Data2 || A.Data3 != B.Data3)
        return false;
    for (int i = 0; i < 8; ++i)
        if (A.Data4[i] != B.Data4[i])
            return false;
    return true;
}

constexpr WMStatus WM_S_OK = 0;
constexpr WMStatus WM_E_NOTIMPL = static_cast<WMStatus>(0x80004001u);
constexpr WMStatus WM_E_NOINTERFACE = static_cast<WMStatus>(0x80004002u);
constexpr WMStatus WM_E_POINTER = static_cast<WMStatus>(0x80004003u);
constexpr WMStatus WM_E_FAIL = static_cast<WMStatus>(0x80004005u);
constexpr WMStatus WM_E_OUTOFMEMORY = static_cast<WMStatus>(0x8007000Eu);
constexpr WMStatus WM_E_INVALIDARG = static_cast<WMStatus>(0x80070057u);
// The file is not usable as asked (not ASF, damaged, not writable).
constexpr WMStatus WM_E_INVALID_DATA = static_cast<WMStatus>(0xC00D002Fu);
// The call is not valid in the object's present state.
constexpr WMStatus WM_E_INVALID_REQUEST = static_cast<WMStatus>(0xC00D002Bu);
// No attribute of that name (or index).
constexpr WMStatus WM_E_NO_SUCH_ATTRIBUTE = static_cast<WMStatus>(0xC00D07F0u);
// The value is too large for the caller's buffer.
constexpr WMStatus WM_E_BUFFERTOOSMALL = static_cast<WMStatus>(0x8007007Au);
// A read-only attribute was asked to change.
constexpr WMStatus WM_E_READ_ONLY = static_cast<WMStatus>(0xC00D0BB8u);

// Status codes of OnStatus.
enum WMT_STATUS : uint32_t {
    WMT_ERROR = 0,
    WMT_OPENED = 1,
    WMT_BUFFERING_START = 2,
    WMT_BUFFERING_STOP = 3,
    WMT_EOF = 4,
    WMT_END_OF_SEGMENT = 5,
    WMT_END_OF_STREAMING = 6,
    WMT_LOCATING = 7,
    WMT_CONNECTING = 8,
    WMT_NO_RIGHTS = 9,
    WMT_MISSING_CODEC = 10,
    WMT_STARTED = 11,
    WMT_STOPPED = 12,
    WMT_CLOSED = 13,
};

// Attribute value types, with their stored sizes: DWORD 4, STRING UTF-16LE
// with its 2-byte terminator, BINARY any, BOOL 4, QWORD 8, WORD 2, GUID 16.
enum WMT_ATTR_DATATYPE : uint32_t {
    WMT_TYPE_DWORD = 0,
    WMT_TYPE_STRING = 1,
    WMT_TYPE_BINARY = 2,
    WMT_TYPE_BOOL = 3,
    WMT_TYPE_QWORD = 4,
    WMT_TYPE_WORD = 5,
    WMT_TYPE_GUID = 6,
};

// The wave format behind an audio media type's pbFormat, 18 bytes packed.
#pragma pack(push, 1)
struct tWAVEFORMATEX {
    uint16_t wFormatTag;
    uint16_t nChannels;
    uint32_t nSamplesPerSec;
    uint32_t nAvgBytesPerSec;
    uint16_t nBlockAlign;
    uint16_t wBitsPerSample;
    uint16_t cbSize;
};
#pragma pack(pop)

struct IUnknown;

// A media type; GetMediaType fills the record and its format block in one
// caller-provided buffer (pbFormat points into it).
struct WM_MEDIA_TYPE {
    WMGuid majortype;
    WMGuid subtype;
    int32_t bFixedSizeSamples;
    int32_t bTemporalCompression;
    uint32_t lSampleSize;
    WMGuid formattype;
    IUnknown* pUnk;
    uint32_t cbFormat;
    uint8_t* pbFormat;
};

// Interface identifiers.
inline constexpr WMGuid IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr WMGuid IID_IWMStatusCallback = {0x6d7cdc70, 0x9888, 0x11d3, {0x8e, 0xdc, 0x00, 0xc0, 0x4f, 0x61, 0x09, 0xcf}};
inline constexpr WMGuid IID_IWMReaderCallback = {0x96406bd8, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
inline constexpr WMGuid IID_IWMReader = {0x96406bd6, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
inline constexpr WMGuid IID_IWMReaderAdvanced = {0x96406bea, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
inline constexpr WMGuid IID_IWMHeaderInfo = {0x96406bda, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
inline constexpr WMGuid IID_IWMHeaderInfo2 = {0x15cf9781, 0x454e, 0x482e, {0xb3, 0x93, 0x85, 0xfa, 0xe4, 0x87, 0xa8, 0x10}};
inline constexpr WMGuid IID_IWMHeaderInfo3 = {0x15cc68e3, 0x27cc, 0x4ecd, {0xb2, 0x22, 0x3f, 0x5d, 0x02, 0xd8, 0x0b, 0xd5}};
inline constexpr WMGuid IID_IWMMetadataEditor = {0x96406bd9, 0x2b2b, 0x11d3, {0xb3, 0x6b, 0x00, 0xc0, 0x4f, 0x61, 0x08, 0xff}};
// Media types and format types.
inline constexpr WMGuid WMMEDIATYPE_Audio = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr WMGuid WMMEDIATYPE_Video = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr WMGuid WMMEDIATYPE_Script = {0x73636d64, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr WMGuid WMMEDIASUBTYPE_PCM = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr WMGuid WMFORMAT_WaveFormatEx = {0x05589f81, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};

struct IUnknown {
    virtual WMStatus QueryInterface(const WMGuid& Iid, void** Object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default; // objects are destroyed by Release only
};

struct INSSBuffer : IUnknown {
    virtual WMStatus GetLength(uint32_t* Length) = 0;
    virtual WMStatus SetLength(uint32_t Length) = 0;
    virtual WMStatus GetMaxLength(uint32_t* Length) = 0;
    virtual WMStatus GetBuffer(uint8_t** Buffer) = 0;
    virtual WMStatus GetBufferAndLength(uint8_t** Buffer, uint32_t* Length) = 0;
};

struct IWMStatusCallback : IUnknown {
    virtual WMStatus OnStatus(WMT_STATUS Status, WMStatus hr, WMT_ATTR_DATATYPE dwType, uint8_t* pValue,
                              void* pvContext) = 0;
};

struct IWMReaderCallback : IWMStatusCallback {
    virtual WMStatus OnSample(uint32_t dwOutputNum, uint64_t cnsSampleTime, uint64_t cnsSampleDuration,
                              uint32_t dwFlags, INSSBuffer* pSample, void* pvContext) = 0;
};

struct IWMMediaProps : IUnknown {
    virtual WMStatus GetType(WMGuid* Type) = 0;
    // With Type null only *Size is set: the bytes the record and its
    // format block need. Otherwise *Size must be at least that.
    virtual WMStatus GetMediaType(WM_MEDIA_TYPE* Type, uint32_t* Size) = 0;
    virtual WMStatus SetMediaType(WM_MEDIA_TYPE* Type) = 0;
};

struct IWMOutputMediaProps : IWMMediaProps {
    virtual WMStatus GetStreamGroupName(WMChar* Name, uint16_t* Length) = 0;
    virtual WMStatus GetConnectionName(WMChar* Name, uint16_t* Length) = 0;
};

struct IWMReader : IUnknown {
    // Asynchronous: WMT_OPENED (or WMT_ERROR) follows through OnStatus.
    virtual WMStatus Open(const WMChar* pwszURL, IWMReaderCallback* pCallback, void* pvContext) = 0;
    // Asynchronous: WMT_CLOSED follows through OnStatus.
    virtual WMStatus Close() = 0;
    virtual WMStatus GetOutputCount(uint32_t* pcOutputs) = 0;
    virtual WMStatus GetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps** ppOutput) = 0;
    virtual WMStatus SetOutputProps(uint32_t dwOutputNum, IWMOutputMediaProps* pOutput) = 0;
    virtual WMStatus GetOutputFormatCount(uint32_t dwOutputNumber, uint32_t* pcFormats) = 0;
    virtual WMStatus GetOutputFormat(uint32_t dwOutputNumber, uint32_t dwFormatNumber,
                                     IWMOutputMediaProps** ppProps) = 0;
    // cnsDuration 0: to the end. fRate 1.0 only. The run's reports
    // (WMT_STARTED, its end or failure) and samples carry pvContext; the
    // open, stop and close reports carry the open's.
    virtual WMStatus Start(uint64_t cnsStart, uint64_t cnsDuration, float fRate, void* pvContext) = 0;
    virtual WMStatus Stop() = 0;
    virtual WMStatus Pause() = 0;
    virtual WMStatus Resume() = 0;
};

// Only the leading operations the engine uses, in their slot order.
struct IWMReaderAdvanced : IUnknown {
    virtual WMStatus SetUserProvidedClock(int32_t fUserClock) = 0;
    virtual WMStatus GetUserProvidedClock(int32_t* pfUserClock) = 0;
    virtual WMStatus DeliverTime(uint64_t cnsTime) = 0;
};

struct IWMHeaderInfo : IUnknown {
    virtual WMStatus GetAttributeCount(uint16_t wStreamNum, uint16_t* pcAttributes) = 0;
    virtual WMStatus GetAttributeByIndex(uint16_t wIndex, uint16_t* pwStreamNum, WMChar* pwszName,
                                         uint16_t* pcchNameLen, WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                         uint16_t* pcbLength) = 0;
    // pValue null: only *pcbLength (and *pType) are set.
    virtual WMStatus GetAttributeByName(uint16_t* pwStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE* pType,
                                        uint8_t* pValue, uint16_t* pcbLength) = 0;
    virtual WMStatus SetAttribute(uint16_t wStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE Type,
                                  const uint8_t* pValue, uint16_t cbLength) = 0;
    // Markers and scripts: not supported by the module (WM_E_NOTIMPL).
    virtual WMStatus GetMarkerCount(uint16_t* pcMarkers) = 0;
    virtual WMStatus GetMarker(uint16_t wIndex, WMChar* pwszMarkerName, uint16_t* pcchMarkerNameLen,
                               uint64_t* pcnsMarkerTime) = 0;
    virtual WMStatus AddMarker(const WMChar* pwszMarkerName, uint64_t cnsMarkerTime) = 0;
    virtual WMStatus RemoveMarker(uint16_t wIndex) = 0;
    virtual WMStatus GetScriptCount(uint16_t* pcScripts) = 0;
    virtual WMStatus GetScript(uint16_t wIndex, WMChar* pwszType, uint16_t* pcchTypeLen, WMChar* pwszCommand,
                               uint16_t* pcchCommandLen, uint64_t* pcnsScriptTime) = 0;
    virtual WMStatus AddScript(const WMChar* pwszType, const WMChar* pwszCommand, uint64_t cnsScriptTime) = 0;
    virtual WMStatus RemoveScript(uint16_t wIndex) = 0;
};

struct IWMHeaderInfo2 : IWMHeaderInfo {
    virtual WMStatus GetCodecInfoCount(uint32_t* pcCodecInfos) = 0;
    virtual WMStatus GetCodecInfo(uint32_t wIndex, uint16_t* pcchName, WMChar* pwszName,
                                  uint16_t* pcchDescription, WMChar* pwszDescription, uint32_t* pCodecType,
                                  uint16_t* pcbCodecInfo, uint8_t* pbCodecInfo) = 0;
};

struct IWMHeaderInfo3 : IWMHeaderInfo2 {
    virtual WMStatus GetAttributeCountEx(uint16_t wStreamNum, uint16_t* pcAttributes) = 0;
    // pwLangIndex null: any language. pwIndices null: only *pwCount is set.
    virtual WMStatus GetAttributeIndices(uint16_t wStreamNum, const WMChar* pwszName, uint16_t* pwLangIndex,
                                         uint16_t* pwIndices, uint16_t* pwCount) = 0;
    // pValue null: only *pdwDataLength (and the other outputs) are set.
    virtual WMStatus GetAttributeByIndexEx(uint16_t wStreamNum, uint16_t wIndex, WMChar* pwszName,
                                           uint16_t* pwNameLen, WMT_ATTR_DATATYPE* pType, uint16_t* pwLangIndex,
                                           uint8_t* pValue, uint32_t* pdwDataLength) = 0;
    virtual WMStatus ModifyAttribute(uint16_t wStreamNum, uint16_t wIndex, WMT_ATTR_DATATYPE Type,
                                     uint16_t wLangIndex, const uint8_t* pValue, uint32_t dwLength) = 0;
    virtual WMStatus AddAttribute(uint16_t wStreamNum, const WMChar* pszName, uint16_t* pwIndex,
                                  WMT_ATTR_DATATYPE Type, uint16_t wLangIndex, const uint8_t* pValue,
                                  uint32_t dwLength) = 0;
    virtual WMStatus DeleteAttribute(uint16_t wStreamNum, uint16_t wIndex) = 0;
    virtual WMStatus AddCodecInfo(const WMChar* pwszName, const WMChar* pwszDescription, uint32_t codecType,
                                  uint16_t cbCodecInfo, uint8_t* pbCodecInfo) = 0;
};

struct IWMMetadataEditor : IUnknown {
    virtual WMStatus Open(const WMChar* pwszFilename) = 0;
    // Closes the file without saving.
    virtual WMStatus Close() = 0;
    // Saves the changes and closes the file.
    virtual WMStatus Flush() = 0;
};

// The module's two entry points, resolved by name at run time.
extern "C" {
typedef WMStatus (*WMCreateReaderFn)(IUnknown* pUnkCert, uint32_t dwRights, IWMReader** ppReader);
typedef WMStatus (*WMCreateEditorFn)(IWMMetadataEditor** ppEditor);
}

// Paths travel widened byte for byte (each byte the code unit of the same
// value); the module narrows them back exactly. Characters above 0xFF never
// come from a widened path and make the narrowing fail, as does a path of
// PATH_MAX bytes or more.
inline bool NarrowWidenedPath(const WMChar* Wide, std::string& Narrow)
{
    Narrow.clear();
    for (size_t i = 0; Wide[i] != 0; ++i) {
        if (Wide[i] > 0xFF || i + 1 >= PATH_MAX)
            return false;
        Narrow.push_back(static_cast<char>(Wide[i]));
    }
    return true;
}
