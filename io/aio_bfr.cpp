// Read-ahead ring buffer filled from an input file by a reader thread.
//
// Each reader thread owns a private state (AIOReaderType): its wake-up event
// and a block of storage that it reads the file into. It copies a block into
// the ring, and touches the record at all, only while holding its gate. The
// consumer closes the gate of a reader that has not finished in time and
// starts a new one; the old thread may stay blocked in its read, but when it
// returns it finds the gate closed, frees its private state and ends.
#include "aio_bfr.h"

#include "zeb-audiodefs.h"
#include "zeb_platform.h"

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

std::atomic<uint32_t> SyncTimeoutMs{AIOTimeoutMs};
std::atomic<bool> ReaderFault{false};
std::atomic<int> LiveReaders{0};

} // namespace

// A reader's private state, shared by the reader thread and, while the reader
// is current, the record; freed by whichever lets go last.
struct AIOReaderType {
    std::atomic<int32_t> Refs; // the thread's share and the record's share
    std::atomic<int32_t> Gate; // GateOpen, GateHeld or GateClosed
    ZEBEvent* hEvent;          // wakes this reader; fixed while the state lives
    uint8_t* Block;            // BlkSz bytes only this reader touches
    uint32_t BlkSz;
    void* hPar;                // host window, copied so the reader never needs the record for it
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
    Reader->hEvent = CreateEvent(false, false);
    Reader->Block = static_cast<uint8_t*>(malloc(AIOBuf->BlkSz));
    Reader->BlkSz = AIOBuf->BlkSz;
    Reader->hPar = AIOBuf->hPar;
    Reader->AIOBuf = AIOBuf;
    if (!Reader->hEvent || !Reader->Block) {
        if (Reader->hEvent)
            CloseEvent(Reader->hEvent);
        free(Reader->Block);
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
    CloseEvent(Reader->hEvent);
    free(Reader->Block);
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
    FILE* File;
    uint32_t Size; // 0 = request served
};

// What to read next. False when the reader is to end: no file, or abandoned.
static bool NextReadOrder(AIOReaderType* Reader, ReadOrderType* Order)
{
    ReaderGateHold Hold(Reader);
    if (!Hold.Held())
        return false;
    AIOBufType* AIOBuf = Reader->AIOBuf;
    Order->File = AIOBuf->InFile.load(std::memory_order_acquire);
    if (!Order->File)
        return false;
    int32_t Request = AIOBuf->WriteBlkRequest.load(std::memory_order_acquire);
    uint32_t WritePtr = AIOBuf->WritePtr.load(std::memory_order_acquire);
    // One block, cut at the end of the storage and at the bytes still asked for,
    // so that the ring can never be overfilled, even after short reads.
    uint32_t Size = std::min(AIOBuf->BlkSz, AIOBuf->BufSz - WritePtr);
    Order->Size = Request > 0 ? std::min(Size, static_cast<uint32_t>(Request)) : 0;
    return true;
}

// Copies a block just read into the ring. False when abandoned.
static bool CommitRead(AIOReaderType* Reader, uint32_t Got)
{
    ReaderGateHold Hold(Reader);
    if (!Hold.Held())
        return false;
    AIOBufType* AIOBuf = Reader->AIOBuf;
    if (Got == 0) {
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
        size_t Got = fread(Reader->Block, 1, Order.Size, Order.File);
        if (Got < Reader->BlkSz)
            db_printf("AIO: Req %d, Got %d\n", static_cast<int>(Order.Size), static_cast<int>(Got));
        if (!CommitRead(Reader, static_cast<uint32_t>(Got)))
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
            PostHostMessage(Reader->hPar, ZEB_NTF_ERROR, ZEB_ERR_UNHANDLED_EXCEPTION, ZEB_EXC_READER_THREAD);
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

// Cuts the current reader off the record for good and lets go of it. Once this
// returns, the reader cannot touch the ring or the record.
static void AbandonReader(AIOBufType* AIOBuf)
{
    AIOReaderType* Reader = AIOBuf->Reader;
    if (Reader) {
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
    DetachReader(AIOBuf);
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
static void ReplaceStuckReader(AIOBufType* AIOBuf)
{
    AbandonReader(AIOBuf);
    int32_t Outstanding = AIOBuf->WriteBlkRequest.load(std::memory_order_acquire);
    if (Outstanding != 0) {
        PostHostMessage(AIOBuf->hPar, ZEB_NTF_ERROR, ZEB_ERR_ASYNC_IO, static_cast<uint32_t>(Outstanding));
        ResetRing(AIOBuf);
    }
    // Otherwise the request was completed as the time ran out; the ring is intact.
    if (!StartReader(AIOBuf))
        db_printf("AIO: reader thread not restarted\n");
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

AIOBufType* InitAIOBuffers(uint32_t UnityBlkSz, void* hPar)
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
    AIOBuf->InFile.store(nullptr);
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

void StartAIOStream(AIOBufType* AIOBuf, FILE* Fi)
{
    if (!AIOBuf)
        return;
    if (AIOBuf->WriteBlkRequest.load(std::memory_order_acquire) != 0)
        SyncAIOStream(AIOBuf); // the reader must be idle before the ring is reset
    AIOBuf->InFile.store(Fi, std::memory_order_release);
    AIOBuf->ReadPtr.store(0, std::memory_order_release);
    AIOBuf->WritePtr.store(0, std::memory_order_release);
    AIOBuf->WriteBlkRequest.store(0, std::memory_order_release);
    AIOBuf->EOFDetect.store(0, std::memory_order_release);
    // Fill a few blocks at once so that the consumer has data without waiting.
    size_t Got = Fi ? fread(AIOBuf->Buf, 1, InitialFillBlocks * AIOBuf->BlkSz, Fi) : 0;
    if (Got == 0) {
        AIOBuf->EOFDetect.store(1, std::memory_order_release);
        return;
    }
    AIOBuf->WritePtr.store(static_cast<uint32_t>(Got), std::memory_order_release);
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
    if (File && Unread)
        fseeko(File, -static_cast<off_t>(Unread), SEEK_CUR);
    db_printf("ReadPtr: %d\n", static_cast<int>(AIOBuf->ReadPtr.load()));
    db_printf("WritePtr: %d\n", static_cast<int>(AIOBuf->WritePtr.load()));
    db_printf("BufSz: %d\n", static_cast<int>(Unread));
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
