// VBRI header: recognition within the frame's bytes, fields, and seek points.
#include "engines/cvbri_c_wrapper.h"
#include "engines/cvbriheader.h"

#include "support/mpeg_fixtures.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace zebtest;

namespace {

const uint8_t Mpeg1_44100[4] = {0xFF, 0xFB, 0x90, 0x64};
const uint8_t Mpeg2_24000[4] = {0xFF, 0xF3, 0x84, 0xC4};

struct VbriLayout {
    uint32_t StreamBytes = 3000000;
    uint32_t StreamFrames = 10000;
    uint16_t EntryBytes = 2;
    uint16_t Scale = 1;
    uint16_t EntryFrames = 100;
    std::vector<uint32_t> Entries;
};

std::vector<uint32_t> RisingEntries(size_t Count)
{
    std::vector<uint32_t> E(Count);
    for (size_t i = 0; i < Count; ++i)
        E[i] = 2000 + 7 * static_cast<uint32_t>(i);
    return E;
}

std::vector<uint8_t> VbriFrame(const uint8_t Hdr[4], uint32_t FrameLen, const VbriLayout& L)
{
    std::vector<uint8_t> F = SyntheticFrames(Hdr, FrameLen, 1);
    std::memcpy(&F[36], "VBRI", 4);
    PutBE16(F, 40, 1);    // version
    PutBE16(F, 42, 1105); // delay
    PutBE16(F, 44, 75);   // quality
    PutBE32(F, 46, L.StreamBytes);
    PutBE32(F, 50, L.StreamFrames);
    PutBE16(F, 54, static_cast<uint16_t>(L.Entries.size() - 1));
    PutBE16(F, 56, L.Scale);
    PutBE16(F, 58, L.EntryBytes);
    PutBE16(F, 60, L.EntryFrames);
    size_t At = 62;
    for (uint32_t E : L.Entries) {
        for (int b = L.EntryBytes - 1; b >= 0; --b)
            if (At < F.size())
                F[At++] = b >= 4 ? 0 : static_cast<uint8_t>(E >> (8 * b));
    }
    return F;
}

VbriLayout Standard()
{
    VbriLayout L;
    L.Entries = RisingEntries(100);
    return L;
}

struct Vbri {
    void* Obj = CVbriNew();
    ~Vbri() { CVbriDelete(Obj); }
    int Read(const std::vector<uint8_t>& F)
    {
        return IsCVbriHeader(Obj, F.data(), static_cast<uint32_t>(F.size()));
    }
};

} // namespace

TEST(VbriHeader, SampleRateByVersionAndIndex)
{
    CVbriHeader V;
    const struct {
        uint8_t B1, B2;
        int Rate;
    } Cases[] = {{0xFB, 0x00, 44100}, {0xFB, 0x04, 48000}, {0xFB, 0x08, 32000}, {0xF3, 0x00, 22050},
                 {0xF3, 0x04, 24000}, {0xF3, 0x08, 16000}, {0xE3, 0x00, 11025}, {0xE3, 0x04, 12000},
                 {0xE3, 0x08, 8000},  {0xFB, 0x0C, 0},     {0xEB, 0x00, 0}};
    for (const auto& C : Cases) {
        const uint8_t B[4] = {0xFF, C.B1, C.B2, 0};
        EXPECT_EQ(V.getSampleRate(B), C.Rate) << std::hex << int(C.B1) << " " << int(C.B2);
    }
}

TEST(VbriHeader, FieldsAreReadFromTheFrame)
{
    VbriLayout L = Standard();
    L.Scale = 3;
    Vbri V;
    ASSERT_EQ(V.Read(VbriFrame(Mpeg1_44100, 417, L)), 1);
    EXPECT_EQ(VBriSampleRate(V.Obj), 44100u);
    EXPECT_EQ(VBriFrameCount(V.Obj), 10000u);
    EXPECT_EQ(VBriFileLength(V.Obj), 3000000u);
    const VbriHeaderTable* H = static_cast<CVbriHeader*>(V.Obj)->Header();
    EXPECT_EQ(H->VbriVersion, 1u);
    EXPECT_FLOAT_EQ(H->VbriDelay, 1105.0f);
    EXPECT_EQ(H->VbriTableSize, 99u);
    EXPECT_EQ(H->VbriTable[0], 6000);
    EXPECT_EQ(H->VbriTable[99], 3 * (2000 + 7 * 99));
}

TEST(VbriHeader, SeekPointsFollowTheTable)
{
    Vbri V;
    ASSERT_EQ(V.Read(VbriFrame(Mpeg1_44100, 417, Standard())), 1);
    // Two slices of 2612.24 ms pass 5000 ms; 9 of the second slice's 100
    // frames lie after it.
    EXPECT_EQ(SeekCVbriStream(V.Obj, 5000.0f), 2000 + 2007 - 2007 * 9 / 100);
    EXPECT_EQ(SeekCVbriStream(V.Obj, 0.0f), 0);
    uint32_t Sum = 0;
    for (uint32_t E : RisingEntries(100))
        Sum += E;
    // Beyond the end is the end: the whole table.
    EXPECT_EQ(SeekCVbriStream(V.Obj, 1.0e9f), static_cast<int>(Sum));
    EXPECT_EQ(SeekCVbriStream(V.Obj, 1.0e9f), SeekCVbriStream(V.Obj, 261224.5f));
}

TEST(VbriHeader, LowSampleRatesUse576SamplesPerFrame)
{
    Vbri V;
    ASSERT_EQ(V.Read(VbriFrame(Mpeg2_24000, 417, Standard())), 1);
    EXPECT_EQ(VBriSampleRate(V.Obj), 24000u);
    // 10000 frames of 576 samples = 240 s, 2400 ms a slice: 3600 ms is half
    // way into the second slice.
    EXPECT_EQ(SeekCVbriStream(V.Obj, 3600.0f), 2000 + 2007 - 2007 * 50 / 100);
}

TEST(VbriHeader, AnythingOutsideTheFrameCountsAsAbsent)
{
    VbriLayout L = Standard();
    std::vector<uint8_t> F = VbriFrame(Mpeg1_44100, 417, L);
    Vbri V;
    // The table ends at 262: one byte short is absent, exactly there is fine.
    EXPECT_EQ(IsCVbriHeader(V.Obj, F.data(), 261), 0);
    EXPECT_EQ(VBriFrameCount(V.Obj), 0u);
    EXPECT_EQ(SeekCVbriStream(V.Obj, 5000.0f), 0);
    EXPECT_EQ(IsCVbriHeader(V.Obj, F.data(), 262), 1);
    EXPECT_EQ(IsCVbriHeader(V.Obj, F.data(), 61), 0);

    L.Entries = RisingEntries(200); // 400 bytes of table in a 417-byte frame
    EXPECT_EQ(Vbri().Read(VbriFrame(Mpeg1_44100, 417, L)), 0);
    L = Standard();
    L.EntryBytes = 0;
    EXPECT_EQ(Vbri().Read(VbriFrame(Mpeg1_44100, 417, L)), 0);
    L.EntryBytes = 5;
    EXPECT_EQ(Vbri().Read(VbriFrame(Mpeg1_44100, 1044, L)), 0);

    std::vector<uint8_t> NoTag = F;
    NoTag[36] = 'X';
    EXPECT_EQ(Vbri().Read(NoTag), 0);
    std::vector<uint8_t> Reserved = F;
    Reserved[1] = 0xEB;
    EXPECT_EQ(Vbri().Read(Reserved), 0);
    EXPECT_EQ(IsCVbriHeader(nullptr, F.data(), 417), 0);
}

TEST(VbriHeader, DegenerateTablesSeekToTheStart)
{
    VbriLayout L = Standard();
    L.StreamFrames = 0;
    Vbri NoFrames;
    ASSERT_EQ(NoFrames.Read(VbriFrame(Mpeg1_44100, 417, L)), 1);
    EXPECT_EQ(SeekCVbriStream(NoFrames.Obj, 5000.0f), 0);

    L = Standard();
    L.EntryFrames = 0;
    Vbri NoEntryFrames;
    ASSERT_EQ(NoEntryFrames.Read(VbriFrame(Mpeg1_44100, 417, L)), 1);
    EXPECT_EQ(SeekCVbriStream(NoEntryFrames.Obj, 5000.0f), 0);

    Vbri Empty;
    EXPECT_EQ(SeekCVbriStream(Empty.Obj, 5000.0f), 0);
}

TEST(VbriHeader, HugeEntriesDoNotOverflow)
{
    VbriLayout L = Standard();
    L.EntryBytes = 4;
    L.Scale = 0xFFFF;
    L.Entries.assign(50, 0xFFFFFFFFu);
    Vbri V;
    ASSERT_EQ(V.Read(VbriFrame(Mpeg1_44100, 417, L)), 1);
    int Far = SeekCVbriStream(V.Obj, 200000.0f);
    EXPECT_GE(Far, 0);
    EXPECT_LE(Far, INT32_MAX);
}
