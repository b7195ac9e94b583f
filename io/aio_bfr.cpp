// Read-ahead ring buffer filled from an input file by a reader thread.
//
// Each reader thread owns a private state (AIOReaderType): its wake-up event,
// its own duplicate of the input's descriptor and a block of storage that it
// reads the file into. It copies a block into the ring, and touches the
// record at all, only while holding its gate. The consumer closes the gate of
// a reader that has not finished in time and starts a new one; the old thread
// may stay blocked in its read, but when it returns it finds the gate closed,
// closes its descriptor, frees its private state and ends.
#include "aio_bfr.h"

#include "zeb-audiodefs.h"
#include "zeb_platform.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

namespace {

// States of a reader's gate.
constexpr int32_t GateOpen = 0;   // the reader may take the gate
constexpr int32_t GateHeld = 1;   // the reader is using the record
constexpr int32_t GateClosed = 2; // abandoned: the reader must not touch the record again

constexpr uint32_t InitialFillBlocks = 3;
constexpr int FreeWaitMs = 5000;
// SyncAIOStream polls with bare yields this long, then with 1 ms sleeps.
constexpr int32_t YieldOnlyMs = 2;

constexpr int NoFile = -1;
constexpr int64_t SequentialInput = -1;

std::atomic<uint32_t> SyncTimeoutMs{AIOTimeoutMs};
std::atomic<bool> ReaderFault{false};
std::atomic<int> LiveReaders{0};

// The stall test hook: armed by the test, taken by the next read.
std::mutex StallLock;
std::condition_variable StallCleared;
bool StallArmed = false;   // under StallLock
bool StallActive = false;  // under StallLock

void WaitIfStalledForTesting()
{
    std::unique_lock<std::mutex> Hold(StallLock);
    if (!StallArmed)
        return;
    StallArmed = false;
    StallActive = true;
    StallCleared.wait(Hold, [] { return !StallActive; });
}

void CloseFile(int Fd)
{
    if (Fd != NoFile)
        close(Fd);
}

} // namespace

// A reader's private state, shared by the reader thread and, while the reader
// is current, the record; freed by whichever lets go last.
struct AIOReaderType {
    std::atomic<int32_t> Refs; // the thread's share and the record's share
    std::atomic<int32_t> Gate; // GateOpen, GateHeld or GateClosed
    ZEBEvent* hEvent;          // wakes this reader; fixed while the state lives
    std::atomic<int> Fd;       // this reader's duplicate of the input's descriptor, or NoFile.
                               // Replaced by the consumer only while the reader is idle; closed
                               // by the reader at end of file, or with the state
    uint8_t* Block;            // BlkSz bytes only this reader touches
    uint32_t BlkSz;
    void* hPar;                // host window, copied so the reader never needs the record for it
    void* Player;              // the player its notifications name, likewise copied
    AIOBufType* AIOBuf;        // dereferenced by the reader only while it holds the gate
};

// ---- Reader state ----

static AIOReaderType* NewReader(AIOBufType* AIOBuf)
{
    AIOReaderType* Reader = new (std::nothrow) AIOReaderType;
    if (!Reader)
        return nullptr;
    Reader->Refs.store(1);
    Reader->Gate.store(GateOpen);
    Reader->Fd.store(NoFile);
    Reader->hEvent = CreateEvent(false, false);
    Reader->Block = static_cast<uint8_t*>(malloc(AIOBuf->BlkSz));
    Reader->BlkSz = AIOBuf->BlkSz;
    Reader->hPar = AIOBuf->hPar;
    Reader->Player = AIOBuf->Player;
    RetainHostWindow(Reader->hPar); // an abandoned reader may still post
    Reader->AIOBuf = AIOBuf;
    if (!Reader->hEvent || !Reader->Block) {
        if (Reader->hEvent)
            CloseEvent(Reader->hEvent);
        free(Reader->Block);
        ReleaseHostWindow(Reader->hPar);
        delete Reader;
        return nullptr;
    }
    ++LiveReaders;
    return Reader;
}

static void ReleaseReader(AIOReaderType* Reader)
{
    if (Reader->Refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    CloseFile(Reader->Fd.load());
    CloseEvent(Reader->hEvent);
    free(Reader->Block);
    ReleaseHostWindow(Reader->hPar);
    delete Reader;
    --LiveReaders;
}

// The reader's hold on the record for one short, non-blocking section.
class ReaderGateHold {
public:
    explicit ReaderGateHold(AIOReaderType* Reader) : Reader_(Reader)
    {
        int32_t Expected = GateOpen;
        Held_ = Reader->Gate.compare_exchange_strong(Expected, GateHeld, std::memory_order_acquire,
                                                     std::memory_order_acquire);
    }
    ~ReaderGateHold()
    {
        if (Held_)
            Reader_->Gate.store(GateOpen, std::memory_order_release);
    }
    ReaderGateHold(const ReaderGateHold&) = delete;
    ReaderGateHold& operator=(const ReaderGateHold&) = delete;
    bool Held() const { return Held_; }

private:
    AIOReaderType* Reader_;
    bool Held_;
};

// ---- Reader thread ----

struct ReadOrderType {
    int Fd;
    int64_t Pos;   // SequentialInput: read on from where the descriptor stands
    uint32_t Size; // 0 = request served
};

// What to read next. False when the reader is to end: no file, or abandoned.
static bool NextReadOrder(AIOReaderType* Reader, ReadOrderType* Order)
{
    ReaderGateHold Hold(Reader);
    if (!Hold.Held())
        return false;
    AIOBufType* AIOBuf = Reader->AIOBuf;
    if (!AIOBuf->InFile.load(std::memory_order_acquire))
        return false;
    // The request is read first: a request published after a new stream's
    // descriptor and offset guarantees that both are seen.
    int32_t Request = AIOBuf->WriteBlkRequest.load(std::memory_order_acquire);
    uint32_t WritePtr = AIOBuf->WritePtr.load(std::memory_order_acquire);
    // One block, cut at the end of the storage and at the bytes still asked for,
    // so that the ring can never be overfilled, even after short reads.
    uint32_t Size = std::min(AIOBuf->BlkSz, AIOBuf->BufSz - WritePtr);
    Order->Size = Request > 0 ? std::min(Size, static_cast<uint32_t>(Request)) : 0;
    Order->Fd = Reader->Fd.load(std::memory_order_acquire);
    Order->Pos = AIOBuf->FilePos.load(std::memory_order_acquire);
    return true;
}

// Reads up to Size bytes at Pos (or in sequence); 0 at end of file and on a
// read error, which ends the input the same way.
static size_t ReadInput(int Fd, int64_t Pos, uint8_t* Out, uint32_t Size)
{
    if (Fd == NoFile)
        return 0;
    for (;;) {
        ssize_t Got = Pos == SequentialInput ? read(Fd, Out, Size) : pread(Fd, Out, Size, Pos);
        if (Got >= 0)
            return static_cast<size_t>(Got);
        if (errno != EINTR)
            return 0;
    }
}

// Copies a block just read into the ring. False when abandoned.
static bool CommitRead(AIOReaderType* Reader, const ReadOrderType& Order, uint32_t Got)
{
    ReaderGateHold Hold(Reader);
    if (!Hold.Held())
        return false;
    AIOBufType* AIOBuf = Reader->AIOBuf;
    if (Got == 0) {
        // Done with this input: let go of it before reporting the end.
        CloseFile(Reader->Fd.exchange(NoFile, std::memory_order_acq_rel));
        AIOBuf->EOFDetect.store(1, std::memory_order_release);
        AIOBuf->WriteBlkRequest.store(0, std::memory_order_release);
        return true;
    }
    uint32_t WritePtr = AIOBuf->WritePtr.load(std::memory_order_acquire);
    if (WritePtr + Got > AIOBuf->BufSz) {
        db_printf("AIO: access overrun\n");
        Got = AIOBuf->BufSz - WritePtr;
    }
    memcpy(AIOBuf->Buf + WritePtr, Reader->Block, Got);
    if (Order.Pos != SequentialInput)
        AIOBuf->FilePos.store(Order.Pos + Got, std::memory_order_release);
    WritePtr += Got;
    if (WritePtr == AIOBuf->BufSz)
        WritePtr = 0;
    // The block is visible before the pointer that covers it.
    AIOBuf->WritePtr.store(WritePtr, std::memory_order_release);
    int32_t Request = AIOBuf->WriteBlkRequest.load(std::memory_order_acquire);
    AIOBuf->WriteBlkRequest.store(Request - static_cast<int32_t>(Got), std::memory_order_release);
    return true;
}

// Serves one wake-up. False when the reader is to end.
static bool ServeRequest(AIOReaderType* Reader)
{
    for (;;) {
        ReadOrderType Order;
        if (!NextReadOrder(Reader, &Order))
            return false;
        if (Order.Size == 0)
            return true;
        if (ReaderFault.exchange(false))
            throw std::runtime_error("injected reader fault");
        WaitIfStalledForTesting();
        size_t Got = ReadInput(Order.Fd, Order.Pos, Reader->Block, Order.Size);
        if (Got < Reader->BlkSz)
            db_printf("AIO: Req %d, Got %d\n", static_cast<int>(Order.Size), static_cast<int>(Got));
        if (!CommitRead(Reader, Order, static_cast<uint32_t>(Got)))
            return false;
    }
}

void FileReadThread(void* AIOStruct)
{
    AIOReaderType* Reader = static_cast<AIOReaderType*>(AIOStruct);
    try {
        do {
            WaitEvent(Reader->hEvent, -1);
        } while (ServeRequest(Reader));
    } catch (...) {
        if (Reader->Gate.load(std::memory_order_acquire) != GateClosed)
            PostHostMessage(Reader->hPar, Reader->Player, ZEB_NTF_ERROR, ZEB_ERR_UNHANDLED_EXCEPTION, ZEB_EXC_READER_THREAD);
    }
    ReleaseReader(Reader);
}

// ---- Reader management (consumer side) ----

static bool StartReader(AIOBufType* AIOBuf)
{
    AIOBuf->Reader = nullptr;
    AIOBuf->hEvent = nullptr;
    AIOBuf->hThread = nullptr;
    AIOReaderType* Reader = NewReader(AIOBuf);
    if (!Reader)
        return false;
    Reader->Refs.store(2); // the record's share and the thread's
    ZEBThread* Thread = StartThread(FileReadThread, Reader, AIOReaderStackSz, nullptr);
    if (!Thread) {
        ReleaseReader(Reader);
        ReleaseReader(Reader);
        return false;
    }
    AIOBuf->Reader = Reader;
    AIOBuf->hEvent = Reader->hEvent;
    AIOBuf->hThread = Thread;
    return true;
}

// Lets go of the current reader: its thread handle and the record's share.
static void DetachReader(AIOBufType* AIOBuf)
{
    if (AIOBuf->hThread)
        CloseThread(AIOBuf->hThread);
    if (AIOBuf->Reader)
        ReleaseReader(AIOBuf->Reader);
    AIOBuf->hThread = nullptr;
    AIOBuf->hEvent = nullptr;
    AIOBuf->Reader = nullptr;
}

// Cuts the current reader off the record for good. Once this returns, the
// reader cannot touch the ring or the record; its state stays readable until
// the record lets go of it.
static void CloseReaderGate(AIOBufType* AIOBuf)
{
    AIOReaderType* Reader = AIOBuf->Reader;
    if (!Reader)
        return;
    int32_t Expected = GateOpen;
    // The reader holds its gate only for a copy of one block.
    while (!Reader->Gate.compare_exchange_weak(Expected, GateClosed, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
        Expected = GateOpen;
        Sleep(0);
    }
    // A reader waiting for work wakes, finds its gate closed and ends.
    SetEvent(Reader->hEvent);
}

static void AbandonReader(AIOBufType* AIOBuf)
{
    CloseReaderGate(AIOBuf);
    DetachReader(AIOBuf);
}

// Gives the current reader the descriptor of the next stream (or none) and
// closes the one it had. Only while the reader is idle or cut off.
static void HandReaderFile(AIOBufType* AIOBuf, int Fd)
{
    if (!AIOBuf->Reader) {
        CloseFile(Fd);
        return;
    }
    CloseFile(AIOBuf->Reader->Fd.exchange(Fd, std::memory_order_acq_rel));
}

// A descriptor of the same open file, not inherited by programs the host runs.
static int DuplicateFile(int Fd)
{
    return Fd == NoFile ? NoFile : fcntl(Fd, F_DUPFD_CLOEXEC, 0);
}

static void WakeReader(AIOBufType* AIOBuf)
{
    if (AIOBuf->hEvent)
        SetEvent(AIOBuf->hEvent);
}

static bool ReaderAlive(AIOBufType* AIOBuf)
{
    return ThreadIsRunning(AIOBuf->hThread) != 0;
}

static void ResetRing(AIOBufType* AIOBuf)
{
    AIOBuf->EOFDetect.store(1, std::memory_order_release);
    AIOBuf->ReadPtr.store(0, std::memory_order_release);
    AIOBuf->WritePtr.store(0, std::memory_order_release);
    AIOBuf->WriteBlkRequest.store(0, std::memory_order_release);
}

// The reader did not finish its request in time: replace it, and end the input.
// The stuck reader keeps its descriptor and closes it when its read returns.
static void ReplaceStuckReader(AIOBufType* AIOBuf)
{
    CloseReaderGate(AIOBuf);
    int32_t Outstanding = AIOBuf->WriteBlkRequest.load(std::memory_order_acquire);
    int CarriedFd = NoFile;
    if (Outstanding != 0) {
        PostHostMessage(AIOBuf->hPar, AIOBuf->Player, ZEB_NTF_ERROR, ZEB_ERR_ASYNC_IO, static_cast<uint32_t>(Outstanding));
        ResetRing(AIOBuf);
    } else if (AIOBuf->Reader) {
        // The request was completed as the time ran out: the ring is intact and
        // the new reader goes on with the same input.
        CarriedFd = DuplicateFile(AIOBuf->Reader->Fd.load(std::memory_order_acquire));
    }
    DetachReader(AIOBuf);
    if (!StartReader(AIOBuf))
        db_printf("AIO: reader thread not restarted\n");
    HandReaderFile(AIOBuf, CarriedFd);
}

// ---- Ring arithmetic ----

uint32_t GetReadBufSz(AIOBufType* AIOBuf)
{
    uint32_t WritePtr = AIOBuf->WritePtr.load(std::memory_order_acquire);
    uint32_t ReadPtr = AIOBuf->ReadPtr.load(std::memory_order_acquire);
    if (WritePtr >= ReadPtr)
        return WritePtr - ReadPtr;
    return AIOBuf->BufSz - ReadPtr + WritePtr;
}

uint32_t GetWriteBufSz(AIOBufType* AIOBuf)
{
    uint32_t WritePtr = AIOBuf->WritePtr.load(std::memory_order_acquire);
    uint32_t ReadPtr = AIOBuf->ReadPtr.load(std::memory_order_acquire);
    uint32_t Free;
    if (ReadPtr < WritePtr)
        Free = AIOBuf->BufSz - WritePtr + ReadPtr;
    else if (ReadPtr > WritePtr)
        Free = ReadPtr - WritePtr;
    else {
        db_printf("buffer empty!\n");
        Free = AIOBuf->BufSz;
    }
    // One block stays free so that a full ring never looks empty.
    return Free > AIOBuf->BlkSz ? Free - AIOBuf->BlkSz : 0;
}

// Copies Size buffered bytes out in ring order and advances ReadPtr.
static void TakeFromRing(AIOBufType* AIOBuf, uint8_t* Out, uint32_t Size)
{
    uint32_t ReadPtr = AIOBuf->ReadPtr.load(std::memory_order_acquire);
    uint32_t First = std::min(Size, AIOBuf->BufSz - ReadPtr);
    memcpy(Out, AIOBuf->Buf + ReadPtr, First);
    memcpy(Out + First, AIOBuf->Buf, Size - First);
    ReadPtr += Size;
    if (ReadPtr >= AIOBuf->BufSz)
        ReadPtr -= AIOBuf->BufSz;
    AIOBuf->ReadPtr.store(ReadPtr, std::memory_order_release);
}

// Asks an idle reader to fill the free space, unless the input has ended or
// less than MinRequest bytes are free.
static void RearmReader(AIOBufType* AIOBuf, uint32_t MinRequest)
{
    if (AIOBuf->WriteBlkRequest.load(std::memory_order_acquire) != 0)
        return;
    if (AIOBuf->EOFDetect.load(std::memory_order_acquire) != 0)
        return;
    uint32_t Request = GetWriteBufSz(AIOBuf);
    if (Request == 0 || Request < MinRequest)
        return;
    AIOBuf->WriteBlkRequest.store(static_cast<int32_t>(Request), std::memory_order_release);
    WakeReader(AIOBuf);
}

// ---- Interface ----

AIOBufType* InitAIOBuffers(uint32_t UnityBlkSz, void* hPar, void* Player)
{
    if (UnityBlkSz == 0 || UnityBlkSz > static_cast<uint32_t>(INT32_MAX) / BlkBufFactor)
        return nullptr;
    AIOBufType* AIOBuf = new (std::nothrow) AIOBufType{};
    if (!AIOBuf)
        return nullptr;
    AIOBuf->BlkSz = UnityBlkSz;
    AIOBuf->BufSz = UnityBlkSz * BlkBufFactor;
    AIOBuf->Buf = static_cast<uint8_t*>(calloc(AIOBuf->BufSz, 1));
    AIOBuf->hPar = hPar;
    AIOBuf->Player = Player;
    AIOBuf->InFile.store(nullptr);
    AIOBuf->FilePos.store(SequentialInput);
    ResetRing(AIOBuf);
    if (!AIOBuf->Buf || !StartReader(AIOBuf)) {
        free(AIOBuf->Buf);
        delete AIOBuf;
        return nullptr;
    }
    return AIOBuf;
}

void FreeAIOBuffers(AIOBufType* AIOBuf)
{
    if (!AIOBuf)
        return;
    SyncAIOStream(AIOBuf);
    AIOBuf->InFile.store(nullptr, std::memory_order_release);
    WakeReader(AIOBuf);
    bool Ended = WaitThread(AIOBuf->hThread, FreeWaitMs) != 0;
    db_printf("AIO: LastError: %d\n", errno);
    if (Ended)
        DetachReader(AIOBuf);
    else
        AbandonReader(AIOBuf);
    db_printf("AIO: LastError: %d\n", errno);
    free(AIOBuf->Buf);
    delete AIOBuf;
}

// Where Fi stands, or SequentialInput when it cannot seek or has no descriptor.
static int64_t StartOffset(FILE* Fi)
{
    if (fileno(Fi) < 0)
        return SequentialInput;
    off_t Start = ftello(Fi);
    return Start < 0 ? SequentialInput : static_cast<int64_t>(Start);
}

// Fills the start of the ring from where Fi stands, on the caller's thread.
// A seekable input is read at that offset without moving Fi. An input read in
// sequence (a pipe) is read through Fi, so that what its buffer already holds
// comes first; the reader then goes on from the descriptor.
static uint32_t FirstFill(AIOBufType* AIOBuf, FILE* Fi, int64_t Pos)
{
    uint32_t Want = InitialFillBlocks * AIOBuf->BlkSz;
    if (Pos == SequentialInput)
        return static_cast<uint32_t>(fread(AIOBuf->Buf, 1, Want, Fi));
    uint32_t Got = 0;
    while (Got < Want) {
        size_t More = ReadInput(fileno(Fi), Pos + Got, AIOBuf->Buf + Got, Want - Got);
        if (More == 0)
            break;
        Got += static_cast<uint32_t>(More);
    }
    return Got;
}

void StartAIOStream(AIOBufType* AIOBuf, FILE* Fi)
{
    if (!AIOBuf)
        return;
    if (AIOBuf->WriteBlkRequest.load(std::memory_order_acquire) != 0)
        SyncAIOStream(AIOBuf); // the reader must be idle before the ring is reset
    HandReaderFile(AIOBuf, NoFile);
    AIOBuf->InFile.store(Fi, std::memory_order_release);
    AIOBuf->ReadPtr.store(0, std::memory_order_release);
    AIOBuf->WritePtr.store(0, std::memory_order_release);
    AIOBuf->WriteBlkRequest.store(0, std::memory_order_release);
    AIOBuf->EOFDetect.store(1, std::memory_order_release);
    AIOBuf->FilePos.store(SequentialInput, std::memory_order_release);
    if (!Fi)
        return;
    int64_t Pos = StartOffset(Fi);
    // Fill a few blocks at once so that the consumer has data without waiting.
    uint32_t Got = FirstFill(AIOBuf, Fi, Pos);
    AIOBuf->WritePtr.store(Got, std::memory_order_release);
    if (Pos != SequentialInput)
        AIOBuf->FilePos.store(Pos + Got, std::memory_order_release);
    int Fd = Got ? DuplicateFile(fileno(Fi)) : NoFile;
    if (Fd == NoFile)
        return; // nothing more can be read: the consumer drains what is there
    HandReaderFile(AIOBuf, Fd);
    AIOBuf->EOFDetect.store(0, std::memory_order_release);
    uint32_t Request = GetWriteBufSz(AIOBuf);
    AIOBuf->WriteBlkRequest.store(static_cast<int32_t>(Request), std::memory_order_release);
    if (Request)
        WakeReader(AIOBuf);
}

uint32_t ReadAIOBuf(AIOBufType* AIOBuf, void* Buffer, uint32_t Size)
{
    if (!AIOBuf || !Buffer)
        return 0;
    uint8_t* Out = static_cast<uint8_t*>(Buffer);
    // More than the ring can ever hold would never arrive.
    Size = std::min(Size, AIOBuf->BufSz - AIOBuf->BlkSz);
    for (;;) {
        if (Size <= GetReadBufSz(AIOBuf)) {
            TakeFromRing(AIOBuf, Out, Size);
            // Refills go out in batches of blocks: waking the reader for
            // every block taken would cost a thread switch per block.
            RearmReader(AIOBuf, AIOBuf->BlkSz * RefillBatchBlocks);
            return Size;
        }
        // At end of file, or with no reader left to fill the ring, drain what is there.
        if (AIOBuf->EOFDetect.load(std::memory_order_acquire) != 0 || !ReaderAlive(AIOBuf)) {
            uint32_t Count = std::min(Size, GetReadBufSz(AIOBuf));
            TakeFromRing(AIOBuf, Out, Count);
            return Count;
        }
        RearmReader(AIOBuf, 1);
        SyncAIOStream(AIOBuf);
    }
}

void SyncAIOStream(AIOBufType* AIOBuf)
{
    if (!AIOBuf)
        return;
    uint32_t StartTime = GetTickCount();
    if (!ReaderAlive(AIOBuf))
        return;
    int32_t Limit = static_cast<int32_t>(std::min<uint32_t>(SyncTimeoutMs.load(), INT32_MAX));
    while (AIOBuf->WriteBlkRequest.load(std::memory_order_acquire) != 0) {
        int32_t Waited = TickDelta(StartTime);
        if (Waited >= Limit) {
            ReplaceStuckReader(AIOBuf);
            return;
        }
        if (!ReaderAlive(AIOBuf))
            return;
        Sleep(Waited < YieldOnlyMs ? 0 : 1);
    }
}

void FlushAIOBuffers(AIOBufType* AIOBuf)
{
    if (!AIOBuf)
        return;
    SyncAIOStream(AIOBuf);
    uint32_t Unread = GetReadBufSz(AIOBuf);
    FILE* File = AIOBuf->InFile.load(std::memory_order_acquire);
    int64_t Pos = AIOBuf->FilePos.load(std::memory_order_acquire);
    // The reader left Fi where the stream started; the consumer's position is
    // the reader's minus what it has not taken. A pipe cannot go back.
    if (File && Pos != SequentialInput)
        fseeko(File, static_cast<off_t>(Pos - Unread), SEEK_SET);
    db_printf("ReadPtr: %d\n", static_cast<int>(AIOBuf->ReadPtr.load()));
    db_printf("WritePtr: %d\n", static_cast<int>(AIOBuf->WritePtr.load()));
    db_printf("BufSz: %d\n", static_cast<int>(Unread));
    HandReaderFile(AIOBuf, NoFile);
    ResetRing(AIOBuf);
}

int32_t TickDeltaFrom(uint32_t StartTime, uint32_t Now)
{
    // Unsigned subtraction is exact modulo 2^32, across the counter's wrap.
    return static_cast<int32_t>(Now - StartTime);
}

int32_t TickDelta(uint32_t StartTime)
{
    return TickDeltaFrom(StartTime, GetTickCount());
}

void SetAIOTimeoutForTesting(uint32_t Ms)
{
    SyncTimeoutMs.store(Ms);
}

void SetAIOReaderFaultForTesting(bool Fault)
{
    ReaderFault.store(Fault);
}

int AIOLiveReadersForTesting(void)
{
    return LiveReaders.load();
}

void SetAIOReaderStallForTesting(bool Stall)
{
    std::lock_guard<std::mutex> Hold(StallLock);
    StallArmed = Stall;
    if (!Stall) {
        StallActive = false;
        StallCleared.notify_all();
    }
}
