// The header-information object over an attribute list: lookups by name and
// index for the reader and the editor, and the editor's changes.
#include "asf_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace {

constexpr size_t MaxSlots = 0xFFFF; // indices and counts are 16-bit

WMStatus CopyName(const std::u16string& Name, WMChar* Buffer, uint16_t* Length)
{
    size_t Need = Name.size() + 1;
    if (Need > 0xFFFF)
        return WM_E_BUFFERTOOSMALL;
    if (!Buffer) {
        *Length = static_cast<uint16_t>(Need);
        return WM_S_OK;
    }
    if (*Length < Need) {
        *Length = static_cast<uint16_t>(Need);
        return WM_E_BUFFERTOOSMALL;
    }
    for (size_t i = 0; i < Name.size(); ++i)
        Buffer[i] = Name[i];
    Buffer[Name.size()] = 0;
    *Length = static_cast<uint16_t>(Need);
    return WM_S_OK;
}

template <typename Len> WMStatus CopyValue(const std::vector<uint8_t>& Value, uint8_t* Buffer, Len* Length)
{
    if (Value.size() > static_cast<Len>(~Len(0)))
        return WM_E_BUFFERTOOSMALL;
    Len Need = static_cast<Len>(Value.size());
    if (Buffer && *Length < Need) {
        *Length = Need;
        return WM_E_BUFFERTOOSMALL;
    }
    if (Buffer && Need)
        std::copy(Value.begin(), Value.end(), Buffer);
    *Length = Need;
    return WM_S_OK;
}

ASFHeaderInfo* MakeView(const std::vector<uint8_t>& Header)
{
    std::vector<ASFAttribute> Attributes;
    if (!ReadASFAttributes(Header, Attributes))
        return nullptr;
    return new ASFHeaderInfo(std::move(Attributes), false);
}

} // namespace

// A header with more attributes than 16-bit indices reach is read-only: a
// save could not keep what no index names. Every one is read by name.
ASFHeaderInfo::ASFHeaderInfo(std::vector<ASFAttribute> Attributes, bool CanWrite)
    : List(std::move(Attributes)), Writable(CanWrite && List.size() <= MaxSlots)
{
}

size_t ASFHeaderInfo::Slots() const { return std::min(List.size(), MaxSlots); }

WMStatus ASFHeaderInfo::QueryInterface(const WMGuid& Iid, void** Object)
{
    if (!Object)
        return WM_E_POINTER;
    if (Iid == IID_IUnknown || Iid == IID_IWMHeaderInfo || Iid == IID_IWMHeaderInfo2 || Iid == IID_IWMHeaderInfo3) {
        AddRef();
        *Object = static_cast<IWMHeaderInfo3*>(this);
        return WM_S_OK;
    }
    *Object = nullptr;
    return WM_E_NOINTERFACE;
}

uint32_t ASFHeaderInfo::AddRef() { return ++Refs; }

uint32_t ASFHeaderInfo::Release()
{
    uint32_t Left = --Refs;
    if (Left == 0)
        delete this;
    return Left;
}

const ASFAttribute* ASFHeaderInfo::Live(uint16_t wStreamNum, uint16_t wIndex) const
{
    if (Detached || wStreamNum != 0 || wIndex >= Slots() || List[wIndex].Deleted)
        return nullptr;
    return &List[wIndex];
}

int ASFHeaderInfo::FirstLive(const std::u16string& Name) const
{
    for (size_t i = 0; i < List.size(); ++i)
        if (!List[i].Deleted && List[i].Name == Name)
            return static_cast<int>(i);
    return -1;
}

WMStatus ASFHeaderInfo::GetAttributeCount(uint16_t wStreamNum, uint16_t* pcAttributes)
{
    return GetAttributeCountEx(wStreamNum, pcAttributes);
}

WMStatus ASFHeaderInfo::GetAttributeCountEx(uint16_t wStreamNum, uint16_t* pcAttributes)
{
    if (!pcAttributes)
        return WM_E_POINTER;
    if (Detached)
        return WM_E_INVALID_REQUEST;
    *pcAttributes = wStreamNum == 0 ? static_cast<uint16_t>(Slots()) : 0;
    return WM_S_OK;
}

WMStatus ASFHeaderInfo::GetAttributeByIndex(uint16_t wIndex, uint16_t* pwStreamNum, WMChar* pwszName,
                                            uint16_t* pcchNameLen, WMT_ATTR_DATATYPE* pType, uint8_t* pValue,
                                            uint16_t* pcbLength)
{
    if (!pcchNameLen || !pcbLength)
        return WM_E_POINTER;
    const ASFAttribute* A = Live(pwStreamNum ? *pwStreamNum : 0, wIndex);
    if (!A)
        return Detached ? WM_E_INVALID_REQUEST : WM_E_NO_SUCH_ATTRIBUTE;
    WMStatus Status = CopyName(A->Name, pwszName, pcchNameLen);
    if (Status < 0)
        return Status;
    if (pType)
        *pType = A->Type;
    return CopyValue(A->Value, pValue, pcbLength);
}

WMStatus ASFHeaderInfo::GetAttributeByName(uint16_t* pwStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE* pType,
                                           uint8_t* pValue, uint16_t* pcbLength)
{
    if (!pszName || !pcbLength)
        return WM_E_POINTER;
    if (Detached)
        return WM_E_INVALID_REQUEST;
    int i = (pwStreamNum && *pwStreamNum != 0) ? -1 : FirstLive(WideName(pszName));
    if (i < 0)
        return WM_E_NO_SUCH_ATTRIBUTE;
    if (pType)
        *pType = List[i].Type;
    return CopyValue(List[i].Value, pValue, pcbLength);
}

WMStatus ASFHeaderInfo::GetAttributeIndices(uint16_t wStreamNum, const WMChar* pwszName, uint16_t* pwLangIndex,
                                            uint16_t* pwIndices, uint16_t* pwCount)
{
    if (!pwCount)
        return WM_E_POINTER;
    if (Detached)
        return WM_E_INVALID_REQUEST;
    std::vector<uint16_t> Found;
    std::u16string Name = WideName(pwszName);
    for (size_t i = 0; wStreamNum == 0 && i < Slots(); ++i) {
        const ASFAttribute& A = List[i];
        if (A.Deleted || (pwszName && A.Name != Name) || (pwLangIndex && A.Language != *pwLangIndex))
            continue;
        Found.push_back(static_cast<uint16_t>(i));
    }
    uint16_t Need = static_cast<uint16_t>(Found.size());
    if (pwIndices && *pwCount < Need) {
        *pwCount = Need;
        return WM_E_BUFFERTOOSMALL;
    }
    if (pwIndices)
        std::copy(Found.begin(), Found.end(), pwIndices);
    *pwCount = Need;
    return WM_S_OK;
}

WMStatus ASFHeaderInfo::GetAttributeByIndexEx(uint16_t wStreamNum, uint16_t wIndex, WMChar* pwszName,
                                              uint16_t* pwNameLen, WMT_ATTR_DATATYPE* pType,
                                              uint16_t* pwLangIndex, uint8_t* pValue, uint32_t* pdwDataLength)
{
    if (!pdwDataLength || (pwszName && !pwNameLen))
        return WM_E_POINTER;
    const ASFAttribute* A = Live(wStreamNum, wIndex);
    if (!A)
        return Detached ? WM_E_INVALID_REQUEST : WM_E_NO_SUCH_ATTRIBUTE;
    if (pwNameLen) {
        WMStatus Status = CopyName(A->Name, pwszName, pwNameLen);
        if (Status < 0)
            return Status;
    }
    if (pType)
        *pType = A->Type;
    if (pwLangIndex)
        *pwLangIndex = A->Language;
    return CopyValue(A->Value, pValue, pdwDataLength);
}

WMStatus ASFHeaderInfo::CheckWritable(uint16_t wStreamNum) const
{
    if (Detached || !Writable)
        return WM_E_INVALID_REQUEST;
    return wStreamNum == 0 ? WM_S_OK : WM_E_INVALIDARG;
}

WMStatus ASFHeaderInfo::Modify(ASFAttribute& A, WMT_ATTR_DATATYPE Type, uint16_t wLangIndex, const uint8_t* pValue,
                               uint32_t dwLength)
{
    if (A.ReadOnly)
        return WM_E_READ_ONLY;
    if (A.Origin == ASFOrigin::ContentDescription && (Type != WMT_TYPE_STRING || wLangIndex != 0))
        return WM_E_INVALIDARG;
    std::vector<uint8_t> Value;
    if (!NormaliseASFValue(Type, pValue, dwLength, Value))
        return WM_E_INVALIDARG;
    A.Type = Type;
    A.Language = wLangIndex;
    A.Value = std::move(Value);
    A.Changed = true;
    AnyChange = true;
    return WM_S_OK;
}

WMStatus ASFHeaderInfo::Add(const std::u16string& Name, uint16_t* pwIndex, WMT_ATTR_DATATYPE Type,
                            uint16_t wLangIndex, const uint8_t* pValue, uint32_t dwLength)
{
    if (Name.empty())
        return WM_E_INVALIDARG;
    if (IsReadOnlyASFName(Name))
        return WM_E_READ_ONLY;
    bool Content = IsContentDescriptionName(Name);
    if (Content && FirstLive(Name) >= 0)
        return WM_E_INVALIDARG; // a Content Description field exists once
    if (List.size() >= MaxSlots)
        return WM_E_OUTOFMEMORY;
    ASFAttribute A;
    A.Name = Name;
    A.Origin = Content ? ASFOrigin::ContentDescription : ASFOrigin::Stored;
    WMStatus Status = Modify(A, Type, wLangIndex, pValue, dwLength);
    if (Status < 0)
        return Status;
    List.push_back(std::move(A));
    if (pwIndex)
        *pwIndex = static_cast<uint16_t>(List.size() - 1);
    return WM_S_OK;
}

WMStatus ASFHeaderInfo::ModifyAttribute(uint16_t wStreamNum, uint16_t wIndex, WMT_ATTR_DATATYPE Type,
                                        uint16_t wLangIndex, const uint8_t* pValue, uint32_t dwLength)
{
    WMStatus Status = CheckWritable(wStreamNum);
    if (Status < 0)
        return Status;
    if (!Live(wStreamNum, wIndex))
        return WM_E_NO_SUCH_ATTRIBUTE;
    return Modify(List[wIndex], Type, wLangIndex, pValue, dwLength);
}

WMStatus ASFHeaderInfo::AddAttribute(uint16_t wStreamNum, const WMChar* pszName, uint16_t* pwIndex,
                                     WMT_ATTR_DATATYPE Type, uint16_t wLangIndex, const uint8_t* pValue,
                                     uint32_t dwLength)
{
    WMStatus Status = CheckWritable(wStreamNum);
    if (Status < 0)
        return Status;
    if (!pszName)
        return WM_E_POINTER;
    return Add(WideName(pszName), pwIndex, Type, wLangIndex, pValue, dwLength);
}

WMStatus ASFHeaderInfo::DeleteAttribute(uint16_t wStreamNum, uint16_t wIndex)
{
    WMStatus Status = CheckWritable(wStreamNum);
    if (Status < 0)
        return Status;
    if (!Live(wStreamNum, wIndex))
        return WM_E_NO_SUCH_ATTRIBUTE;
    if (List[wIndex].ReadOnly)
        return WM_E_READ_ONLY;
    List[wIndex].Deleted = true;
    AnyChange = true;
    return WM_S_OK;
}

// Changes the first attribute of that name (keeping its language), or adds
// one in language 0.
WMStatus ASFHeaderInfo::SetAttribute(uint16_t wStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE Type,
                                     const uint8_t* pValue, uint16_t cbLength)
{
    WMStatus Status = CheckWritable(wStreamNum);
    if (Status < 0)
        return Status;
    if (!pszName)
        return WM_E_POINTER;
    std::u16string Name = WideName(pszName);
    int i = FirstLive(Name);
    if (i >= 0)
        return Modify(List[i], Type, List[i].Language, pValue, cbLength);
    return Add(Name, nullptr, Type, 0, pValue, cbLength);
}

WMStatus ASFHeaderInfo::GetMarkerCount(uint16_t*) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::GetMarker(uint16_t, WMChar*, uint16_t*, uint64_t*) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::AddMarker(const WMChar*, uint64_t) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::RemoveMarker(uint16_t) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::GetScriptCount(uint16_t*) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::GetScript(uint16_t, WMChar*, uint16_t*, WMChar*, uint16_t*, uint64_t*) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::AddScript(const WMChar*, const WMChar*, uint64_t) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::RemoveScript(uint16_t) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::GetCodecInfoCount(uint32_t*) { return WM_E_NOTIMPL; }
WMStatus ASFHeaderInfo::GetCodecInfo(uint32_t, uint16_t*, WMChar*, uint16_t*, WMChar*, uint32_t*, uint16_t*,
                                     uint8_t*)
{
    return WM_E_NOTIMPL;
}
WMStatus ASFHeaderInfo::AddCodecInfo(const WMChar*, const WMChar*, uint32_t, uint16_t, uint8_t*)
{
    return WM_E_NOTIMPL;
}

int OpenRegularFile(const char* Path, int Flags, struct stat* St)
{
    if (!Path)
        return -1;
    // Non-blocking so that a FIFO or device is refused, not waited on.
    int Fd = open(Path, Flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd < 0)
        return -1;
    if (fstat(Fd, St) != 0 || !S_ISREG(St->st_mode)) {
        close(Fd);
        return -1;
    }
    return Fd;
}

IWMHeaderInfo3* OpenASFHeaderInfo(const char* Path)
{
    struct stat St;
    int Fd = OpenRegularFile(Path, O_RDONLY, &St);
    if (Fd < 0)
        return nullptr;
    std::vector<uint8_t> Header;
    bool Read = false;
    try {
        Read = ReadASFHeader(Fd, static_cast<uint64_t>(St.st_size), Header);
    } catch (...) { // allocation failure: no view
    }
    close(Fd);
    if (!Read)
        return nullptr;
    try {
        return MakeView(Header);
    } catch (...) {
        return nullptr;
    }
}

IWMHeaderInfo3* OpenASFHeaderInfoFromMemory(const uint8_t* Data, size_t DataSz)
{
    uint64_t Size = ASFHeaderSize(Data, DataSz, DataSz);
    if (Size == 0)
        return nullptr;
    try {
        return MakeView(std::vector<uint8_t>(Data, Data + Size));
    } catch (...) {
        return nullptr;
    }
}
