#include "support/host.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zebtest {

static const char* HostName(uint32_t M)
{
    switch (M) {
    case ZEB_RSP_ERROR: return "RSP_ERROR";
    case ZEB_RSP_OK: return "RSP_OK";
    case ZEB_NTF_PLAY_STATE: return "NTF_PLAY_STATE";
    case ZEB_NTF_POSITION: return "NTF_POSITION";
    case ZEB_NTF_ELAPSED_TIME: return "NTF_ELAPSED_TIME";
    case ZEB_NTF_INPUT_OPENED: return "NTF_INPUT_OPENED";
    case ZEB_NTF_PONG: return "NTF_PONG";
    case ZEB_NTF_PRELOAD: return "NTF_PRELOAD";
    case ZEB_NTF_ERROR: return "NTF_ERROR";
    case ZEB_NTF_MAIN_VOLUME: return "NTF_MAIN_VOLUME";
    default: return "?";
    }
}

std::string MessageName(const ZEBMessage& Msg)
{
    char Text[96];
    snprintf(Text, sizeof Text, "%s(0x%x,%u)", HostName(Msg.Msg), Msg.wParam, Msg.lParam);
    return Text;
}

std::string Describe(const std::vector<ZEBMessage>& Msgs)
{
    std::string Out;
    for (const ZEBMessage& M : Msgs)
        Out += MessageName(M) + " ";
    return Out;
}

ZEBMessage Msg(uint32_t M, uint32_t W, uint32_t L) { return ZEBMessage{M, W, L, nullptr}; }

bool Same(const std::vector<ZEBMessage>& A, const std::vector<ZEBMessage>& B)
{
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (A[i].Msg != B[i].Msg || A[i].wParam != B[i].wParam || A[i].lParam != B[i].lParam)
            return false;
    return true;
}

Host::Host() : Window_(ZEBWindowCreate()) {}
Host::~Host() { ZEBWindowDestroy(Window_); }

bool Host::Next(ZEBMessage* Out, int TimeoutMs) { return ZEBWindowGetMessage(Window_, Out, TimeoutMs) == 1; }

std::vector<ZEBMessage> Host::Until(uint32_t M, uint32_t W, int TimeoutMs)
{
    std::vector<ZEBMessage> Got;
    auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (;;) {
        auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(End - std::chrono::steady_clock::now()).count();
        ZEBMessage Taken;
        if (Left <= 0 || !Next(&Taken, static_cast<int>(Left))) {
            ADD_FAILURE() << "timed out waiting for " << MessageName(ZEBMessage{M, W, 0, nullptr}) << " after " << Describe(Got);
            return Got;
        }
        Got.push_back(Taken);
        if (Taken.Msg == M && Taken.wParam == W)
            return Got;
    }
}

std::vector<ZEBMessage> Host::Take(size_t N, int TimeoutMs)
{
    std::vector<ZEBMessage> Got;
    while (Got.size() < N) {
        ZEBMessage Taken;
        if (!Next(&Taken, TimeoutMs)) {
            ADD_FAILURE() << "timed out after " << Describe(Got);
            break;
        }
        Got.push_back(Taken);
    }
    return Got;
}

std::vector<ZEBMessage> Host::Drain(void* Player, int TimeoutMs)
{
    ZEBAudioPing(Player);
    std::vector<ZEBMessage> Got = Until(ZEB_NTF_PONG, 0, TimeoutMs);
    if (Got.size() >= 2 && Got[Got.size() - 2].Msg == ZEB_RSP_OK && Got[Got.size() - 2].wParam == ZEB_CMD_PING)
        Got.resize(Got.size() - 2);
    return Got;
}

std::vector<ZEBMessage> Host::Settle(int QuietMs)
{
    std::vector<ZEBMessage> Got;
    ZEBMessage Taken;
    while (Next(&Taken, QuietMs))
        Got.push_back(Taken);
    return Got;
}

// ---- Test output module ----

namespace {
std::mutex RegisterLock; // guards the register-time choices below
bool RegCreate = true, RegCmd = true, RegBuffered = false;
TestOutput* NoCreateTarget = nullptr; // instance of a module opened without OutputCreate

TestOutput* Resolve(void* Inst)
{
    if (Inst)
        return static_cast<TestOutput*>(Inst);
    std::lock_guard<std::mutex> G(RegisterLock);
    return NoCreateTarget;
}

int TOCreate(void** Inst, void* Params)
{
    TestOutput* Out = static_cast<TestOutput*>(Params);
    *Inst = Out;
    std::lock_guard<std::mutex> G(Out->Lock);
    Out->Calls.push_back("create");
    return Out->CreateResult.load();
}
void TODelete(void* Inst)
{
    TestOutput* Out = Resolve(Inst);
    std::lock_guard<std::mutex> G(Out->Lock);
    Out->Calls.push_back("delete");
}
int TOOpen(void* Inst)
{
    TestOutput* Out = Resolve(Inst);
    std::lock_guard<std::mutex> G(Out->Lock);
    Out->Calls.push_back("open");
    return Out->OpenResult.load();
}
void TOClose(void* Inst)
{
    TestOutput* Out = Resolve(Inst);
    std::lock_guard<std::mutex> G(Out->Lock);
    Out->Calls.push_back("close");
}
void TOWrite(void* Inst, void* Buf, uint32_t Size, uint16_t Bps, uint16_t Channels, uint32_t Rate)
{
    TestOutput* Out = Resolve(Inst);
    int Delay = Out->WriteDelayMs.load();
    if (Delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Delay));
    std::lock_guard<std::mutex> G(Out->Lock);
    Out->Calls.push_back("write");
    const uint8_t* Bytes = static_cast<const uint8_t*>(Buf);
    if (Out->KeepData)
        Out->Data.insert(Out->Data.end(), Bytes, Bytes + Size);
    Out->Writes.push_back(Size);
    Out->LastChannels = Channels;
    Out->LastRate = Rate;
    (void)Bps;
}
uint32_t TOBuffered(void* Inst)
{
    return static_cast<uint32_t>(Resolve(Inst)->BufferedMs.load());
}

int TOCmd(void* Inst, uint32_t Cmd, uint32_t Param)
{
    TestOutput* Out = Resolve(Inst);
    {
        std::lock_guard<std::mutex> G(Out->Lock);
        char Text[32];
        snprintf(Text, sizeof Text, "cmd:%x:%u", Cmd, Param);
        Out->Calls.push_back(Text);
    }
    int Delay = Out->CmdDelayMs.load();
    if (Delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(Delay));
    if (Out->ThrowOnCmd.load())
        throw std::runtime_error("test output failure");
    return Out->CmdResult.load();
}

// The register function cannot take an argument; the module table is
// chosen from the flags of the output being opened, recorded by Open.
void TORegister(OutputModule* M)
{
    std::lock_guard<std::mutex> G(RegisterLock);
    M->OutputCreate = RegCreate ? TOCreate : nullptr;
    M->OutputDelete = TODelete;
    M->OutputOpen = TOOpen;
    M->OutputClose = TOClose;
    M->OutputWrite = TOWrite;
    M->OutputCmd = RegCmd ? TOCmd : nullptr;
    M->OutputBufferedMs = RegBuffered ? TOBuffered : nullptr;
}
} // namespace

void TestOutput::Open(void* Player, TestOutput* Out, const char* Name)
{
    {
        std::lock_guard<std::mutex> G(RegisterLock);
        RegCreate = Out->WithCreate;
        RegCmd = Out->WithCmd;
        RegBuffered = Out->WithBufferedMs;
        if (!Out->WithCreate)
            NoCreateTarget = Out;
    }
    ZEBAudioOutputOpenModule(Player, Name, TORegister, Out);
}

std::vector<std::string> TestOutput::CallLog()
{
    std::lock_guard<std::mutex> G(Lock);
    return Calls;
}

size_t TestOutput::Count(const std::string& Call)
{
    std::lock_guard<std::mutex> G(Lock);
    size_t N = 0;
    for (const std::string& C : Calls)
        N += C == Call;
    return N;
}

std::vector<uint8_t> TestOutput::Bytes()
{
    std::lock_guard<std::mutex> G(Lock);
    return Data;
}

// ---- Fixtures ----

std::string FixtureDir()
{
    std::string Dir = ZEB_FIXTURE_DIR;
    mkdir(Dir.c_str(), 0755);
    return Dir;
}

std::string FixturePath(const std::string& Name) { return FixtureDir() + "/" + Name; }

std::vector<uint8_t> TestPcm(uint32_t Frames, uint16_t Channels, uint32_t Rate)
{
    std::vector<uint8_t> Out(static_cast<size_t>(Frames) * Channels * 2);
    for (uint32_t i = 0; i < Frames; ++i)
        for (uint16_t c = 0; c < Channels; ++c) {
            double Tone = std::sin(2.0 * M_PI * (440.0 * (c + 1)) * i / Rate);
            int16_t S = static_cast<int16_t>(Tone * 8000.0) + static_cast<int16_t>((i * 7 + c * 3) % 256);
            size_t At = (static_cast<size_t>(i) * Channels + c) * 2;
            Out[At] = static_cast<uint8_t>(S & 0xFF);
            Out[At + 1] = static_cast<uint8_t>((S >> 8) & 0xFF);
        }
    return Out;
}

static void Put32(std::vector<uint8_t>& V, uint32_t X)
{
    for (int i = 0; i < 4; ++i)
        V.push_back(static_cast<uint8_t>(X >> (8 * i)));
}
static void Put16(std::vector<uint8_t>& V, uint16_t X)
{
    V.push_back(static_cast<uint8_t>(X));
    V.push_back(static_cast<uint8_t>(X >> 8));
}

void WriteWav(const std::string& Path, uint32_t Rate, uint16_t Channels, uint16_t Bits,
              const std::vector<uint8_t>& Data)
{
    std::vector<uint8_t> F;
    uint16_t Align = static_cast<uint16_t>(Channels * Bits / 8);
    F.insert(F.end(), {'R', 'I', 'F', 'F'});
    Put32(F, static_cast<uint32_t>(36 + Data.size()));
    F.insert(F.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(F, 16);
    Put16(F, 1);
    Put16(F, Channels);
    Put32(F, Rate);
    Put32(F, Rate * Align);
    Put16(F, Align);
    Put16(F, Bits);
    F.insert(F.end(), {'d', 'a', 't', 'a'});
    Put32(F, static_cast<uint32_t>(Data.size()));
    F.insert(F.end(), Data.begin(), Data.end());
    WriteFile(Path, F);
}

std::vector<uint8_t> ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& Path, const std::vector<uint8_t>& Bytes)
{
    std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

bool Run(const std::string& Command) { return std::system(Command.c_str()) == 0; }

bool HaveTool(const std::string& Tool) { return Run("command -v " + Tool + " >/dev/null 2>&1"); }

bool MakeFixtureOnce(const std::string& Path, const std::function<std::string(const std::string& Own)>& Make)
{
    if (Run("test -s " + Path))
        return true;
    size_t Slash = Path.find_last_of('/');
    size_t NameAt = Slash == std::string::npos ? 0 : Slash + 1;
    std::string Own = Path.substr(0, NameAt) + "." + std::to_string(getpid()) + "." + Path.substr(NameAt);
    return Run(Make(Own)) && rename(Own.c_str(), Path.c_str()) == 0;
}

namespace {

struct PrivateFixtures {
    std::vector<std::string> Paths;
    ~PrivateFixtures()
    {
        for (const std::string& P : Paths)
            std::remove(P.c_str());
    }
};

} // namespace

std::string WritePrivateFixture(const std::string& Name, const std::vector<uint8_t>& Bytes)
{
    static PrivateFixtures Files;
    std::string Path = FixturePath(std::to_string(getpid()) + "_" + Name);
    WriteFile(Path, Bytes);
    Files.Paths.push_back(Path);
    return Path;
}

void ForEachFile(const std::string& Dir, const std::function<void(const std::string&)>& Visit)
{
    DIR* D = opendir(Dir.c_str());
    if (!D)
        return;
    while (dirent* E = readdir(D)) {
        std::string Name = E->d_name;
        if (Name == "." || Name == "..")
            continue;
        std::string Path = Dir + "/" + Name;
        struct stat St;
        if (stat(Path.c_str(), &St) != 0)
            continue;
        if (S_ISDIR(St.st_mode))
            ForEachFile(Path, Visit);
        else if (S_ISREG(St.st_mode))
            Visit(Path);
    }
    closedir(D);
}

size_t DescriptorsOn(const std::string& Path, size_t* CloseOnExec)
{
    struct stat File;
    size_t Count = 0;
    *CloseOnExec = 0;
    DIR* D = opendir("/proc/self/fd");
    if (!D || stat(Path.c_str(), &File) != 0) {
        if (D)
            closedir(D);
        return 0;
    }
    while (dirent* E = readdir(D)) {
        int Fd = atoi(E->d_name);
        struct stat St;
        if (E->d_name[0] == '.' || Fd == dirfd(D) || fstat(Fd, &St) != 0)
            continue;
        if (St.st_dev != File.st_dev || St.st_ino != File.st_ino)
            continue;
        ++Count;
        if (fcntl(Fd, F_GETFD) & FD_CLOEXEC)
            ++*CloseOnExec;
    }
    closedir(D);
    return Count;
}

static bool HasEndOfStream(const std::vector<ZEBMessage>& Msgs)
{
    for (const ZEBMessage& M : Msgs)
        if (M.Msg == ZEB_NTF_PLAY_STATE && M.wParam == ZEB_PLAYER_STATE_EOS)
            return true;
    return false;
}

size_t PlayCorpusFiles(const std::function<bool(const std::string&)>& Select,
                       const std::function<void(const std::string&)>& After)
{
    std::vector<std::string> Files;
    ForEachFile(ZEB_CORPUS_DIR, [&](const std::string& P) {
        if (Select(P))
            Files.push_back(P);
    });
    if (Files.empty())
        return 0;
    Host H;
    void* Player = ZEBAudioPlayerCreate(H.Window());
    TestOutput Out;
    TestOutput::Open(Player, &Out);
    H.Drain(Player);
    for (const std::string& Path : Files) {
        ZEBAudioInputOpen(Player, Path.c_str());
        ZEBAudioPlay(Player);
        std::vector<ZEBMessage> Got = H.Drain(Player, 60000);
        bool Refused = !Got.empty() && Got[0].Msg == ZEB_RSP_ERROR && Got[0].lParam == ZEB_ERR_INPUT_OPEN;
        bool Opened = !Got.empty() && Got[0].Msg == ZEB_RSP_OK;
        if (Opened && !HasEndOfStream(Got))
            Got = H.Until(ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 120000);
        EXPECT_TRUE(Refused || (Opened && HasEndOfStream(Got))) << Path << ": " << Describe(Got);
        if (After)
            After(Path);
    }
    ZEBAudioPlayerDestroy(Player);
    return Files.size();
}

std::vector<uint8_t> DecodeWithLibmpg123(const std::string& Path)
{
    std::vector<uint8_t> Pcm;
    mpg123_init();
    mpg123_handle* H = mpg123_new(nullptr, nullptr);
    if (!H)
        return Pcm;
    mpg123_param(H, MPG123_FLAGS, MPG123_QUIET, 0);
    mpg123_format_none(H);
    const long* Rates;
    size_t Count;
    mpg123_rates(&Rates, &Count);
    for (size_t i = 0; i < Count; ++i)
        mpg123_format(H, Rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open(H, Path.c_str()) == MPG123_OK) {
        unsigned char Buf[16384];
        for (;;) {
            size_t Got = 0;
            int Ret = mpg123_read(H, Buf, sizeof Buf, &Got);
            Pcm.insert(Pcm.end(), Buf, Buf + Got);
            if (Ret == MPG123_DONE || (Ret != MPG123_OK && Ret != MPG123_NEW_FORMAT))
                break;
        }
        mpg123_close(H);
    }
    mpg123_delete(H);
    return Pcm;
}

} // namespace zebtest
