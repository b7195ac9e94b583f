// Ogg Vorbis engine: PCM against oggdec's own decode, the record, seeking,
// damaged and chained streams, refused files, the 64-bit seek callback, a
// missing library and the corpus.
#include "vorbis_engine.h"

#include "support/host.h"
#include "zeb_platform.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using zebtest::FixturePath;
using zebtest::HaveTool;
using zebtest::ReadFile;
using zebtest::Run;
using zebtest::WriteFile;

constexpr size_t MaxSections = 1000000;
constexpr size_t StereoFrameBytes = 4;

struct Unprepare {
    void operator()(MPEGFileInfoType* Info) const { UnPrepareVorbisFile(Info); }
};
using Prepared = std::unique_ptr<MPEGFileInfoType, Unprepare>;

Prepared Prepare(const std::string& Path) { return Prepared(PrepareVorbisFile(Path.c_str())); }

// An Ogg Vorbis file of a sox signal, cached in the fixture folder. sox
// writes it without dither, so every test process that makes it writes the
// same audio.
std::string MakeOgg(const std::string& Name, uint32_t Rate, int Channels, const std::string& Synth,
                    const std::string& OggencArgs = "")
{
    std::string Ogg = FixturePath(Name + ".ogg");
    std::string Format = "-r " + std::to_string(Rate) + " -c " + std::to_string(Channels);
    EXPECT_TRUE(zebtest::MakeFixtureOnce(Ogg, [&](const std::string& Own) {
        return "{ sox -D " + Format + " -n " + Format + " -b 16 " + Own + ".wav synth " + Synth + " && oggenc -Q " +
               OggencArgs + " -o " + Own + " " + Own + ".wav; } 2>/dev/null; S=$?; rm -f " + Own + ".wav; exit $S";
    })) << Name;
    return Ogg;
}

// Two tones at 44.1 kHz, so that a swapped or dropped channel shows.
std::string StereoOgg(const std::string& Name, const std::string& Length, const std::string& OggencArgs = "")
{
    return MakeOgg(Name, 44100, 2, Length + " sine 440 sine 660 vol 0.8", OggencArgs);
}

// oggdec's decode: raw little-endian signed 16-bit, every link in turn.
std::vector<uint8_t> ReferencePcm(const std::string& Ogg)
{
    std::string Raw = Ogg + "." + std::to_string(getpid()) + ".raw";
    EXPECT_TRUE(Run("oggdec -Q -R -e 0 -b 16 -s 1 -o " + Raw + " " + Ogg + " 2>/dev/null"));
    return ReadFile(Raw);
}

// Every section until the engine returns 0, each into a buffer of exactly
// BufSz bytes (ASan sees any byte past it); sizes in Sections when given.
std::vector<uint8_t> DecodeAll(MPEGFileInfoType* Info, uint32_t BufSz = OutBufSz,
                               std::vector<uint32_t>* Sections = nullptr)
{
    std::vector<uint8_t> All;
    std::vector<uint8_t> Out(BufSz);
    for (size_t i = 0; i < MaxSections; ++i) {
        uint32_t Got = DecodeVorbisSection(Info, Out.data(), BufSz);
        if (Got == 0)
            break;
        EXPECT_LE(Got, BufSz);
        if (Sections)
            Sections->push_back(Got);
        All.insert(All.end(), Out.begin(), Out.begin() + std::min(Got, BufSz));
    }
    return All;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& Bytes, size_t From, size_t Count = SIZE_MAX)
{
    From = std::min(From, Bytes.size());
    Count = std::min(Count, Bytes.size() - From);
    return std::vector<uint8_t>(Bytes.begin() + From, Bytes.begin() + From + Count);
}

std::vector<uint8_t> Concat(const std::vector<uint8_t>& A, const std::vector<uint8_t>& B)
{
    std::vector<uint8_t> Out = A;
    Out.insert(Out.end(), B.begin(), B.end());
    return Out;
}

// Start offsets of the Ogg pages, walked by their own lengths: 27 header
// bytes, the segment table, then the segments.
std::vector<size_t> PageStarts(const std::vector<uint8_t>& B)
{
    constexpr size_t HeaderSz = 27, SegmentsByte = 26;
    std::vector<size_t> Starts;
    size_t At = 0;
    while (At + HeaderSz <= B.size() && memcmp(&B[At], "OggS", 4) == 0) {
        size_t Segments = B[At + SegmentsByte];
        if (At + HeaderSz + Segments > B.size())
            break;
        size_t Body = 0;
        for (size_t i = 0; i < Segments; ++i)
            Body += B[At + HeaderSz + i];
        Starts.push_back(At);
        At += HeaderSz + Segments + Body;
    }
    EXPECT_EQ(At, B.size()) << "pages do not cover the file";
    return Starts;
}

// Descriptors this process holds open. Open C streams stay reachable from
// the C library's own list, so a leak checker never reports one.
size_t OpenDescriptors()
{
    size_t Count = 0;
    if (DIR* D = opendir("/proc/self/fd")) {
        while (readdir(D))
            ++Count;
        closedir(D);
    }
    return Count;
}

// The page's granule position: samples per channel decoded by its end.
uint64_t Granule(const std::vector<uint8_t>& B, size_t Page)
{
    constexpr size_t GranuleByte = 6;
    uint64_t Value = 0;
    for (size_t i = 8; i-- > 0;)
        Value = Value << 8 | B[Page + GranuleByte + i];
    return Value;
}

class VorbisEngine : public testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTool("oggenc") || !HaveTool("oggdec") || !HaveTool("sox"))
            GTEST_SKIP() << "vorbis-tools or sox not available";
        ASSERT_EQ(GetVorbisSupport(), 1) << "libvorbisfile not loadable";
    }
};

// ---- Record and PCM ----

TEST_F(VorbisEngine, RecordDescribesTheStreamAndPcmEqualsOggdec)
{
    std::string Ogg = StereoOgg("vorbis_whole", "2.9");
    Prepared Info = Prepare(Ogg);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->SampleRate, 44100u);
    EXPECT_EQ(Info->Channels, 2);
    EXPECT_EQ(Info->BytesPerSample, 2);
    EXPECT_EQ(Info->TrackLength, 2u); // 2.9 s, truncated
    EXPECT_EQ(Info->BitRate, 0);      // quality mode: no fixed rate
    EXPECT_EQ(Info->VBRFlag, 0);
    EXPECT_EQ(Info->FileLength, 0u);
    EXPECT_EQ(Info->TotalSamples, 127890u);
    EXPECT_NE(Info->Handle, nullptr);
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    ASSERT_EQ(Reference.size(), 127890u * StereoFrameBytes); // 2.9 s at 44.1 kHz
    std::vector<uint32_t> Sections;
    EXPECT_EQ(DecodeAll(Info.get(), OutBufSz, &Sections), Reference);
    for (uint32_t Size : Sections)
        EXPECT_EQ(Size % StereoFrameBytes, 0u);
    // Past the end: nothing more, nothing repeated.
    std::vector<uint8_t> Out(OutBufSz);
    EXPECT_EQ(DecodeVorbisSection(Info.get(), Out.data(), OutBufSz), 0u);
    EXPECT_EQ(DecodeVorbisSection(Info.get(), Out.data(), OutBufSz), 0u);
}

TEST_F(VorbisEngine, TheFileIsOpenOnceAndCloseOnExecFromPrepareToUnprepare)
{
    std::string Ogg = StereoOgg("vorbis_whole", "2.9");
    size_t Before = OpenDescriptors();
    Prepared Info = Prepare(Ogg);
    ASSERT_TRUE(Info);
    EXPECT_EQ(OpenDescriptors(), Before + 1);
    size_t CloseOnExec = 0;
    EXPECT_EQ(zebtest::DescriptorsOn(Ogg, &CloseOnExec), 1u);
    EXPECT_EQ(CloseOnExec, 1u);
    Info.reset();
    EXPECT_EQ(OpenDescriptors(), Before);
}

TEST_F(VorbisEngine, SmallBuffersAreNeverOverrunAndLoseNothing)
{
    std::string Ogg = StereoOgg("vorbis_small_buffers", "0.8");
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    for (uint32_t BufSz : {4u, 1001u, 4096u}) {
        SCOPED_TRACE(BufSz);
        Prepared Info = Prepare(Ogg);
        ASSERT_TRUE(Info);
        EXPECT_EQ(DecodeAll(Info.get(), BufSz), Reference);
    }
    Prepared Info = Prepare(Ogg); // less than one frame: nothing to deliver
    ASSERT_TRUE(Info);
    std::vector<uint8_t> Tiny(3);
    EXPECT_EQ(DecodeVorbisSection(Info.get(), Tiny.data(), 3), 0u);
}

TEST_F(VorbisEngine, BitRateOnlyForEqualUpperAndLowerLimits)
{
    std::string Fixed = StereoOgg("vorbis_fixed128", "1.0", "--managed -b 128 -m 128 -M 128");
    std::string Bounded = StereoOgg("vorbis_bounded", "1.0", "--managed -b 128 -m 96 -M 160");
    Prepared Info = Prepare(Fixed);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->BitRate, 128000);
    Info = Prepare(Bounded);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->BitRate, 0);
}

// ---- Seeking ----

TEST_F(VorbisEngine, SeekIsSampleExactAtTheAskedTime)
{
    std::string Ogg = StereoOgg("vorbis_seek", "2.9");
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    Prepared Info = Prepare(Ogg);
    ASSERT_TRUE(Info);
    // 1500 ms: sample 66150 at 44.1 kHz.
    SeekVorbisFile(Info.get(), 1500);
    EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 66150u * StereoFrameBytes));
    // Back to the start after the end, and only the last of two seeks counts.
    SeekVorbisFile(Info.get(), 0);
    EXPECT_EQ(DecodeAll(Info.get()), Reference);
    SeekVorbisFile(Info.get(), 0);
    std::vector<uint8_t> Out(OutBufSz);
    ASSERT_GT(DecodeVorbisSection(Info.get(), Out.data(), OutBufSz), 0u);
    SeekVorbisFile(Info.get(), 2500);
    SeekVorbisFile(Info.get(), 250);
    EXPECT_EQ(DecodeAll(Info.get()), Slice(Reference, 11025u * StereoFrameBytes));
}

// A C stream over a file that counts the bytes read through it.
struct CountedFile {
    FILE* Inner;
    uint64_t BytesRead;
};

ssize_t CountedRead(void* Cookie, char* Buf, size_t Size)
{
    CountedFile* C = static_cast<CountedFile*>(Cookie);
    size_t Got = fread(Buf, 1, Size, C->Inner);
    C->BytesRead += Got;
    return ferror(C->Inner) ? -1 : static_cast<ssize_t>(Got);
}

int CountedSeek(void* Cookie, off64_t* Offset, int Whence)
{
    FILE* Inner = static_cast<CountedFile*>(Cookie)->Inner;
    if (fseeko(Inner, *Offset, Whence) != 0)
        return -1;
    *Offset = ftello(Inner);
    return 0;
}

int CountedClose(void* Cookie) { return fclose(static_cast<CountedFile*>(Cookie)->Inner); }

TEST_F(VorbisEngine, ALongFileOpensAndSeeksReadingOnlyWhatTheSeekNeeds)
{
    // A minute of noise at a high quality (megabytes); the seek near its
    // end is still sample-exact, and prepare, seek and the first section
    // together read a small part of the file.
    std::string Ogg = MakeOgg("vorbis_long", 44100, 2, "60 whitenoise vol 0.5", "-q 8");
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    CountedFile Counted{fopen(Ogg.c_str(), "rb"), 0};
    ASSERT_TRUE(Counted.Inner);
    FILE* File = fopencookie(&Counted, "rb", {CountedRead, nullptr, CountedSeek, CountedClose});
    ASSERT_TRUE(File);
    Prepared Info(PrepareVorbisStream(File));
    ASSERT_TRUE(Info);
    SeekVorbisFile(Info.get(), 57000);
    std::vector<uint8_t> Out(OutBufSz);
    uint32_t Got = DecodeVorbisSection(Info.get(), Out.data(), OutBufSz);
    ASSERT_GT(Got, 0u);
    constexpr size_t At = 57u * 44100 * StereoFrameBytes;
    EXPECT_EQ(Slice(Out, 0, Got), Slice(Reference, At, Got));
    uint64_t FileBytes = ReadFile(Ogg).size();
    EXPECT_LT(Counted.BytesRead, FileBytes / 8) << "of " << FileBytes;
}

TEST_F(VorbisEngine, SeekBeyondTheEndKeepsThePosition)
{
    std::string Ogg = StereoOgg("vorbis_seek_far", "1.2");
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    Prepared Info = Prepare(Ogg);
    ASSERT_TRUE(Info);
    SeekVorbisFile(Info.get(), 600000);
    EXPECT_EQ(DecodeAll(Info.get()), Reference);
}

// ---- Damaged and chained streams ----

TEST_F(VorbisEngine, MissingPageCostsOnlyItsOwnAudio)
{
    // Noise fills many pages; a page in the middle is cut out.
    std::string Ogg = MakeOgg("vorbis_hole_src", 44100, 2, "3.0 pinknoise sine 660 vol 0.8");
    std::vector<uint8_t> Bytes = ReadFile(Ogg);
    std::vector<size_t> Pages = PageStarts(Bytes);
    ASSERT_GE(Pages.size(), 8u);
    size_t Cut = Pages.size() / 2;
    std::vector<uint8_t> Holed = Concat(Slice(Bytes, 0, Pages[Cut]), Slice(Bytes, Pages[Cut + 1]));
    std::string Path = FixturePath("vorbis_hole.ogg");
    WriteFile(Path, Holed);
    std::vector<uint8_t> Reference = ReferencePcm(Ogg);
    Prepared Info = Prepare(Path);
    ASSERT_TRUE(Info);
    // Everything up to the end of the page before the hole, then the rest
    // of the track after it: the last page's audio is decoded exactly.
    std::vector<uint8_t> Pcm = DecodeAll(Info.get());
    size_t Before = Granule(Bytes, Pages[Cut - 1]) * StereoFrameBytes;
    size_t Lost = (Granule(Bytes, Pages[Cut]) - Granule(Bytes, Pages[Cut - 1])) * StereoFrameBytes;
    ASSERT_GT(Pcm.size(), Before);
    EXPECT_EQ(Slice(Pcm, 0, Before), Slice(Reference, 0, Before));
    EXPECT_GE(Pcm.size(), Reference.size() - 2 * Lost);
    size_t Tail = (Granule(Bytes, Pages.back()) - Granule(Bytes, Pages[Pages.size() - 2])) * StereoFrameBytes;
    EXPECT_EQ(Slice(Pcm, Pcm.size() - Tail), Slice(Reference, Reference.size() - Tail));
}

// The first page that carries audio (a granule position past the headers').
size_t FirstAudioPage(const std::vector<uint8_t>& Bytes, const std::vector<size_t>& Pages)
{
    size_t i = 0;
    while (i < Pages.size() && Granule(Bytes, Pages[i]) == 0)
        ++i;
    return i;
}

// Seeks to every tenth of a second up to past the end, each decoded to the
// end: none may fault, and none plays more than the file holds.
void SeekEverywhere(MPEGFileInfoType* Info, size_t MaxBytes)
{
    constexpr uint32_t StepMs = 100, LastMs = 3500;
    for (uint32_t Ms = 0; Ms <= LastMs; Ms += StepMs) {
        SCOPED_TRACE(Ms);
        SeekVorbisFile(Info, Ms);
        EXPECT_LE(DecodeAll(Info).size(), MaxBytes);
    }
}

TEST_F(VorbisEngine, PagesOfALinkOutOfPlaceNeverFaultASeek)
{
    // Link 1's headers, link 2's headers, link 1's audio pages damaged
    // (checksums fail), then link 1's last page: libvorbisfile 1.3.7 takes
    // it all as one link and, seeking near its start, hands libogg a page
    // from a buffer it has refilled (a negative move). The same with the
    // two streams' pages interleaved as one multiplexed link; without the
    // damaged pages that link is intact and plays.
    std::vector<uint8_t> One = ReadFile(StereoOgg("vorbis_serial1", "3.0", "-s 1"));
    std::vector<uint8_t> Two = ReadFile(MakeOgg("vorbis_serial2", 44100, 2, "1.0 sine 330", "-s 2"));
    std::vector<size_t> P1 = PageStarts(One), P2 = PageStarts(Two);
    size_t Audio1 = FirstAudioPage(One, P1), Audio2 = FirstAudioPage(Two, P2);
    ASSERT_LT(Audio1 + 1, P1.size());
    ASSERT_LT(Audio2, P2.size());
    std::vector<uint8_t> Damaged = Slice(One, P1[Audio1], P1.back() - P1[Audio1]);
    for (size_t i = Audio1 + 1; i < P1.size(); ++i)
        Damaged[P1[i] - P1[Audio1] - 1] ^= 0xff; // each page's last byte
    std::vector<uint8_t> Headers1 = Slice(One, 0, P1[Audio1]), Last1 = Slice(One, P1.back());
    std::vector<uint8_t> Interleaved = Concat(Slice(One, 0, P1[1]), Slice(Two, 0, P2[1]));
    Interleaved = Concat(Concat(Interleaved, Slice(One, P1[1], P1[Audio1] - P1[1])), Slice(Two, P2[1]));
    std::string Stray = FixturePath("vorbis_stray_page.ogg");
    size_t Link1Bytes = Granule(One, P1.back()) * StereoFrameBytes;
    for (const std::vector<uint8_t>& Layout :
         {Concat(Concat(Headers1, Slice(Two, 0, P2[Audio2])), Concat(Damaged, Last1)),
          Concat(Concat(Interleaved, Damaged), Last1)}) {
        WriteFile(Stray, Layout);
        Prepared Info = Prepare(Stray);
        ASSERT_TRUE(Info);
        SeekEverywhere(Info.get(), Link1Bytes);
    }
    WriteFile(Stray, Concat(Interleaved, Last1));
    EXPECT_TRUE(Prepare(Stray));
    // Without link 2's pages it is one link with lost pages: it plays, and
    // after a seek into the hole decoding ends cleanly.
    std::string Lost = FixturePath("vorbis_lost_pages.ogg");
    WriteFile(Lost, Concat(Concat(Headers1, Damaged), Last1));
    Prepared Info = Prepare(Lost);
    ASSERT_TRUE(Info);
    SeekVorbisFile(Info.get(), 500);
    EXPECT_LE(DecodeAll(Info.get()).size(), Link1Bytes);
}

// Frequency of the left channel of stereo PCM from its rising zero
// crossings; frames where left and right differ are counted in Unequal.
double LeftFrequency(const std::vector<uint8_t>& Pcm, uint32_t Rate, size_t* Unequal)
{
    std::vector<int16_t> S(Pcm.size() / 2);
    memcpy(S.data(), Pcm.data(), S.size() * 2);
    size_t Rising = 0, First = 0, Last = 0;
    *Unequal = 0;
    for (size_t i = 2; i + 1 < S.size(); i += 2) {
        *Unequal += S[i] != S[i + 1];
        if (S[i - 2] < 0 && S[i] >= 0) {
            First = Rising++ ? First : i / 2;
            Last = i / 2;
        }
    }
    return Rising > 1 ? static_cast<double>(Rising - 1) * Rate / static_cast<double>(Last - First) : 0;
}

TEST_F(VorbisEngine, ChainedLinkWithAnotherLayoutPlaysAtTheFirstLinksLayout)
{
    std::string First = StereoOgg("vorbis_link_stereo", "1.3");
    std::string Mono = MakeOgg("vorbis_link_mono22k", 22050, 1, "0.7 sine 300");
    std::string Chained = FixturePath("vorbis_chain_mixed.ogg");
    WriteFile(Chained, Concat(ReadFile(First), ReadFile(Mono)));
    Prepared Info = Prepare(Chained);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->SampleRate, 44100u);
    EXPECT_EQ(Info->Channels, 2);
    EXPECT_EQ(Info->TotalSamples, 57330u + 2 * 15435u); // 1.3 s + 0.7 s at 44.1 kHz
    // The first link unchanged, then the mono link at twice the frames, on
    // both channels, at its own pitch; a few frames of the resampler's
    // filter are the only loss.
    std::vector<uint8_t> Pcm = DecodeAll(Info.get());
    std::vector<uint8_t> Head = ReferencePcm(First);
    ASSERT_GT(Pcm.size(), Head.size());
    EXPECT_EQ(Slice(Pcm, 0, Head.size()), Head);
    size_t SecondFrames = (Pcm.size() - Head.size()) / StereoFrameBytes;
    EXPECT_NEAR(static_cast<double>(SecondFrames), 30870.0, 100.0);
    size_t Unequal = 0;
    EXPECT_NEAR(LeftFrequency(Slice(Pcm, Head.size()), 44100, &Unequal), 300.0, 3.0);
    EXPECT_EQ(Unequal, 0u);
    // A seek into the second link plays the rest of it the same way.
    SeekVorbisFile(Info.get(), 1600);
    std::vector<uint8_t> Rest = DecodeAll(Info.get());
    EXPECT_NEAR(static_cast<double>(Rest.size() / StereoFrameBytes), 0.4 * 44100, 100.0);
    EXPECT_NEAR(LeftFrequency(Rest, 44100, &Unequal), 300.0, 3.0);
    EXPECT_EQ(Unequal, 0u);
}

TEST_F(VorbisEngine, ChainedLinksOfOneLayoutPlayThrough)
{
    std::string First = StereoOgg("vorbis_link_stereo", "1.3");
    std::string Second = MakeOgg("vorbis_link_stereo_b", 44100, 2, "0.9 sine 520 sine 780 vol 0.5");
    std::string Chained = FixturePath("vorbis_chain_same.ogg");
    WriteFile(Chained, Concat(ReadFile(First), ReadFile(Second)));
    Prepared Info = Prepare(Chained);
    ASSERT_TRUE(Info);
    EXPECT_EQ(Info->TrackLength, 2u); // both links
    EXPECT_EQ(DecodeAll(Info.get()), Concat(ReferencePcm(First), ReferencePcm(Second)));
}

// ---- Refused files ----

TEST_F(VorbisEngine, FilesThatAreNotOggVorbisAreRefused)
{
    std::string Good = StereoOgg("vorbis_refuse_src", "0.5");
    std::vector<uint8_t> Bytes = ReadFile(Good);
    std::vector<size_t> Pages = PageStarts(Bytes);
    ASSERT_GE(Pages.size(), 3u);
    std::vector<std::string> Paths = {FixturePath("vorbis_refuse_missing.ogg")};
    auto Write = [&](const std::string& Name, const std::vector<uint8_t>& Content) {
        Paths.push_back(FixturePath(Name));
        WriteFile(Paths.back(), Content);
    };
    Write("vorbis_refuse_empty.ogg", {});
    Write("vorbis_refuse_100.ogg", Slice(Bytes, 0, 100));                   // into the setup header
    Write("vorbis_refuse_idonly.ogg", Slice(Bytes, 0, Pages[1]));           // identification header only
    Write("vorbis_refuse_noheaders.ogg", Slice(Bytes, Pages[2]));           // audio pages only
    Write("vorbis_refuse_text.ogg", std::vector<uint8_t>(4096, 'x'));
    std::string Wav = FixturePath("vorbis_refuse.wav");
    zebtest::WriteWav(Wav, 44100, 2, 16, zebtest::TestPcm(4410, 2, 44100));
    Paths.push_back(Wav);
    std::string Dir = FixturePath("vorbis_refuse_dir");
    mkdir(Dir.c_str(), 0755);
    Paths.push_back(Dir);
    std::string Fifo = FixturePath("vorbis_refuse_" + std::to_string(getpid()) + ".fifo");
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    Paths.push_back(Fifo); // no writer: an open would block
    size_t Open = OpenDescriptors();
    for (const std::string& Path : Paths) {
        SCOPED_TRACE(Path);
        EXPECT_FALSE(Prepare(Path));
        EXPECT_EQ(OpenDescriptors(), Open) << "a refused file stayed open";
    }
    unlink(Fifo.c_str());
    EXPECT_FALSE(PrepareVorbisFile(nullptr));
}

TEST_F(VorbisEngine, OtherCodecsInOggAreRefused)
{
    std::string Wav = FixturePath("vorbis_other_src.wav");
    ASSERT_TRUE(zebtest::Run("sox -D -n -r 48000 -c 2 -b 16 " + Wav + " synth 0.5 sine 440 sine 660 2>/dev/null"));
    std::vector<std::string> Paths;
    std::string FlacOgg = FixturePath("vorbis_other_flac.oga");
    if (HaveTool("flac") && zebtest::Run("flac -s -f --ogg -o " + FlacOgg + " " + Wav + " 2>/dev/null"))
        Paths.push_back(FlacOgg);
    std::string Opus = FixturePath("vorbis_other_opus.ogg");
    if (HaveTool("ffmpeg") &&
        zebtest::Run("ffmpeg -v error -nostdin -y -i " + Wav + " -c:a libopus -f ogg " + Opus + " 2>/dev/null"))
        Paths.push_back(Opus);
    if (Paths.empty())
        GTEST_SKIP() << "neither flac nor ffmpeg with libopus available";
    size_t Open = OpenDescriptors();
    for (const std::string& Path : Paths) {
        SCOPED_TRACE(Path);
        EXPECT_FALSE(Prepare(Path));
        EXPECT_EQ(OpenDescriptors(), Open) << "a refused file stayed open";
    }
}

// ---- I/O callbacks ----

// A sparse file with a marker past 4 GiB: the seek callback must carry the
// high bits of the offset, or it lands 4 GiB early on a zero.
TEST_F(VorbisEngine, SeekCallbackReachesOffsetsPastFourGibibytes)
{
    constexpr off_t Marker = (off_t{1} << 32) + 4097;
    std::string Path = FixturePath("vorbis_sparse_" + std::to_string(getpid()) + ".bin");
    int Fd = open(Path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    ASSERT_GE(Fd, 0);
    const char Byte = 'M';
    bool Written = pwrite(Fd, &Byte, 1, Marker) == 1;
    close(Fd);
    if (!Written) {
        unlink(Path.c_str());
        GTEST_SKIP() << "no sparse files here";
    }
    FILE* File = fopen(Path.c_str(), "rb");
    ASSERT_TRUE(File);
    EXPECT_EQ(VorbisSeekFile(File, Marker, SEEK_SET), 0);
    EXPECT_EQ(VorbisTellFile(File), static_cast<long>(Marker));
    char Got = 0;
    EXPECT_EQ(VorbisReadFile(&Got, 1, 1, File), 1u);
    EXPECT_EQ(Got, 'M');
    EXPECT_EQ(VorbisSeekFile(File, -1, SEEK_END), 0);
    EXPECT_EQ(VorbisTellFile(File), static_cast<long>(Marker));
    EXPECT_NE(VorbisSeekFile(File, -1, SEEK_SET), 0);
    EXPECT_EQ(VorbisCloseFile(File), 0);
    unlink(Path.c_str());
}

// ---- Library support ----

TEST_F(VorbisEngine, WithoutTheLibraryNothingOpensAndLoadingAgainRestoresIt)
{
    std::string Ogg = StereoOgg("vorbis_support", "0.3");
    EXPECT_EQ(GetVorbisSupport(), 1); // loaded already: kept
    static const char* const Missing[] = {"libnothing.so", nullptr};
    static const char* const NoEntryPoints[] = {"libc.so.6", nullptr};
    for (const char* const* Names : {Missing, NoEntryPoints}) {
        SCOPED_TRACE(Names[0]);
        SetSupportLibraryNames("vorbis", Names);
        CloseVorbisSupport();
        EXPECT_EQ(GetVorbisSupport(), 0);
        EXPECT_FALSE(Prepare(Ogg));
        CloseVorbisSupport(); // harmless when nothing is loaded
    }
    SetSupportLibraryNames("vorbis", nullptr);
    ASSERT_EQ(GetVorbisSupport(), 1);
    Prepared Info = Prepare(Ogg);
    EXPECT_TRUE(Info);
}

// ---- Corpus ----

bool IsOggName(const std::string& Path)
{
    auto EndsWith = [&](const char* Ext) {
        size_t N = strlen(Ext);
        return Path.size() >= N && Path.compare(Path.size() - N, N, Ext) == 0;
    };
    return EndsWith(".ogg") || EndsWith(".oga");
}

TEST_F(VorbisEngine, EveryCorpusFileDecodesToItsEndOrIsRefused)
{
    size_t Tried = 0;
    zebtest::ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& Path) {
        if (!IsOggName(Path))
            return;
        SCOPED_TRACE(Path);
        ++Tried;
        Prepared Info = Prepare(Path);
        if (!Info)
            return;
        EXPECT_NE(Info->SampleRate, 0u);
        EXPECT_NE(Info->Channels, 0);
        std::vector<uint32_t> Sections;
        DecodeAll(Info.get(), OutBufSz, &Sections);
        for (uint32_t Size : Sections)
            EXPECT_EQ(Size % (Info->Channels * 2u), 0u);
        SeekVorbisFile(Info.get(), Info->TrackLength * 500u);
        DecodeAll(Info.get());
    });
    if (Tried == 0)
        GTEST_SKIP() << "no corpus at " << ZEB_CORPUS_DIR;
}

} // namespace
