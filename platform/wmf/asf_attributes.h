// Header information over an ASF file's header: the file-level attributes
// (stream 0) of the Content Description, Extended Content Description,
// Metadata and Metadata Library objects with their types and languages, the
// Content Description fields as "Title", "Author", "Copyright",
// "Description" and "Rating", and the read-only "Duration" (play duration
// less preroll, 100 ns units, QWORD), "Bitrate" (DWORD) and "IsVBR" (BOOL,
// only when the file stores one).
//
// Indices are slots of one list built when the file is opened: "Duration"
// and "Bitrate" first, then the file's own attributes; an added attribute
// takes the next slot and a deleted one leaves its slot empty, so every
// index stays valid for the life of the object. The attribute counts are
// slot counts; an empty slot answers WM_E_NO_SUCH_ATTRIBUTE. A file with
// more attributes than 65535 slots opens read-only.
#pragma once

#include "asf_header.h"
#include "wm_interfaces.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Where an attribute lives in the file.
enum class ASFOrigin : uint8_t {
    Derived,            // computed from the header; never written
    ContentDescription, // one of the five Content Description fields
    Stored,             // an attribute object entry, kept by name
};

struct ASFAttribute {
    std::u16string Name;
    WMT_ATTR_DATATYPE Type = WMT_TYPE_BINARY;
    uint16_t Language = 0;
    std::vector<uint8_t> Value; // the bytes as the runtime hands them out
    ASFOrigin Origin = ASFOrigin::Stored;
    bool ReadOnly = false;
    bool Deleted = false;
    bool Changed = false; // Value, Type or Language differ from the file
    // Position among the file's stream-0 attributes of this name, or -1 for
    // an attribute added in this session.
    int SourcePos = -1;
};

// The attributes of a file, as read from its Header Object (Header holds
// the whole object). False when TagLib does not take the header as ASF.
bool ReadASFAttributes(const std::vector<uint8_t>& Header, std::vector<ASFAttribute>& Attributes);

// Bytes of Value for a value of Type given as Bytes (Size long), normalised
// to what the file will hold (strings end at their first terminator and
// carry exactly one; booleans are 0 or 1). False when the size does not fit
// the type or the type cannot be written.
bool NormaliseASFValue(WMT_ATTR_DATATYPE Type, const uint8_t* Bytes, size_t Size, std::vector<uint8_t>& Value);

bool IsReadOnlyASFName(const std::u16string& Name);
bool IsContentDescriptionName(const std::u16string& Name);
std::u16string WideName(const WMChar* Name);

// The header-information object; writable only when the editor made it.
class ASFHeaderInfo final : public IWMHeaderInfo3 {
public:
    ASFHeaderInfo(std::vector<ASFAttribute> Attributes, bool Writable);

    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    WMStatus GetAttributeCount(uint16_t wStreamNum, uint16_t* pcAttributes) override;
    WMStatus GetAttributeByIndex(uint16_t wIndex, uint16_t* pwStreamNum, WMChar* pwszName, uint16_t* pcchNameLen,
                                 WMT_ATTR_DATATYPE* pType, uint8_t* pValue, uint16_t* pcbLength) override;
    WMStatus GetAttributeByName(uint16_t* pwStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE* pType,
                                uint8_t* pValue, uint16_t* pcbLength) override;
    WMStatus SetAttribute(uint16_t wStreamNum, const WMChar* pszName, WMT_ATTR_DATATYPE Type, const uint8_t* pValue,
                          uint16_t cbLength) override;
    WMStatus GetMarkerCount(uint16_t* pcMarkers) override;
    WMStatus GetMarker(uint16_t wIndex, WMChar* pwszMarkerName, uint16_t* pcchMarkerNameLen,
                       uint64_t* pcnsMarkerTime) override;
    WMStatus AddMarker(const WMChar* pwszMarkerName, uint64_t cnsMarkerTime) override;
    WMStatus RemoveMarker(uint16_t wIndex) override;
    WMStatus GetScriptCount(uint16_t* pcScripts) override;
    WMStatus GetScript(uint16_t wIndex, WMChar* pwszType, uint16_t* pcchTypeLen, WMChar* pwszCommand,
                       uint16_t* pcchCommandLen, uint64_t* pcnsScriptTime) override;
    WMStatus AddScript(const WMChar* pwszType, const WMChar* pwszCommand, uint64_t cnsScriptTime) override;
    WMStatus RemoveScript(uint16_t wIndex) override;

    WMStatus GetCodecInfoCount(uint32_t* pcCodecInfos) override;
    WMStatus GetCodecInfo(uint32_t wIndex, uint16_t* pcchName, WMChar* pwszName, uint16_t* pcchDescription,
                          WMChar* pwszDescription, uint32_t* pCodecType, uint16_t* pcbCodecInfo,
                          uint8_t* pbCodecInfo) override;

    WMStatus GetAttributeCountEx(uint16_t wStreamNum, uint16_t* pcAttributes) override;
    WMStatus GetAttributeIndices(uint16_t wStreamNum, const WMChar* pwszName, uint16_t* pwLangIndex,
                                 uint16_t* pwIndices, uint16_t* pwCount) override;
    WMStatus GetAttributeByIndexEx(uint16_t wStreamNum, uint16_t wIndex, WMChar* pwszName, uint16_t* pwNameLen,
                                   WMT_ATTR_DATATYPE* pType, uint16_t* pwLangIndex, uint8_t* pValue,
                                   uint32_t* pdwDataLength) override;
    WMStatus ModifyAttribute(uint16_t wStreamNum, uint16_t wIndex, WMT_ATTR_DATATYPE Type, uint16_t wLangIndex,
                             const uint8_t* pValue, uint32_t dwLength) override;
    WMStatus AddAttribute(uint16_t wStreamNum, const WMChar* pszName, uint16_t* pwIndex, WMT_ATTR_DATATYPE Type,
                          uint16_t wLangIndex, const uint8_t* pValue, uint32_t dwLength) override;
    WMStatus DeleteAttribute(uint16_t wStreamNum, uint16_t wIndex) override;
    WMStatus AddCodecInfo(const WMChar* pwszName, const WMChar* pwszDescription, uint32_t codecType,
                          uint16_t cbCodecInfo, uint8_t* pbCodecInfo) override;

    // For the editor: the attribute list, whether anything changed, and the
    // end of the session (every later call answers WM_E_INVALID_REQUEST).
    const std::vector<ASFAttribute>& Attributes() const { return List; }
    bool Modified() const { return AnyChange; }
    void Detach() { Detached = true; }

private:
    ~ASFHeaderInfo() = default;
    // The live attribute at wIndex of stream 0, or null.
    const ASFAttribute* Live(uint16_t wStreamNum, uint16_t wIndex) const;
    WMStatus CheckWritable(uint16_t wStreamNum) const;
    WMStatus Modify(ASFAttribute& A, WMT_ATTR_DATATYPE Type, uint16_t wLangIndex, const uint8_t* pValue,
                    uint32_t dwLength);
    WMStatus Add(const std::u16string& Name, uint16_t* pwIndex, WMT_ATTR_DATATYPE Type, uint16_t wLangIndex,
                 const uint8_t* pValue, uint32_t dwLength);
    int FirstLive(const std::u16string& Name) const;
    size_t Slots() const; // the indexable part of List

    std::atomic<uint32_t> Refs{1};
    std::vector<ASFAttribute> List;
    bool Writable;
    bool AnyChange = false;
    bool Detached = false;
};

// A read-only view of the ASF file at Path, with one reference; null when
// the path is not a regular file, cannot be read or is not ASF (a header
// that runs past the end of the file included). Writing operations refuse.
IWMHeaderInfo3* OpenASFHeaderInfo(const char* Path);
// The same over a file's bytes already in memory (Data, DataSz bytes).
IWMHeaderInfo3* OpenASFHeaderInfoFromMemory(const uint8_t* Data, size_t DataSz);

struct stat;
// Opens Path with Flags (plus non-blocking, close-on-exec) when it names a
// regular file and fills St; -1 otherwise.
int OpenRegularFile(const char* Path, int Flags, struct stat* St);
