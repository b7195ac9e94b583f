// The runtime module's read-only header view over ASF files: attribute
// values, types, languages and lengths as the Windows Media engine reads
// them, the read-only header facts, and refusal of anything that is not a
// whole ASF header.
#include "asf_attributes.h"
#include "asf_guids.h"
#include "support/host.h"
#include "support/wm_fixtures.h"

#include <asffile.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

using namespace zebtest;

namespace {

struct ViewDeleter {
    void operator()(IWMHeaderInfo3* P) const { P->Release(); }
};
using View = std::unique_ptr<IWMHeaderInfo3, ViewDeleter>;

View Open(const std::string& Path) { return View(OpenASFHeaderInfo(Path.c_str())); }

// The value of the first attribute of that name through the indexed route.
std::vector<uint8_t> ValueOf(IWMHeaderInfo3* Info, const std::string& Name, WMT_ATTR_DATATYPE* Type = nullptr,
                             uint16_t* Lang = nullptr)
{
    std::vector<uint16_t> W = Utf16(Name);
    uint16_t Count = 0;
    if (Info->GetAttributeIndices(0, W.data(), nullptr, nullptr, &Count) < 0 || Count == 0)
        return {};
    std::vector<uint16_t> Indices(Count);
    EXPECT_EQ(Info->GetAttributeIndices(0, W.data(), nullptr, Indices.data(), &Count), 0);
    uint16_t Index = Indices[0];
    uint32_t Len = 0;
    uint16_t NameLen = 0;
    WMT_ATTR_DATATYPE T{};
    uint16_t L = 0;
    EXPECT_EQ(Info->GetAttributeByIndexEx(0, Index, nullptr, &NameLen, &T, &L, nullptr, &Len), 0);
    EXPECT_EQ(NameLen, Name.size() + 1);
    std::vector<uint8_t> V(Len);
    EXPECT_EQ(Info->GetAttributeByIndexEx(0, Index, nullptr, nullptr, nullptr, nullptr, V.data(), &Len), 0);
    if (Type)
        *Type = T;
    if (Lang)
        *Lang = L;
    return V;
}

uint64_t LE(const std::vector<uint8_t>& V)
{
    uint64_t X = 0;
    for (size_t i = 0; i < V.size(); ++i)
        X |= static_cast<uint64_t>(V[i]) << (8 * i);
    return X;
}

// A file with attributes of every type TagLib can write, and one name in
// two languages (language 3 added before language 0).
std::string TypedFixture()
{
    std::string Base = WmaFixture();
    if (Base.empty())
        return "";
    std::string Path = WorkCopy(Base, "asf-typed");
    TagLib::ASF::File F(Path.c_str());
    TagLib::ASF::Tag* Tag = F.tag();
    Tag->setAttribute("WM/Dword", TagLib::ASF::Attribute(123456789u));
    Tag->setAttribute("WM/Qword", TagLib::ASF::Attribute(0x0102030405060708ull));
    Tag->setAttribute("WM/Word", TagLib::ASF::Attribute(static_cast<unsigned short>(0xBEEF)));
    Tag->setAttribute("WM/Bool", TagLib::ASF::Attribute(true));
    Tag->setAttribute("WM/Blob", TagLib::ASF::Attribute(TagLib::ByteVector("\x01\x00\x02", 3)));
    TagLib::ASF::Attribute Other(TagLib::String("second"));
    Other.setLanguage(3);
    Tag->addAttribute("WM/Mood", Other);
    Tag->addAttribute("WM/Mood", TagLib::ASF::Attribute(TagLib::String("first")));
    EXPECT_TRUE(F.save());
    return Path;
}

// A minimal header in memory: Header Object, File Properties and, when
// Rates is not empty, Stream Bitrate Properties.
std::vector<uint8_t> SyntheticHeader(uint64_t Play, uint64_t PrerollMs, uint32_t MaxRate,
                                     const std::vector<uint32_t>& Rates)
{
    auto Put = [](std::vector<uint8_t>& V, uint64_t X, int Bytes) {
        for (int i = 0; i < Bytes; ++i)
            V.push_back(static_cast<uint8_t>(X >> (8 * i)));
    };
    std::vector<uint8_t> Fp(AsfFilePropertiesGuid, AsfFilePropertiesGuid + 16);
    Put(Fp, 104, 8);
    Fp.resize(64, 0);
    Put(Fp, Play, 8);
    Put(Fp, Play, 8);
    Put(Fp, PrerollMs, 8);
    Put(Fp, 2, 4); // seekable
    Put(Fp, 0, 8);
    Put(Fp, MaxRate, 4);
    const uint8_t SpGuid[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    std::vector<uint8_t> Sp(SpGuid, SpGuid + 16);
    Put(Sp, 24 + 78, 8);
    Sp.resize(24 + 78, 0);
    Fp.insert(Fp.end(), Sp.begin(), Sp.end()); // TagLib wants Stream Properties too
    std::vector<uint8_t> Sbp;
    if (!Rates.empty()) {
        Sbp.assign(AsfStreamBitratePropertiesGuid, AsfStreamBitratePropertiesGuid + 16);
        Put(Sbp, 24 + 2 + 6 * Rates.size(), 8);
        Put(Sbp, Rates.size(), 2);
        for (size_t i = 0; i < Rates.size(); ++i) {
            Put(Sbp, i + 1, 2);
            Put(Sbp, Rates[i], 4);
        }
    }
    std::vector<uint8_t> H(AsfHeaderObjectGuid, AsfHeaderObjectGuid + 16);
    Put(H, 30 + Fp.size() + Sbp.size(), 8);
    Put(H, Rates.empty() ? 2 : 3, 4);
    Put(H, 0x0201, 2);
    H.insert(H.end(), Fp.begin(), Fp.end());
    H.insert(H.end(), Sbp.begin(), Sbp.end());
    return H;
}

uint16_t HeaderSizeOf(const std::vector<uint8_t>& File) { return static_cast<uint16_t>(LE({File.begin() + 16, File.begin() + 24})); }

} // namespace

TEST(ASFAttributes, FfmpegFileReadsItsTagsAndHeaderFacts)
{
    std::string Path = WmaFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    View Info = Open(Path);
    ASSERT_TRUE(Info);
    WMT_ATTR_DATATYPE Type{};
    EXPECT_EQ(ValueOf(Info.get(), "Title", &Type), StringBytes("T"));
    EXPECT_EQ(Type, WMT_TYPE_STRING);
    // ffmpeg stores the artist both in the Content Description and as an
    // attribute named "Author": both are listed.
    EXPECT_EQ(ValueOf(Info.get(), "Author"), StringBytes("A"));
    EXPECT_EQ(ValueOf(Info.get(), "Description"), StringBytes("C"));
    EXPECT_EQ(ValueOf(Info.get(), "WM/AlbumTitle"), StringBytes("Al"));

    std::vector<uint8_t> Duration = ValueOf(Info.get(), "Duration", &Type);
    ASSERT_EQ(Duration.size(), 8u);
    EXPECT_EQ(Type, WMT_TYPE_QWORD);
    double Seconds = LE(Duration) / 1e7;
    EXPECT_GT(Seconds, 2.9);
    EXPECT_LT(Seconds, 3.2);
    std::vector<uint8_t> Bitrate = ValueOf(Info.get(), "Bitrate", &Type);
    ASSERT_EQ(Bitrate.size(), 4u);
    EXPECT_EQ(Type, WMT_TYPE_DWORD);
    EXPECT_GE(LE(Bitrate), 128000u);
    uint16_t Len = 0;
    // ffmpeg stores no IsVBR: the engine then uses "Bitrate".
    EXPECT_EQ(Info->GetAttributeByName(nullptr, Utf16("IsVBR").data(), nullptr, nullptr, &Len), WM_E_NO_SUCH_ATTRIBUTE);
}

TEST(ASFAttributes, ByNameGivesLengthFirstAndRefusesShortBuffers)
{
    std::string Path = WmaFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    View Info = Open(Path);
    ASSERT_TRUE(Info);
    std::vector<uint16_t> Name = Utf16("WM/AlbumTitle");
    uint16_t Stream = 0, Len = 0;
    WMT_ATTR_DATATYPE Type{};
    ASSERT_EQ(Info->GetAttributeByName(&Stream, Name.data(), &Type, nullptr, &Len), 0);
    EXPECT_EQ(Len, 6u);
    EXPECT_EQ(Type, WMT_TYPE_STRING);
    std::vector<uint8_t> Small(Len - 1);
    uint16_t SmallLen = Len - 1;
    EXPECT_EQ(Info->GetAttributeByName(&Stream, Name.data(), &Type, Small.data(), &SmallLen), WM_E_BUFFERTOOSMALL);
    std::vector<uint8_t> Value(Len);
    ASSERT_EQ(Info->GetAttributeByName(&Stream, Name.data(), &Type, Value.data(), &Len), 0);
    EXPECT_EQ(Value, StringBytes("Al"));
    uint16_t Other = 1;
    EXPECT_EQ(Info->GetAttributeByName(&Other, Name.data(), &Type, nullptr, &Len), WM_E_NO_SUCH_ATTRIBUTE);
    EXPECT_EQ(Info->GetAttributeByName(&Stream, Utf16("WM/Nothing").data(), &Type, nullptr, &Len),
              WM_E_NO_SUCH_ATTRIBUTE);
}

TEST(ASFAttributes, EveryTypeKeepsItsStoredBytesAndLanguages)
{
    std::string Path = TypedFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    View Info = Open(Path);
    ASSERT_TRUE(Info);
    WMT_ATTR_DATATYPE Type{};
    EXPECT_EQ(ValueOf(Info.get(), "WM/Dword", &Type), DwordBytes(123456789u));
    EXPECT_EQ(Type, WMT_TYPE_DWORD);
    EXPECT_EQ(ValueOf(Info.get(), "WM/Qword", &Type), (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(Type, WMT_TYPE_QWORD);
    EXPECT_EQ(ValueOf(Info.get(), "WM/Word", &Type), (std::vector<uint8_t>{0xEF, 0xBE}));
    EXPECT_EQ(Type, WMT_TYPE_WORD);
    EXPECT_EQ(ValueOf(Info.get(), "WM/Bool", &Type), DwordBytes(1));
    EXPECT_EQ(Type, WMT_TYPE_BOOL);
    EXPECT_EQ(ValueOf(Info.get(), "WM/Blob", &Type), (std::vector<uint8_t>{1, 0, 2}));
    EXPECT_EQ(Type, WMT_TYPE_BINARY);

    // Both languages are listed; the language filter picks one.
    std::vector<uint16_t> Mood = Utf16("WM/Mood");
    uint16_t Count = 0;
    ASSERT_EQ(Info->GetAttributeIndices(0, Mood.data(), nullptr, nullptr, &Count), 0);
    ASSERT_EQ(Count, 2u);
    uint16_t Indices[2];
    ASSERT_EQ(Info->GetAttributeIndices(0, Mood.data(), nullptr, Indices, &Count), 0);
    uint16_t Lang3 = 3, One = 1, Index3 = 0;
    ASSERT_EQ(Info->GetAttributeIndices(0, Mood.data(), &Lang3, &Index3, &One), 0);
    ASSERT_EQ(One, 1u);
    uint16_t Lang = 99;
    uint32_t Len = 0;
    ASSERT_EQ(Info->GetAttributeByIndexEx(0, Index3, nullptr, nullptr, &Type, &Lang, nullptr, &Len), 0);
    EXPECT_EQ(Lang, 3u);
    EXPECT_TRUE(Index3 == Indices[0] || Index3 == Indices[1]);
    // By name gives the first listed one.
    uint16_t ByNameLen = 0;
    ASSERT_EQ(Info->GetAttributeByName(nullptr, Mood.data(), &Type, nullptr, &ByNameLen), 0);
    std::vector<uint8_t> ByName(ByNameLen);
    ASSERT_EQ(Info->GetAttributeByName(nullptr, Mood.data(), &Type, ByName.data(), &ByNameLen), 0);
    EXPECT_EQ(ByName, ValueOf(Info.get(), "WM/Mood"));
    std::remove(Path.c_str());
}

TEST(ASFAttributes, IndicesListEveryAttributeAndNamesRoundTrip)
{
    std::string Path = WmaFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    View Info = Open(Path);
    ASSERT_TRUE(Info);
    uint16_t Slots = 0, Count = 0;
    ASSERT_EQ(Info->GetAttributeCountEx(0, &Slots), 0);
    ASSERT_EQ(Info->GetAttributeIndices(0, nullptr, nullptr, nullptr, &Count), 0);
    EXPECT_EQ(Count, Slots);
    EXPECT_GE(Count, 6u); // Duration, Bitrate, Title, Author, Description, album, encoder
    std::vector<uint16_t> Names;
    for (uint16_t i = 0; i < Slots; ++i) {
        uint16_t NameLen = 0;
        uint32_t Len = 0;
        ASSERT_EQ(Info->GetAttributeByIndexEx(0, i, nullptr, &NameLen, nullptr, nullptr, nullptr, &Len), 0);
        std::vector<WMChar> Name(NameLen);
        ASSERT_EQ(Info->GetAttributeByIndexEx(0, i, Name.data(), &NameLen, nullptr, nullptr, nullptr, &Len), 0);
        EXPECT_EQ(Name.back(), 0);
        uint16_t Found[4], Same = 4;
        ASSERT_EQ(Info->GetAttributeIndices(0, Name.data(), nullptr, Found, &Same), 0);
        EXPECT_NE(std::find(Found, Found + Same, i), Found + Same);
    }
    uint32_t Len = 0;
    EXPECT_EQ(Info->GetAttributeByIndexEx(0, Slots, nullptr, nullptr, nullptr, nullptr, nullptr, &Len),
              WM_E_NO_SUCH_ATTRIBUTE);
    uint16_t Other = 0;
    ASSERT_EQ(Info->GetAttributeCount(2, &Other), 0);
    EXPECT_EQ(Other, 0u);
}

TEST(ASFAttributes, ViewRefusesEveryChangeAndAnswersItsInterfaces)
{
    std::string Path = WmaFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    View Info = Open(Path);
    ASSERT_TRUE(Info);
    std::vector<uint8_t> V = StringBytes("X");
    uint16_t Index = 0;
    EXPECT_LT(Info->AddAttribute(0, Utf16("WM/New").data(), &Index, WMT_TYPE_STRING, 0, V.data(), V.size()), 0);
    EXPECT_LT(Info->ModifyAttribute(0, 2, WMT_TYPE_STRING, 0, V.data(), V.size()), 0);
    EXPECT_LT(Info->DeleteAttribute(0, 2), 0);
    EXPECT_LT(Info->SetAttribute(0, Utf16("Title").data(), WMT_TYPE_STRING, V.data(), V.size()), 0);
    EXPECT_EQ(ValueOf(Info.get(), "Title"), StringBytes("T"));
    uint16_t Markers = 0;
    EXPECT_EQ(Info->GetMarkerCount(&Markers), WM_E_NOTIMPL);
    void* Object = nullptr;
    ASSERT_EQ(Info->QueryInterface(IID_IWMHeaderInfo, &Object), 0);
    EXPECT_EQ(static_cast<IWMHeaderInfo*>(Object)->Release(), 1u);
    EXPECT_EQ(Info->QueryInterface(IID_IWMReader, &Object), WM_E_NOINTERFACE);
    EXPECT_EQ(Object, nullptr);
}

TEST(ASFAttributes, BitrateFallsBackToStreamRatesAndDurationLosesPreroll)
{
    std::vector<uint8_t> H = SyntheticHeader(50000000, 3000, 0xFFFFFFFFu, {64000, 32000});
    View Info(OpenASFHeaderInfoFromMemory(H.data(), H.size()));
    ASSERT_TRUE(Info);
    EXPECT_EQ(LE(ValueOf(Info.get(), "Duration")), 20000000u);
    EXPECT_EQ(LE(ValueOf(Info.get(), "Bitrate")), 96000u);

    H = SyntheticHeader(10000000, 3000, 192000, {64000});
    Info.reset(OpenASFHeaderInfoFromMemory(H.data(), H.size()));
    ASSERT_TRUE(Info);
    EXPECT_EQ(LE(ValueOf(Info.get(), "Duration")), 0u); // preroll longer than the play
    EXPECT_EQ(LE(ValueOf(Info.get(), "Bitrate")), 192000u);

    H = SyntheticHeader(10000000, 0, 0, {});
    Info.reset(OpenASFHeaderInfoFromMemory(H.data(), H.size()));
    ASSERT_TRUE(Info);
    uint16_t Len = 0;
    EXPECT_EQ(Info->GetAttributeByName(nullptr, Utf16("Bitrate").data(), nullptr, nullptr, &Len),
              WM_E_NO_SUCH_ATTRIBUTE);
}

TEST(ASFAttributes, RefusesWhatIsNotAWholeHeader)
{
    std::string Base = WmaFixture();
    if (Base.empty())
        GTEST_SKIP() << "ffmpeg missing";
    std::vector<uint8_t> File = ReadFile(Base);
    uint16_t HeaderSz = HeaderSizeOf(File);
    std::string Cut = FixturePath("asf-cut." + std::to_string(getpid()) + ".wma");
    for (size_t Keep : {size_t(0), size_t(16), size_t(29), size_t(30), size_t(HeaderSz - 1)}) {
        WriteFile(Cut, std::vector<uint8_t>(File.begin(), File.begin() + Keep));
        EXPECT_FALSE(Open(Cut)) << Keep << " bytes";
    }
    WriteFile(Cut, std::vector<uint8_t>(File.begin(), File.begin() + HeaderSz));
    EXPECT_TRUE(Open(Cut)) << "the header alone is readable";
    std::remove(Cut.c_str());

    std::string Wav = FixturePath("asf-not." + std::to_string(getpid()) + ".wav");
    WriteWav(Wav, 44100, 2, 16, TestPcm(4410, 2, 44100));
    EXPECT_FALSE(Open(Wav));
    std::remove(Wav.c_str());
    EXPECT_FALSE(Open(FixtureDir()));
    EXPECT_FALSE(Open("/nonexistent/x.wma"));
    EXPECT_EQ(OpenASFHeaderInfo(nullptr), nullptr);

    // A FIFO with no writer is refused at once instead of blocking.
    std::string Fifo = FixturePath("asf-fifo." + std::to_string(getpid()));
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    EXPECT_FALSE(Open(Fifo));
    std::remove(Fifo.c_str());
}

TEST(ASFAttributes, DamagedHeadersNeverReadOutsideTheirBytes)
{
    std::string Path = TypedFixture();
    if (Path.empty())
        GTEST_SKIP() << "ffmpeg missing";
    std::vector<uint8_t> File = ReadFile(Path);
    std::remove(Path.c_str());
    uint16_t HeaderSz = HeaderSizeOf(File);
    // Every header byte inverted in turn, and every length of the header.
    for (size_t i = 0; i < HeaderSz; ++i) {
        std::vector<uint8_t> Bad(File.begin(), File.begin() + HeaderSz);
        Bad[i] ^= 0xFF;
        if (IWMHeaderInfo3* Info = OpenASFHeaderInfoFromMemory(Bad.data(), Bad.size())) {
            uint16_t Count = 0;
            EXPECT_EQ(Info->GetAttributeIndices(0, nullptr, nullptr, nullptr, &Count), 0);
            Info->Release();
        }
    }
    for (size_t Keep = 0; Keep <= HeaderSz; ++Keep) {
        IWMHeaderInfo3* Info = OpenASFHeaderInfoFromMemory(File.data(), Keep);
        EXPECT_EQ(Info != nullptr, Keep == HeaderSz) << Keep;
        if (Info)
            Info->Release();
    }
}
