// Read-ahead ring buffer filled from an input file by a reader thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

struct ZEBEvent;
struct ZEBThread;
struct AIOReaderType;

constexpr uint32_t BlkBufFactor = 100;
constexpr uint32_t AIOTimeoutMs = 60000;

struct AIOBufType {
    uint8_t* Buf;                            // ring storage, BufSz bytes
    std::atomic<uint32_t> ReadPtr;           // written by the consumer only
    std::atomic<uint32_t> WritePtr;          // advanced by the reader while a request runs
    uint32_t BufSz;
    uint32_t BlkSz;
    std::atomic<int32_t> EOFDetect;          // 1 = no refill is to be requested
    std::atomic<int32_t> WriteBlkRequest;    // bytes asked of the reader; 0 = idle
    std::atomic<FILE*> InFile;               // not owned; null ends a woken reader
    ZEBEvent* hEvent;                        // auto-reset, wakes the reader
    ZEBThread* hThread;
    void* hPar;                              // host window for error notifications
    AIOReaderType* Reader;                   // the current reader's private state
};

AIOBufType* InitAIOBuffers(uint32_t UnityBlkSz, void* hPar);
void FreeAIOBuffers(AIOBufType* AIOBuf);
void StartAIOStream(AIOBufType* AIOBuf, FILE* Fi);
uint32_t ReadAIOBuf(AIOBufType* AIOBuf, void* Buffer, uint32_t Size);
void SyncAIOStream(AIOBufType* AIOBuf);
void FlushAIOBuffers(AIOBufType* AIOBuf);
uint32_t GetReadBufSz(AIOBufType* AIOBuf);
uint32_t GetWriteBufSz(AIOBufType* AIOBuf);
int32_t TickDelta(uint32_t StartTime);

// Test hook: the time-out of SyncAIOStream in milliseconds (production 60000).
void SetAIOTimeoutForTesting(uint32_t Ms);
