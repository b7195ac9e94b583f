// Read-ahead ring buffer: ring arithmetic, byte-exact streaming, end of file,
// flush position, descriptors, a reader stalled on a FIFO, and a faulting reader.
#include "aio_bfr.h"
#include "zeb_platform.h"

#include "support/host.h"
#include "support/returns_within.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t BlkSz = 1251;             // the player's input block
constexpr uint32_t RingSz = BlkSz * 100;     // 125100
constexpr uint32_t RingCeiling = RingSz - BlkSz; // 123849
constexpr uint32_t FirstFill = 3 * BlkSz;    // 3753
constexpr int MessageWaitMs = 20000;
constexpr int ShortTimeoutMs = 300;

std::vector<uint8_t> PatternBytes(size_t Size, uint32_t Seed)
{
    std::vector<uint8_t> Bytes(Size);
    uint32_t X = Seed;
    for (uint8_t& B : Bytes) {
        X = X * 1664525u + 1013904223u;
        B = static_cast<uint8_t>(X >> 24);
    }
    return Bytes;
}

std::string MakeFile(const std::string& Name, const std::vector<uint8_t>& Bytes)
{
    std::string Path = zebtest::FixturePath("aio_" + Name);
    zebtest::WriteFile(Path, Bytes);
    return Path;
}

// Waits (bounded) until the number of live reader states is Count.
bool WaitLiveReaders(int Count)
{
    for (int i = 0; i < 2000; ++i) {
        if (AIOLiveReadersForTesting() == Count)
            return true;
        Sleep(10);
    }
    return false;
}

// Descriptors this process has open.
int OpenDescriptors()
{
    DIR* Dir = opendir("/proc/self/fd");
    if (!Dir)
        return -1;
    int Count = 0;
    while (readdir(Dir))
        ++Count;
    closedir(Dir);
    return Count;
}

// Reads blocks until the buffer reports the end; bounded by the file size.
std::vector<uint8_t> DrainBlocks(AIOBufType* Aio, size_t Expected)
{
    std::vector<uint8_t> Got;
    std::vector<uint8_t> Block(BlkSz);
    for (size_t i = 0; i < Expected / BlkSz + 3; ++i) {
        uint32_t N = ReadAIOBuf(Aio, Block.data(), BlkSz);
        if (N == 0)
            break;
        Got.insert(Got.end(), Block.begin(), Block.begin() + N);
    }
    return Got;
}

class AIOBuffer : public ::testing::Test {
protected:
    void SetUp() override
    {
        Aio = InitAIOBuffers(BlkSz, nullptr, nullptr);
        ASSERT_NE(Aio, nullptr);
    }
    void TearDown() override
    {
        FreeAIOBuffers(Aio);
        if (File)
            fclose(File);
    }
    FILE* Open(const std::string& Path)
    {
        File = fopen(Path.c_str(), "rb");
        return File;
    }
    AIOBufType* Aio = nullptr;
    FILE* File = nullptr;
};

} // namespace

TEST_F(AIOBuffer, RingArithmetic)
{
    EXPECT_EQ(Aio->BufSz, RingSz);
    EXPECT_EQ(GetReadBufSz(Aio), 0u);
    EXPECT_EQ(GetWriteBufSz(Aio), RingCeiling); // empty ring: all but one block
    Aio->ReadPtr = 2502;
    Aio->WritePtr = 10008;
    EXPECT_EQ(GetReadBufSz(Aio), 7506u);
    EXPECT_EQ(GetWriteBufSz(Aio), RingSz - 7506 - BlkSz);
    Aio->ReadPtr = 120096;
    Aio->WritePtr = 2502;
    EXPECT_EQ(GetReadBufSz(Aio), RingSz - 120096 + 2502);
    EXPECT_EQ(GetWriteBufSz(Aio), 120096u - 2502 - BlkSz);
    Aio->ReadPtr = 0;
    Aio->WritePtr = RingCeiling; // full
    EXPECT_EQ(GetWriteBufSz(Aio), 0u);
    Aio->WritePtr = 0;
}

TEST(AIOTicks, TickDeltaIsWrapSafe)
{
    EXPECT_EQ(TickDeltaFrom(0xFFFFFF00u, 0x00000100u), 512);
    EXPECT_EQ(TickDeltaFrom(100, 100), 0);
    EXPECT_EQ(TickDeltaFrom(0x7FFFFFF0u, 0x80000010u), 32);
    EXPECT_GE(TickDelta(GetTickCount()), 0);
}

TEST_F(AIOBuffer, LargeFileBlockByBlockIsExactAndRingWraps)
{
    std::vector<uint8_t> Bytes = PatternBytes(1000 * BlkSz + 777, 1);
    ASSERT_NE(Open(MakeFile("large.bin", Bytes)), nullptr);
    StartAIOStream(Aio, File);

    std::vector<uint8_t> Got;
    std::vector<uint8_t> Block(BlkSz);
    bool ReadWrapped = false, WriteWrapped = false;
    uint32_t LastRead = 0, LastWrite = Aio->WritePtr;
    for (size_t i = 0; i < Bytes.size() / BlkSz + 3; ++i) {
        uint32_t N = ReadAIOBuf(Aio, Block.data(), BlkSz);
        if (N == 0)
            break;
        Got.insert(Got.end(), Block.begin(), Block.begin() + N);
        uint32_t ReadPtr = Aio->ReadPtr, WritePtr = Aio->WritePtr;
        ASSERT_LE(GetReadBufSz(Aio), RingCeiling);
        ASSERT_LT(ReadPtr, RingSz);
        ASSERT_LT(WritePtr, RingSz);
        ReadWrapped |= ReadPtr < LastRead;
        WriteWrapped |= WritePtr < LastWrite;
        LastRead = ReadPtr;
        LastWrite = WritePtr;
    }
    EXPECT_TRUE(Got == Bytes) << "got " << Got.size() << " of " << Bytes.size() << " bytes";
    EXPECT_TRUE(ReadWrapped);
    EXPECT_TRUE(WriteWrapped);
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);
}

TEST_F(AIOBuffer, IdleReaderFillsToCeilingAndPointersWrapAtRingSize)
{
    std::vector<uint8_t> Bytes = PatternBytes(400 * BlkSz, 2);
    ASSERT_NE(Open(MakeFile("ceiling.bin", Bytes)), nullptr);
    StartAIOStream(Aio, File);
    SyncAIOStream(Aio);
    EXPECT_EQ(GetReadBufSz(Aio), RingCeiling);
    EXPECT_EQ(Aio->WritePtr.load(), RingCeiling);

    std::vector<uint8_t> Block(BlkSz);
    for (uint32_t i = 1; i <= 150; ++i) {
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
        ASSERT_EQ(0, memcmp(Block.data(), &Bytes[(i - 1) * BlkSz], BlkSz)) << "block " << i;
        SyncAIOStream(Aio);
        ASSERT_EQ(Aio->ReadPtr.load(), i * BlkSz % RingSz);
        // The reader refills in batches: back at the ceiling once a batch
        // of blocks is free, never above it, never far below.
        uint32_t Behind = i % RefillBatchBlocks;
        ASSERT_EQ(GetReadBufSz(Aio), RingCeiling - Behind * BlkSz) << "after block " << i;
        ASSERT_EQ(Aio->WritePtr.load(), (i * BlkSz + RingCeiling - Behind * BlkSz) % RingSz);
    }
    uint32_t Taken = 150;
    while (GetReadBufSz(Aio) < RingCeiling) {
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
        SyncAIOStream(Aio);
        ++Taken;
    }
    // A take larger than the ring can hold is cut to what it can hold.
    std::vector<uint8_t> Big(2 * RingSz);
    EXPECT_EQ(ReadAIOBuf(Aio, Big.data(), static_cast<uint32_t>(Big.size())), RingCeiling);
    EXPECT_EQ(0, memcmp(Big.data(), &Bytes[Taken * BlkSz], RingCeiling));
}

TEST_F(AIOBuffer, ShortAndEmptyFilesEndCleanly)
{
    std::vector<uint8_t> Bytes = PatternBytes(2000, 3);
    ASSERT_NE(Open(MakeFile("short.bin", Bytes)), nullptr);
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Block(BlkSz);
    ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
    EXPECT_EQ(0, memcmp(Block.data(), Bytes.data(), BlkSz));
    ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 2000u - BlkSz);
    EXPECT_EQ(0, memcmp(Block.data(), &Bytes[BlkSz], 2000 - BlkSz));
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);
    EXPECT_EQ(Aio->EOFDetect.load(), 1);

    fclose(File);
    ASSERT_NE(Open(MakeFile("empty.bin", {})), nullptr);
    StartAIOStream(Aio, File);
    EXPECT_EQ(Aio->EOFDetect.load(), 1);
    EXPECT_EQ(Aio->WriteBlkRequest.load(), 0);
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);

    StartAIOStream(Aio, nullptr);
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);
}

TEST_F(AIOBuffer, FlushPutsFileBackToFirstUntakenByte)
{
    // Ten blocks: the reader stops at the end, six blocks are taken.
    std::vector<uint8_t> Bytes = PatternBytes(10 * BlkSz, 4);
    ASSERT_NE(Open(MakeFile("flush.bin", Bytes)), nullptr);
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Block(BlkSz);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
    SyncAIOStream(Aio);
    ASSERT_EQ(GetReadBufSz(Aio), 5004u);
    FlushAIOBuffers(Aio);
    EXPECT_EQ(ftello(File), static_cast<off_t>(Bytes.size()) - 5004);
    EXPECT_EQ(GetReadBufSz(Aio), 0u);
    EXPECT_EQ(Aio->EOFDetect.load(), 1);
    EXPECT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);

    // Restarting from there delivers the rest exactly.
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Rest = DrainBlocks(Aio, Bytes.size());
    EXPECT_TRUE(Rest == std::vector<uint8_t>(Bytes.begin() + 6 * BlkSz, Bytes.end()));
}

TEST_F(AIOBuffer, FlushMidStreamLeavesFileAtConsumerPosition)
{
    std::vector<uint8_t> Bytes = PatternBytes(500 * BlkSz + 5, 5);
    ASSERT_NE(Open(MakeFile("flushmid.bin", Bytes)), nullptr);
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Block(BlkSz);
    for (int i = 0; i < 137; ++i)
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
    FlushAIOBuffers(Aio);
    EXPECT_EQ(ftello(File), 137 * static_cast<off_t>(BlkSz));
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Rest = DrainBlocks(Aio, Bytes.size());
    EXPECT_TRUE(Rest == std::vector<uint8_t>(Bytes.begin() + 137 * BlkSz, Bytes.end()));
}

TEST_F(AIOBuffer, StreamStartsWhereTheFileStands)
{
    // The caller has read through the stream, so its buffer holds bytes
    // beyond its position; the stream must start at the position itself.
    std::vector<uint8_t> Bytes = PatternBytes(200 * BlkSz + 17, 11);
    ASSERT_NE(Open(MakeFile("startpos.bin", Bytes)), nullptr);
    std::vector<uint8_t> Head(100);
    ASSERT_EQ(fread(Head.data(), 1, Head.size(), File), Head.size());
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Got = DrainBlocks(Aio, Bytes.size());
    EXPECT_TRUE(Got == std::vector<uint8_t>(Bytes.begin() + 100, Bytes.end()));

    // After a seek of the caller's own, and after a flush mid-stream.
    ASSERT_EQ(fseeko(File, 5000, SEEK_SET), 0);
    StartAIOStream(Aio, File);
    std::vector<uint8_t> Block(BlkSz);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
    FlushAIOBuffers(Aio);
    EXPECT_EQ(ftello(File), 5000 + 40 * static_cast<off_t>(BlkSz));
    StartAIOStream(Aio, File);
    Got = DrainBlocks(Aio, Bytes.size());
    EXPECT_TRUE(Got == std::vector<uint8_t>(Bytes.begin() + 5000 + 40 * BlkSz, Bytes.end()));
}

TEST_F(AIOBuffer, DescriptorsAreReleased)
{
    std::vector<uint8_t> Bytes = PatternBytes(300 * BlkSz, 12);
    ASSERT_NE(Open(MakeFile("fds.bin", Bytes)), nullptr);
    int Before = OpenDescriptors();
    ASSERT_GT(Before, 0);
    std::vector<uint8_t> Block(BlkSz);
    // Streams restarted mid-way (seeks), flushed, and read to the end.
    for (int Round = 0; Round < 5; ++Round) {
        ASSERT_EQ(fseeko(File, Round * 1000, SEEK_SET), 0);
        StartAIOStream(Aio, File);
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
    }
    FlushAIOBuffers(Aio);
    EXPECT_EQ(OpenDescriptors(), Before);
    StartAIOStream(Aio, File);
    DrainBlocks(Aio, Bytes.size());
    EXPECT_EQ(OpenDescriptors(), Before);
    StartAIOStream(Aio, File);
    FreeAIOBuffers(Aio);
    Aio = nullptr;
    EXPECT_EQ(OpenDescriptors(), Before);
}

// ---- Reader failures ----

namespace {

// A FIFO whose writer end is held open by the test: reads block until the
// test writes.
struct StalledFifo {
    std::string Path;
    int WriterFd = -1;
    FILE* Reader = nullptr;

    bool Open(const std::string& Name)
    {
        Path = zebtest::FixturePath("aio_" + Name + "_" + std::to_string(getpid()) + ".fifo");
        unlink(Path.c_str());
        if (mkfifo(Path.c_str(), 0600) != 0)
            return false;
        int ReadFd = open(Path.c_str(), O_RDONLY | O_NONBLOCK);
        WriterFd = open(Path.c_str(), O_WRONLY);
        if (ReadFd < 0 || WriterFd < 0)
            return false;
        fcntl(ReadFd, F_SETFL, fcntl(ReadFd, F_GETFL) & ~O_NONBLOCK);
        Reader = fdopen(ReadFd, "rb");
        return Reader != nullptr;
    }
    bool Write(const std::vector<uint8_t>& Bytes)
    {
        return write(WriterFd, Bytes.data(), Bytes.size()) == static_cast<ssize_t>(Bytes.size());
    }
    ~StalledFifo()
    {
        // Writer first: a read still blocked on the FIFO then ends at once.
        if (WriterFd >= 0)
            close(WriterFd);
        if (Reader)
            fclose(Reader);
        unlink(Path.c_str());
    }
};

class AIOReaderFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        Window = ZEBWindowCreate();
        ASSERT_NE(Window, nullptr);
        BaseReaders = AIOLiveReadersForTesting();
        SetAIOTimeoutForTesting(ShortTimeoutMs);
    }
    void TearDown() override
    {
        SetAIOTimeoutForTesting(AIOTimeoutMs);
        SetAIOReaderFaultForTesting(false);
        ZEBWindowDestroy(Window);
    }
    // Starts a stream on a FIFO holding only the first fill, then takes those
    // blocks; the next take times out on the stalled reader.
    void StartStalled(AIOBufType* Aio)
    {
        ASSERT_TRUE(Fifo.Open(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        First = PatternBytes(FirstFill, 6);
        ASSERT_TRUE(Fifo.Write(First));
        StartAIOStream(Aio, Fifo.Reader);
        std::vector<uint8_t> Block(BlkSz);
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), BlkSz);
            ASSERT_EQ(0, memcmp(Block.data(), &First[i * BlkSz], BlkSz));
        }
        ASSERT_EQ(ReadAIOBuf(Aio, Block.data(), BlkSz), 0u);
    }
    void ExpectMessage(uint32_t wParam, uint32_t lParam)
    {
        ZEBMessage Msg{};
        ASSERT_EQ(ZEBWindowGetMessage(Window, &Msg, MessageWaitMs), 1);
        EXPECT_EQ(Msg.Msg, static_cast<uint32_t>(ZEB_NTF_ERROR));
        EXPECT_EQ(Msg.wParam, wParam);
        EXPECT_EQ(Msg.lParam, lParam);
    }
    ZEBWindow* Window = nullptr;
    int BaseReaders = 0;
    StalledFifo Fifo;
    std::vector<uint8_t> First;
};

} // namespace

TEST_F(AIOReaderFailure, StalledReaderTimesOutAndIsReplaced)
{
    AIOBufType* Aio = InitAIOBuffers(BlkSz, Window, nullptr);
    ASSERT_NE(Aio, nullptr);
    StartStalled(Aio);
    // The reader was asked for the free ring minus one block and got nothing.
    ExpectMessage(ZEB_ERR_ASYNC_IO, RingSz - FirstFill - BlkSz);
    EXPECT_EQ(Aio->EOFDetect.load(), 1);
    EXPECT_EQ(Aio->WriteBlkRequest.load(), 0);
    EXPECT_EQ(GetReadBufSz(Aio), 0u);
    EXPECT_EQ(AIOLiveReadersForTesting(), BaseReaders + 2); // abandoned and new

    // The old reader wakes with a block read; it must leave the ring alone.
    memset(Aio->Buf, 0xA5, Aio->BufSz);
    ASSERT_TRUE(Fifo.Write(PatternBytes(2000, 7)));
    ASSERT_TRUE(WaitLiveReaders(BaseReaders + 1));
    EXPECT_EQ(Aio->WritePtr.load(), 0u);
    EXPECT_EQ(Aio->ReadPtr.load(), 0u);
    EXPECT_EQ(Aio->WriteBlkRequest.load(), 0);
    EXPECT_EQ(Aio->EOFDetect.load(), 1);
    std::vector<uint8_t> Untouched(Aio->BufSz, 0xA5);
    EXPECT_EQ(0, memcmp(Aio->Buf, Untouched.data(), Aio->BufSz));

    // The replacement reader serves the next stream.
    std::vector<uint8_t> Bytes = PatternBytes(300 * BlkSz + 9, 8);
    FILE* File = fopen(MakeFile("after_stall.bin", Bytes).c_str(), "rb");
    ASSERT_NE(File, nullptr);
    StartAIOStream(Aio, File);
    EXPECT_TRUE(DrainBlocks(Aio, Bytes.size()) == Bytes);
    FreeAIOBuffers(Aio);
    fclose(File);
    EXPECT_TRUE(WaitLiveReaders(BaseReaders));
}

TEST_F(AIOReaderFailure, InputStaysUsableWhileAbandonedReaderIsBlocked)
{
    AIOBufType* Aio = InitAIOBuffers(BlkSz, Window, nullptr);
    ASSERT_NE(Aio, nullptr);
    StartStalled(Aio);
    ExpectMessage(ZEB_ERR_ASYNC_IO, RingSz - FirstFill - BlkSz);
    // The reader is still blocked reading the FIFO; the caller's stream must
    // not wait for it.
    FILE* Input = Fifo.Reader;
    Fifo.Reader = nullptr;
    EXPECT_TRUE(zebtest::ReturnsWithin(5000, [Input] {
        ftello(Input);
        fclose(Input);
    }));
    FreeAIOBuffers(Aio);
    EXPECT_EQ(AIOLiveReadersForTesting(), BaseReaders + 1);
    // The reader's own descriptor still holds the FIFO open; its read ends
    // when the writer goes.
    close(Fifo.WriterFd);
    Fifo.WriterFd = -1;
    EXPECT_TRUE(WaitLiveReaders(BaseReaders));
}

TEST_F(AIOReaderFailure, FreeWhileAbandonedReaderIsStillBlocked)
{
    AIOBufType* Aio = InitAIOBuffers(BlkSz, Window, nullptr);
    ASSERT_NE(Aio, nullptr);
    StartStalled(Aio);
    ExpectMessage(ZEB_ERR_ASYNC_IO, RingSz - FirstFill - BlkSz);
    FreeAIOBuffers(Aio);
    EXPECT_EQ(AIOLiveReadersForTesting(), BaseReaders + 1); // only the abandoned one
    // Waking it after the record is gone must not touch the record.
    ASSERT_TRUE(Fifo.Write(PatternBytes(BlkSz, 9)));
    EXPECT_TRUE(WaitLiveReaders(BaseReaders));
}

TEST_F(AIOReaderFailure, FaultingReaderIsReportedAndInputEnds)
{
    AIOBufType* Aio = InitAIOBuffers(BlkSz, Window, nullptr);
    ASSERT_NE(Aio, nullptr);
    std::vector<uint8_t> Bytes = PatternBytes(50 * BlkSz, 10);
    FILE* File = fopen(MakeFile("fault.bin", Bytes).c_str(), "rb");
    ASSERT_NE(File, nullptr);
    SetAIOReaderFaultForTesting(true);
    StartAIOStream(Aio, File);
    ExpectMessage(ZEB_ERR_UNHANDLED_EXCEPTION, 1);
    // What the first fill brought is delivered, then the input ends.
    std::vector<uint8_t> Got = DrainBlocks(Aio, Bytes.size());
    EXPECT_TRUE(Got == std::vector<uint8_t>(Bytes.begin(), Bytes.begin() + FirstFill));
    SyncAIOStream(Aio);
    FlushAIOBuffers(Aio);
    FreeAIOBuffers(Aio);
    fclose(File);
    EXPECT_TRUE(WaitLiveReaders(BaseReaders));
}
