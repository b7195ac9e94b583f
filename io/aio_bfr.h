// Read-ahead ring buffer filled from an input file by a reader thread.
//
// One consumer thread (the player's audio thread) takes whole blocks; one
// reader thread refills the ring on request. No lock: each shared field has
// one writer at a time and is read with acquire / written with release
// ordering. A reader that does not finish a request in time is abandoned and
// replaced; it reads into private storage and can no longer reach the ring.
//
// The reader never touches the caller's FILE*: it reads a duplicate of the
// file's descriptor at explicit offsets, so that a read stalled for good
// holds nothing the consumer's thread may later wait for (the stream's lock
// in fclose or fseek). The FILE*'s own position is left alone while
// streaming; FlushAIOBuffers sets it to the consumer's position.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

struct ZEBEvent;
struct ZEBThread;
struct AIOReaderType;

constexpr uint32_t BlkBufFactor = 100;
// After a take the reader is woken again only once this many blocks are
// free, so that it reads in batches instead of one thread switch per block.
constexpr uint32_t RefillBatchBlocks = 16;
constexpr uint32_t AIOTimeoutMs = 60000;
constexpr size_t AIOReaderStackSz = 0x4000;

struct AIOBufType {
    uint8_t* Buf;                            // ring storage, BufSz bytes
    std::atomic<uint32_t> ReadPtr;           // written by the consumer only
    std::atomic<uint32_t> WritePtr;          // advanced by the reader while a request runs;
                                             // reset by the consumer while the reader is idle
    uint32_t BufSz;                          // BlkSz * BlkBufFactor; fixed after creation
    uint32_t BlkSz;                          // fixed after creation
    std::atomic<int32_t> EOFDetect;          // 1 = no refill is to be requested
    std::atomic<int32_t> WriteBlkRequest;    // bytes asked of the reader; 0 = idle.
                                             // Set by the consumer only while 0, counted down by the reader
    std::atomic<FILE*> InFile;               // not owned, never read by the reader;
                                             // null ends a woken reader
    std::atomic<int64_t> FilePos;            // file offset after the last byte read; -1 for
                                             // an input read in sequence (pipe). Advanced by
                                             // the reader while a request runs, set by the
                                             // consumer while the reader is idle
    ZEBEvent* hEvent;                        // the current reader's wake-up event (owned by
                                             // Reader); consumer-only field
    ZEBThread* hThread;                      // the current reader; consumer-only field
    void* hPar;                              // host window for error notifications
    void* Player;                            // the player those notifications name (never dereferenced)
    AIOReaderType* Reader;                   // the current reader's private state; consumer-only field
};

AIOBufType* InitAIOBuffers(uint32_t UnityBlkSz, void* hPar, void* Player);
void FreeAIOBuffers(AIOBufType* AIOBuf);
void StartAIOStream(AIOBufType* AIOBuf, FILE* Fi);
uint32_t ReadAIOBuf(AIOBufType* AIOBuf, void* Buffer, uint32_t Size);
void SyncAIOStream(AIOBufType* AIOBuf);
void FlushAIOBuffers(AIOBufType* AIOBuf);
uint32_t GetReadBufSz(AIOBufType* AIOBuf);
uint32_t GetWriteBufSz(AIOBufType* AIOBuf);
int32_t TickDelta(uint32_t StartTime);
// Milliseconds from StartTime to Now on the wrapping 32-bit tick counter.
int32_t TickDeltaFrom(uint32_t StartTime, uint32_t Now);
void FileReadThread(void* AIOStruct);

// Test hooks.
// The time-out of SyncAIOStream in milliseconds (production AIOTimeoutMs).
void SetAIOTimeoutForTesting(uint32_t Ms);
// When set, the next block read by a reader thread throws, as a fault would.
void SetAIOReaderFaultForTesting(bool Fault);
// Reader states alive, current and abandoned together.
int AIOLiveReadersForTesting(void);
// When set, the next read by a reader thread blocks until this is cleared,
// as a read on a stalled device would.
void SetAIOReaderStallForTesting(bool Stall);
