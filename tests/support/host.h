// Test helpers: a recording host window, a test output module, fixtures.
#pragma once

#include "zeb-audio.h"

#include <atomic>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zebtest {

// Name of a host message, for readable failures ("RSP_OK(0x8003,0)").
std::string MessageName(const ZEBMessage& Msg);
std::string Describe(const std::vector<ZEBMessage>& Msgs);

// A host window that collects what a player posts.
class Host {
public:
    Host();
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;
    ZEBWindow* Window() const { return Window_; }
    // Next message within TimeoutMs; false on time-out.
    bool Next(ZEBMessage* Msg, int TimeoutMs = 10000);
    // Takes messages until one matches (Msg, wParam); returns every message
    // taken, the match last. Fails the test on time-out.
    std::vector<ZEBMessage> Until(uint32_t Msg, uint32_t wParam, int TimeoutMs = 20000);
    // Takes exactly N messages (fails the test on time-out).
    std::vector<ZEBMessage> Take(size_t N, int TimeoutMs = 10000);
    // Sends "Ping" and takes everything up to its ZEB_NTF_PONG; the ping's
    // own two messages are removed from the result.
    std::vector<ZEBMessage> Drain(void* Player, int TimeoutMs = 20000);
    // Everything that arrives within QuietMs of silence.
    std::vector<ZEBMessage> Settle(int QuietMs = 200);

private:
    ZEBWindow* Window_;
};

ZEBMessage Msg(uint32_t M, uint32_t W, uint32_t L);
bool Same(const std::vector<ZEBMessage>& A, const std::vector<ZEBMessage>& B);

// A host output module that records everything it is asked to do. Create it,
// set its behaviour, then open it with TestOutput::Open(Player, &Out).
struct TestOutput {
    std::mutex Lock; // guards Data, Calls and the format fields
    std::vector<uint8_t> Data;      // every byte written, in order
    std::vector<uint32_t> Writes;   // size of each write
    std::vector<std::string> Calls; // "create", "open", "write", "close", "cmd:8001", "delete"
    uint16_t LastChannels = 0;
    uint32_t LastRate = 0;
    std::atomic<int> CreateResult{1};
    std::atomic<int> OpenResult{1};
    std::atomic<int> CmdResult{1};
    std::atomic<int> ThrowOnCmd{0};   // throw from OutputCmd when set
    std::atomic<int> WriteDelayMs{0}; // sleep in every write (paces playback)
    std::atomic<int> CmdDelayMs{0};   // sleep in every output command
    std::atomic<bool> KeepData{true}; // false: writes are counted, not kept
    bool WithCreate = true;
    bool WithCmd = true;
    bool WithBufferedMs = false;    // registers OutputBufferedMs, answering BufferedMs
    std::atomic<uint32_t> BufferedMs{0};

    static void Open(void* Player, TestOutput* Out, const char* Name = "TEST");
    std::vector<std::string> CallLog();
    size_t Count(const std::string& Call);
    std::vector<uint8_t> Bytes();
};

// ---- Fixtures ----

std::string FixtureDir();            // created on first use
std::string FixturePath(const std::string& Name);
// Deterministic 16-bit PCM test signal: a ramp mixed with a tone per channel.
std::vector<uint8_t> TestPcm(uint32_t Frames, uint16_t Channels, uint32_t Rate);
// Writes a RIFF WAVE PCM file; Data is written as the data chunk body.
void WriteWav(const std::string& Path, uint32_t Rate, uint16_t Channels, uint16_t Bits,
              const std::vector<uint8_t>& Data);
std::vector<uint8_t> ReadFile(const std::string& Path);
void WriteFile(const std::string& Path, const std::vector<uint8_t>& Bytes);
// Runs a shell command; true when it exits with status 0.
bool Run(const std::string& Command);
bool HaveTool(const std::string& Tool);
// Makes the fixture Path once: Make(Own) gives the shell command that writes
// Own, a name of this process in Path's folder ending like Path, which is
// then renamed into place whole, so that tests running in parallel never
// read half a file. True when Path is there afterwards.
bool MakeFixtureOnce(const std::string& Path, const std::function<std::string(const std::string& Own)>& Make);
// Writes Bytes to a fixture under a name of this process, so that test
// processes running side by side never share a half-written file; the file
// is removed when the process exits. Returns its path.
std::string WritePrivateFixture(const std::string& Name, const std::vector<uint8_t>& Bytes);
// Calls Visit with the path of every regular file below Dir (recursively).
void ForEachFile(const std::string& Dir, const std::function<void(const std::string&)>& Visit);
// The descriptors this process holds open on the file at Path (the same
// file, by device and inode); CloseOnExec counts those marked close-on-exec.
size_t DescriptorsOn(const std::string& Path, size_t* CloseOnExec);
// Plays every corpus file that Select picks, one after the other, through
// a test output module: each must play to its end or be refused with
// error 1. After each file, After (if set) runs with its path. Returns the
// number of files tried (0: no corpus here).
size_t PlayCorpusFiles(const std::function<bool(const std::string&)>& Select,
                       const std::function<void(const std::string&)>& After = nullptr);
// libmpg123 decoding a whole file on its own, with the player's settings
// (signed 16-bit at the stream's rate and channels, no gapless trimming).
std::vector<uint8_t> DecodeWithLibmpg123(const std::string& Path);

} // namespace zebtest
