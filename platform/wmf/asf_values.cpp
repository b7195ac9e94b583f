// Attribute values: TagLib's ASF attributes to the bytes the runtime hands
// out and back, and the attribute list of a header read through TagLib.
#include "asf_taglib.h"
#include "asf_guids.h"

#include <asffile.h>
#include <tbytevectorstream.h>

#include <cstring>

namespace {

constexpr char16_t DurationName[] = u"Duration";
constexpr char16_t BitrateName[] = u"Bitrate";
constexpr char16_t IsVBRName[] = u"IsVBR";
// Largest value accepted for writing.
constexpr size_t MaxValueSz = 64u << 20;

template <typename T> std::vector<uint8_t> LEBytes(T X)
{
    std::vector<uint8_t> V(sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i)
        V[i] = static_cast<uint8_t>(static_cast<uint64_t>(X) >> (8 * i));
    return V;
}

uint64_t FromLE(const std::vector<uint8_t>& V)
{
    uint64_t X = 0;
    for (size_t i = 0; i < V.size() && i < 8; ++i)
        X |= static_cast<uint64_t>(V[i]) << (8 * i);
    return X;
}

std::vector<uint8_t> StringBytes(const TagLib::String& S)
{
    TagLib::ByteVector B = S.data(TagLib::String::UTF16LE);
    std::vector<uint8_t> V(B.begin(), B.end());
    V.push_back(0);
    V.push_back(0);
    return V;
}

// Type and bytes of a TagLib attribute; false for a type the runtime does
// not know.
bool FromTagAttribute(const TagLib::ASF::Attribute& T, ASFAttribute& A)
{
    switch (T.type()) {
    case TagLib::ASF::Attribute::UnicodeType:
        A.Type = WMT_TYPE_STRING;
        A.Value = StringBytes(T.toString());
        return true;
    case TagLib::ASF::Attribute::BytesType: {
        A.Type = WMT_TYPE_BINARY;
        TagLib::ByteVector B = T.toByteVector();
        A.Value.assign(B.begin(), B.end());
        return true;
    }
    case TagLib::ASF::Attribute::BoolType:
        A.Type = WMT_TYPE_BOOL;
        A.Value = LEBytes<uint32_t>(T.toBool() ? 1 : 0);
        return true;
    case TagLib::ASF::Attribute::DWordType:
        A.Type = WMT_TYPE_DWORD;
        A.Value = LEBytes<uint32_t>(T.toUInt());
        return true;
    case TagLib::ASF::Attribute::QWordType:
        A.Type = WMT_TYPE_QWORD;
        A.Value = LEBytes<uint64_t>(T.toULongLong());
        return true;
    case TagLib::ASF::Attribute::WordType:
        A.Type = WMT_TYPE_WORD;
        A.Value = LEBytes<uint16_t>(T.toUShort());
        return true;
    case TagLib::ASF::Attribute::GuidType: {
        TagLib::ByteVector B = T.toByteVector();
        A.Type = B.size() == 16 ? WMT_TYPE_GUID : WMT_TYPE_BINARY;
        A.Value.assign(B.begin(), B.end());
        return true;
    }
    }
    return false;
}

void AddDerived(const ASFHeaderFacts& Facts, std::vector<ASFAttribute>& List)
{
    if (!Facts.HasFileProperties)
        return;
    ASFAttribute Duration;
    Duration.Name = DurationName;
    Duration.Type = WMT_TYPE_QWORD;
    Duration.Value = LEBytes<uint64_t>(ASFReportedDuration(Facts));
    Duration.Origin = ASFOrigin::Derived;
    Duration.ReadOnly = true;
    List.push_back(Duration);
    uint32_t Bitrate = ASFReportedBitrate(Facts);
    if (Bitrate == 0)
        return;
    ASFAttribute Rate = Duration;
    Rate.Name = BitrateName;
    Rate.Type = WMT_TYPE_DWORD;
    Rate.Value = LEBytes<uint32_t>(Bitrate);
    List.push_back(Rate);
}

void AddContentDescription(const TagLib::ASF::Tag& Tag, std::vector<ASFAttribute>& List)
{
    for (const ContentField& F : ContentFields) {
        TagLib::String Text = (Tag.*F.Get)();
        if (Text.isEmpty())
            continue;
        ASFAttribute A;
        A.Name = F.Name;
        A.Type = WMT_TYPE_STRING;
        A.Value = StringBytes(Text);
        A.Origin = ASFOrigin::ContentDescription;
        List.push_back(A);
    }
}

// Every stream-0 attribute in TagLib's order; stored "Duration" and
// "Bitrate" are hidden behind the header's own values.
void AddStored(const TagLib::ASF::Tag& Tag, std::vector<ASFAttribute>& List)
{
    for (const auto& [Key, Values] : Tag.attributeListMap()) {
        std::u16string Name = ToWide(Key);
        if (Name.empty() || Name == DurationName || Name == BitrateName)
            continue;
        int Pos = 0;
        for (const TagLib::ASF::Attribute& T : Values) {
            if (T.stream() != 0)
                continue;
            ASFAttribute A;
            A.Name = Name;
            A.Language = static_cast<uint16_t>(T.language());
            A.SourcePos = Pos++;
            A.ReadOnly = IsReadOnlyASFName(Name);
            if (FromTagAttribute(T, A))
                List.push_back(std::move(A));
        }
    }
}

void PutLE(std::vector<uint8_t>& Out, uint64_t X, int Bytes)
{
    for (int i = 0; i < Bytes; ++i)
        Out.push_back(static_cast<uint8_t>(X >> (8 * i)));
}

// An ASF object: its GUID (16 bytes), its 64-bit size, then Body.
std::vector<uint8_t> ASFObject(const uint8_t (&Guid)[16], const std::vector<uint8_t>& Body)
{
    std::vector<uint8_t> Out(Guid, Guid + 16);
    PutLE(Out, 24 + Body.size(), 8);
    Out.insert(Out.end(), Body.begin(), Body.end());
    return Out;
}

constexpr uint8_t StreamPropertiesGuid[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                              0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr uint8_t HeaderExtensionGuid[16] = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                             0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr uint8_t ExtensionReservedGuid[16] = {0x11, 0xD2, 0xD3, 0xAB, 0xBA, 0xA9, 0xCF, 0x11,
                                               0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr uint8_t MetadataLibraryGuid[16] = {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49,
                                             0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54};
constexpr uint16_t GuidTypeCode = 6;

// TagLib builds GUID attributes only when it parses them: the attribute is
// taken from a minimal header whose Metadata Library holds that one value.
bool GuidAttribute(const std::vector<uint8_t>& Value, TagLib::ASF::Attribute& Out)
{
    if (Value.size() != 16)
        return false;
    std::vector<uint8_t> Record;
    PutLE(Record, 1, 2); // one record: language 0, stream 0, name "g"
    PutLE(Record, 0, 4);
    PutLE(Record, 4, 2);
    PutLE(Record, GuidTypeCode, 2);
    PutLE(Record, 16, 4);
    PutLE(Record, 'g', 2);
    PutLE(Record, 0, 2);
    Record.insert(Record.end(), Value.begin(), Value.end());
    std::vector<uint8_t> Library = ASFObject(MetadataLibraryGuid, Record);
    std::vector<uint8_t> Extension(ExtensionReservedGuid, ExtensionReservedGuid + 16);
    PutLE(Extension, 6, 2);
    PutLE(Extension, Library.size(), 4);
    Extension.insert(Extension.end(), Library.begin(), Library.end());
    std::vector<uint8_t> Body;
    PutLE(Body, 3, 4);
    Body.push_back(1);
    Body.push_back(2);
    for (const std::vector<uint8_t>& Child :
         {ASFObject(AsfFilePropertiesGuid, std::vector<uint8_t>(80)),
          ASFObject(StreamPropertiesGuid, std::vector<uint8_t>(72)), ASFObject(HeaderExtensionGuid, Extension)})
        Body.insert(Body.end(), Child.begin(), Child.end());
    std::vector<uint8_t> Header = ASFObject(AsfHeaderObjectGuid, Body);
    TagLib::ByteVectorStream Stream(
        TagLib::ByteVector(reinterpret_cast<const char*>(Header.data()), static_cast<unsigned>(Header.size())));
    TagLib::ASF::File File(&Stream, false);
    if (!File.isValid() || !File.tag() || !File.tag()->contains("g"))
        return false;
    Out = File.tag()->attribute("g").front();
    return Out.type() == TagLib::ASF::Attribute::GuidType;
}

} // namespace

const ContentField ContentFields[5] = {
    {u"Title", &TagLib::ASF::Tag::title, &TagLib::ASF::Tag::setTitle},
    {u"Author", &TagLib::ASF::Tag::artist, &TagLib::ASF::Tag::setArtist},
    {u"Copyright", &TagLib::ASF::Tag::copyright, &TagLib::ASF::Tag::setCopyright},
    {u"Description", &TagLib::ASF::Tag::comment, &TagLib::ASF::Tag::setComment},
    {u"Rating", &TagLib::ASF::Tag::rating, &TagLib::ASF::Tag::setRating},
};

std::u16string ToWide(const TagLib::String& S)
{
    TagLib::ByteVector B = S.data(TagLib::String::UTF16LE);
    std::u16string W;
    W.reserve(B.size() / 2);
    for (unsigned i = 0; i + 1 < B.size(); i += 2)
        W.push_back(static_cast<char16_t>(static_cast<uint8_t>(B[i]) | static_cast<uint8_t>(B[i + 1]) << 8));
    return W;
}

TagLib::String ToTagString(const std::u16string& S)
{
    TagLib::ByteVector B;
    for (char16_t C : S) {
        B.append(static_cast<char>(C & 0xFF));
        B.append(static_cast<char>(C >> 8));
    }
    return TagLib::String(B, TagLib::String::UTF16LE);
}

TagLib::String StringValueText(const std::vector<uint8_t>& Value)
{
    std::u16string W;
    for (size_t i = 0; i + 1 < Value.size(); i += 2) {
        char16_t C = static_cast<char16_t>(Value[i] | Value[i + 1] << 8);
        if (C == 0)
            break;
        W.push_back(C);
    }
    return ToTagString(W);
}

bool ToTagAttribute(const ASFAttribute& A, TagLib::ASF::Attribute& Out)
{
    switch (A.Type) {
    case WMT_TYPE_STRING:
        Out = TagLib::ASF::Attribute(StringValueText(A.Value));
        break;
    case WMT_TYPE_BINARY:
        Out = TagLib::ASF::Attribute(
            TagLib::ByteVector(reinterpret_cast<const char*>(A.Value.data()), static_cast<unsigned>(A.Value.size())));
        break;
    case WMT_TYPE_BOOL:
        Out = TagLib::ASF::Attribute(FromLE(A.Value) != 0);
        break;
    case WMT_TYPE_DWORD:
        Out = TagLib::ASF::Attribute(static_cast<unsigned int>(FromLE(A.Value)));
        break;
    case WMT_TYPE_QWORD:
        Out = TagLib::ASF::Attribute(static_cast<unsigned long long>(FromLE(A.Value)));
        break;
    case WMT_TYPE_WORD:
        Out = TagLib::ASF::Attribute(static_cast<unsigned short>(FromLE(A.Value)));
        break;
    case WMT_TYPE_GUID:
        if (!GuidAttribute(A.Value, Out))
            return false;
        break;
    default:
        return false;
    }
    Out.setLanguage(A.Language);
    Out.setStream(0);
    return true;
}

bool NormaliseASFValue(WMT_ATTR_DATATYPE Type, const uint8_t* Bytes, size_t Size, std::vector<uint8_t>& Value)
{
    if (Size > MaxValueSz || (Size > 0 && !Bytes))
        return false;
    std::vector<uint8_t> In(Bytes, Bytes + Size);
    switch (Type) {
    case WMT_TYPE_STRING:
        if (Size % 2 != 0)
            return false;
        Value = StringBytes(StringValueText(In));
        return true;
    case WMT_TYPE_BINARY:
        Value = In;
        return true;
    case WMT_TYPE_BOOL:
        if (Size != 4)
            return false;
        Value = LEBytes<uint32_t>(FromLE(In) != 0 ? 1 : 0);
        return true;
    case WMT_TYPE_DWORD:
    case WMT_TYPE_QWORD:
    case WMT_TYPE_WORD: {
        size_t Want = Type == WMT_TYPE_DWORD ? 4 : Type == WMT_TYPE_QWORD ? 8 : 2;
        if (Size != Want)
            return false;
        Value = In;
        return true;
    }
    case WMT_TYPE_GUID:
        if (Size != 16)
            return false;
        Value = In;
        return true;
    default:
        return false;
    }
}

bool IsReadOnlyASFName(const std::u16string& Name)
{
    return Name == DurationName || Name == BitrateName || Name == IsVBRName;
}

bool IsContentDescriptionName(const std::u16string& Name)
{
    for (const ContentField& F : ContentFields)
        if (Name == F.Name)
            return true;
    return false;
}

std::u16string WideName(const WMChar* Name)
{
    std::u16string W;
    for (size_t i = 0; Name && Name[i] != 0; ++i)
        W.push_back(static_cast<char16_t>(Name[i]));
    return W;
}

bool ReadASFAttributes(const std::vector<uint8_t>& Header, std::vector<ASFAttribute>& Attributes)
{
    TagLib::ByteVector Bytes(reinterpret_cast<const char*>(Header.data()), static_cast<unsigned>(Header.size()));
    TagLib::ByteVectorStream Stream(Bytes);
    TagLib::ASF::File File(&Stream, false);
    if (!File.isValid() || !File.tag())
        return false;
    Attributes.clear();
    AddDerived(ParseASFHeaderFacts(Header.data(), Header.size()), Attributes);
    AddContentDescription(*File.tag(), Attributes);
    AddStored(*File.tag(), Attributes);
    return true;
}
