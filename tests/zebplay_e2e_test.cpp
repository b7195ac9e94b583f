// zebplay playing on the sound server's default device, and driven by keys
// through a pseudo-terminal. Skips when no PulseAudio server answers.
#include "support/host.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <vector>

using namespace zebtest;

namespace {

const char* const Zebplay = ZEB_BUILD_DIR "/tools/zebplay";
constexpr int WaitMs = 30000; // a deadline against hangs, never a measure
const std::string Right = "\033[C", Left = "\033[D", Up = "\033[A", Down = "\033[B";

ProcessResult Zeb(std::vector<std::string> Args)
{
    Args.insert(Args.begin(), Zebplay);
    return RunProcess(Args, 120000);
}

std::string ToneFile(const std::string& Name, uint32_t Seconds)
{
    std::string Path = FixturePath(Name);
    WriteWav(Path, 44100, 2, 16, TestPcm(44100 * Seconds, 2, 44100));
    return Path;
}

// Elapsed whole seconds shown on a status line ("00:12 / 00:20"), or -1.
int ShownSeconds(const std::string& Line)
{
    static const std::regex Times(R"((\d+):(\d\d) / )");
    std::smatch M;
    if (!std::regex_search(Line, M, Times))
        return -1;
    return std::stoi(M[1]) * 60 + std::stoi(M[2]);
}

bool Has(const std::string& Text, const std::string& Part) { return Text.find(Part) != std::string::npos; }

const char JobStopped[] = "[job stopped]";

// What a shell with job control does for one foreground job: the job gets
// its own process group and the terminal; when it stops, the terminal comes
// back here, JobStopped is printed, and a line typed in continues the job.
[[noreturn]] void RunAsForegroundJob(char** Argv)
{
    signal(SIGTTOU, SIG_IGN);
    pid_t Job = fork();
    if (Job == 0) {
        setpgid(0, 0);
        tcsetpgrp(STDIN_FILENO, getpid());
        signal(SIGTTOU, SIG_DFL);
        execv(Zebplay, Argv);
        _exit(127);
    }
    setpgid(Job, Job);
    tcsetpgrp(STDIN_FILENO, Job);
    for (;;) {
        int Status = 0;
        if (waitpid(Job, &Status, WUNTRACED) != Job)
            _exit(126);
        if (WIFEXITED(Status))
            _exit(WEXITSTATUS(Status));
        if (WIFSIGNALED(Status))
            _exit(128 + WTERMSIG(Status));
        tcsetpgrp(STDIN_FILENO, getpgrp());
        std::string Note = std::string("\r\n") + JobStopped + "\r\n";
        if (write(STDOUT_FILENO, Note.data(), Note.size()) < 0)
            _exit(125);
        char Line[64];
        if (read(STDIN_FILENO, Line, sizeof Line) <= 0)
            _exit(125);
        tcsetpgrp(STDIN_FILENO, Job);
        kill(-Job, SIGCONT);
    }
}

// zebplay on the slave side of a pseudo-terminal; the test types keys into
// the master side and reads the status lines back.
class PtyRun {
public:
    ~PtyRun()
    {
        if (Pid > 0) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        if (Master >= 0)
            close(Master);
    }

    bool Start(const std::vector<std::string>& Args, bool AsJob = false)
    {
        winsize Size{};
        Size.ws_row = 40;
        Size.ws_col = 120;
        Pid = forkpty(&Master, nullptr, nullptr, &Size);
        if (Pid == 0) {
            std::vector<char*> Argv{const_cast<char*>(Zebplay)};
            for (const std::string& A : Args)
                Argv.push_back(const_cast<char*>(A.c_str()));
            Argv.push_back(nullptr);
            if (AsJob)
                RunAsForegroundJob(Argv.data());
            execv(Zebplay, Argv.data());
            _exit(127);
        }
        return Pid > 0;
    }

    void Send(const std::string& Keys) { ASSERT_EQ(write(Master, Keys.data(), Keys.size()), (ssize_t)Keys.size()); }

    // The first complete line after those already looked at that Match
    // accepts; empty at the deadline or when the program has gone.
    std::string WaitForLine(const std::function<bool(const std::string&)>& Match)
    {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        for (;;) {
            std::string Line;
            while (NextLine(&Line))
                if (Match(Line))
                    return Line;
            if (std::chrono::steady_clock::now() > Deadline || !ReadSome(200))
                return "";
        }
    }

    // Waits for the program to end, reading what it still writes.
    bool WaitExit(int* Status)
    {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        while (std::chrono::steady_clock::now() < Deadline) {
            pid_t Done = waitpid(Pid, Status, WNOHANG);
            if (Done == Pid) {
                Pid = -1;
                return true;
            }
            ReadSome(100);
        }
        return false;
    }

    void Signal(int Number) { kill(Pid, Number); }

    // Waits until the program has taken the terminal out of line mode.
    bool WaitForKeyMode()
    {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitMs);
        while (std::chrono::steady_clock::now() < Deadline) {
            if (!TerminalHasLineEditingAndEcho())
                return true;
            ReadSome(50);
        }
        return false;
    }

    bool TerminalHasLineEditingAndEcho()
    {
        termios Mode;
        return tcgetattr(Master, &Mode) == 0 && (Mode.c_lflag & ICANON) && (Mode.c_lflag & ECHO);
    }

    std::string Output; // everything the program wrote

private:
    // Reads what is there within TimeoutMs; false once the slave side closed.
    bool ReadSome(int TimeoutMs)
    {
        pollfd Wait{Master, POLLIN, 0};
        if (poll(&Wait, 1, TimeoutMs) <= 0)
            return true;
        char Buffer[4096];
        ssize_t N = read(Master, Buffer, sizeof Buffer);
        if (N <= 0)
            return false;
        Output.append(Buffer, static_cast<size_t>(N));
        return true;
    }

    // Lines end at a carriage return, a line feed or an erase-to-end.
    bool NextLine(std::string* Line)
    {
        size_t End = Output.find_first_of("\r\n", Scanned);
        size_t Erase = Output.find("\033[K", Scanned);
        if (Erase < End)
            End = Erase;
        if (End == std::string::npos)
            return false;
        *Line = Output.substr(Scanned, End - Scanned);
        Scanned = End + 1;
        return true;
    }

    pid_t Pid = -1;
    int Master = -1;
    size_t Scanned = 0;
};

class ZebplayE2eTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!zebtest::Run("pactl info >/dev/null 2>&1"))
            GTEST_SKIP() << "no PulseAudio server answers (scripts/start-sound-server.sh starts one)";
    }
};

TEST_F(ZebplayE2eTest, DevicesListTheDefaultOutputFirst)
{
    ProcessResult R = Zeb({"--devices"});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(R.Out.rfind("0: ", 0), 0u) << R.Out;
}

TEST_F(ZebplayE2eTest, PlaysFilesToTheEndWithStatusZero)
{
    std::vector<std::string> Files = {ToneFile("zebplay_e2e_short.wav", 2)};
    if (HaveTool("lame")) {
        std::string Mp3 = FixturePath("zebplay_e2e_short.mp3");
        ASSERT_TRUE(zebtest::Run("lame --quiet -b 128 '" + Files[0] + "' '" + Mp3 + "'"));
        Files.push_back(Mp3);
    }
    std::vector<std::string> Args = {"--interval", "500"};
    Args.insert(Args.end(), Files.begin(), Files.end());
    ProcessResult R = Zeb(Args);
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(R.Err, "");
    for (const std::string& File : Files) {
        EXPECT_TRUE(Has(R.Out, File + "  00:02 / 00:02  100%  ended\n")) << R.Out;
        EXPECT_TRUE(std::regex_search(R.Out, std::regex(File + R"(  00:0[01] / 00:02 +\d+%  playing\n)")))
            << R.Out;
    }
    // The lines show what is heard: decoding, which reaches the end a
    // second before the sound does, would show three quarters.
    static const std::regex Playing(R"(  (\d+)%  playing\n)");
    for (std::sregex_iterator It(R.Out.begin(), R.Out.end(), Playing), End; It != End; ++It)
        EXPECT_LT(std::stoi((*It)[1]), 50) << R.Out;
}

TEST_F(ZebplayE2eTest, OutputOptionsAreAccepted)
{
    std::string File = ToneFile("zebplay_e2e_options.wav", 3);
    ProcessResult R = Zeb({"--device", "0", "--volume", "40", "--rate", "1.5", "--preload", "--interval", "100", File});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 0) << R.Err;
    EXPECT_EQ(R.Err, "");
    EXPECT_TRUE(Has(R.Out, "100%  ended")) << R.Out;
}

TEST_F(ZebplayE2eTest, ABadFileIsNamedAndTheOthersStillPlay)
{
    std::string Good = ToneFile("zebplay_e2e_good.wav", 1);
    std::string Bad = FixturePath("zebplay_e2e_bad.wav");
    WriteFile(Bad, std::vector<uint8_t>(500, 0x33));
    ProcessResult R = Zeb({Good, Bad, Good});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_TRUE(Has(R.Err, Bad + ": Audio core error on ommand 'Input Open', error: Input Open Error")) << R.Err;
    size_t First = R.Out.find(Good + "  00:01 / 00:01  100%  ended");
    ASSERT_NE(First, std::string::npos) << R.Out;
    EXPECT_NE(R.Out.find(Good + "  00:01 / 00:01  100%  ended", First + 1), std::string::npos) << R.Out;
}

TEST_F(ZebplayE2eTest, AnUnknownDeviceIsReported)
{
    std::string File = ToneFile("zebplay_e2e_device.wav", 1);
    ProcessResult R = Zeb({"--device", "9999", File});
    ASSERT_TRUE(R.Exited) << DescribeEnd(R);
    EXPECT_EQ(R.ExitCode, 1);
    EXPECT_TRUE(Has(R.Err, "Output Open Error")) << R.Err;
    EXPECT_TRUE(Has(R.Err, "cannot open output device 9999")) << R.Err;
}

TEST_F(ZebplayE2eTest, KeysPauseSeekChangeVolumeAndRateAndQuit)
{
    std::string File = ToneFile("zebplay_e2e_keys.wav", 20);
    PtyRun P;
    ASSERT_TRUE(P.Start({File}));
    auto Shows = [](const std::string& State) {
        return [State](const std::string& Line) { return Has(Line, "] " + State + " "); };
    };
    std::string Line = P.WaitForLine(Shows("playing"));
    ASSERT_NE(Line, "") << P.Output;
    EXPECT_TRUE(Has(Line, "zebplay_e2e_keys.wav")) << Line;
    EXPECT_TRUE(Has(Line, " / 00:20 [")) << Line;
    EXPECT_TRUE(Has(Line, "vol 100%  rate 1.00x")) << Line;

    P.Send(" ");
    Line = P.WaitForLine(Shows("paused"));
    ASSERT_NE(Line, "") << P.Output;
    int Paused = ShownSeconds(Line);
    ASSERT_GE(Paused, 0) << Line;
    ASSERT_LE(Paused, 9) << Line;

    // Paused: the seek moves the position and the player stays paused.
    P.Send(Right);
    Line = P.WaitForLine([&](const std::string& L) { return ShownSeconds(L) >= Paused + 9; });
    ASSERT_NE(Line, "") << P.Output;
    EXPECT_TRUE(Has(Line, "] paused ")) << Line;
    EXPECT_LE(ShownSeconds(Line), Paused + 10) << Line;
    P.Send(Left);
    Line = P.WaitForLine([&](const std::string& L) { int S = ShownSeconds(L);
        return S >= 0 && S <= Paused;
    });
    ASSERT_NE(Line, "") << P.Output;
    EXPECT_TRUE(Has(Line, "] paused ")) << Line;

    P.Send(" ");
    ASSERT_NE(P.WaitForLine(Shows("playing")), "") << P.Output;
    // Playing: the tool pauses around the seek and plays on.
    P.Send(Right);
    Line = P.WaitForLine([&](const std::string& L) { return ShownSeconds(L) >= Paused + 9 && Has(L, "] playing "); });
    ASSERT_NE(Line, "") << P.Output;

    P.Send(Down);
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "vol 95%"); }), "") << P.Output;
    P.Send(Up + Up);
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "vol 100%"); }), "") << P.Output;
    P.Send("]");
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "rate 1.05x"); }), "") << P.Output;
    P.Send("[[");
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "rate 0.95x"); }), "") << P.Output;

    P.Send("q");
    int Status = 0;
    ASSERT_TRUE(P.WaitExit(&Status)) << P.Output;
    ASSERT_TRUE(WIFEXITED(Status)) << P.Output;
    EXPECT_EQ(WEXITSTATUS(Status), 0) << P.Output;
    EXPECT_FALSE(Has(P.Output, "Audio core error")) << P.Output;
    EXPECT_TRUE(P.TerminalHasLineEditingAndEcho());
}

TEST_F(ZebplayE2eTest, NextKeyMovesToTheNextFile)
{
    std::string First = ToneFile("zebplay_e2e_first.wav", 20);
    std::string Second = ToneFile("zebplay_e2e_second.wav", 20);
    PtyRun P;
    ASSERT_TRUE(P.Start({First, Second}));
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "first.wav") && Has(L, "] playing "); }), "")
        << P.Output;
    P.Send("n");
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "second.wav") && Has(L, "] playing "); }), "")
        << P.Output;
    P.Send("q");
    int Status = 0;
    ASSERT_TRUE(P.WaitExit(&Status)) << P.Output;
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0) << P.Output;
}

TEST_F(ZebplayE2eTest, TerminationSignalStopsAndRestoresTheTerminal)
{
    std::string File = ToneFile("zebplay_e2e_signal.wav", 20);
    PtyRun P;
    ASSERT_TRUE(P.Start({File}));
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "] playing "); }), "") << P.Output;
    EXPECT_FALSE(P.TerminalHasLineEditingAndEcho());
    // Paused, the player posts nothing: the signal alone must wake the tool.
    P.Send(" ");
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "] paused "); }), "") << P.Output;
    P.Signal(SIGTERM);
    int Status = 0;
    ASSERT_TRUE(P.WaitExit(&Status)) << P.Output;
    ASSERT_TRUE(WIFEXITED(Status)) << P.Output;
    EXPECT_EQ(WEXITSTATUS(Status), 128 + SIGTERM);
    EXPECT_TRUE(P.TerminalHasLineEditingAndEcho());
}

TEST_F(ZebplayE2eTest, SuspendGivesTheTerminalBackAndContinueTakesItAgain)
{
    std::string File = ToneFile("zebplay_e2e_suspend.wav", 20);
    PtyRun P;
    ASSERT_TRUE(P.Start({File}, true));
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "] playing "); }), "") << P.Output;
    P.Send("\x1a"); // Ctrl-Z: the terminal sends SIGTSTP
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, JobStopped); }), "") << P.Output;
    EXPECT_TRUE(P.TerminalHasLineEditingAndEcho());
    P.Send("fg\n");
    ASSERT_TRUE(P.WaitForKeyMode()) << P.Output;
    P.Send(" ");
    ASSERT_NE(P.WaitForLine([](const std::string& L) { return Has(L, "] paused "); }), "") << P.Output;
    P.Send("q");
    int Status = 0;
    ASSERT_TRUE(P.WaitExit(&Status)) << P.Output;
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
    EXPECT_TRUE(P.TerminalHasLineEditingAndEcho());
}

} // namespace
