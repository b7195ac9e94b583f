#include "subprocess.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zebtest {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ExecChild(const std::vector<std::string>& Argv, int OutFd, int ErrFd)
{
    int Null = open("/dev/null", O_RDONLY);
    if (Null >= 0)
        dup2(Null, STDIN_FILENO);
    dup2(OutFd, STDOUT_FILENO);
    dup2(ErrFd, STDERR_FILENO);
    std::vector<char*> Args;
    for (const std::string& A : Argv)
        Args.push_back(const_cast<char*>(A.c_str()));
    Args.push_back(nullptr);
    execv(Args[0], Args.data());
    _exit(127);
}

// Reads both pipes until they close or the deadline passes.
bool Collect(int OutFd, int ErrFd, ProcessResult* Result, Clock::time_point Deadline)
{
    pollfd Fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
    std::string* Sinks[2] = {&Result->Out, &Result->Err};
    int Open = 2;
    while (Open > 0) {
        auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
        if (Left <= 0)
            return false;
        if (poll(Fds, 2, static_cast<int>(Left)) < 0)
            continue;
        for (int I = 0; I < 2; I++) {
            if (Fds[I].fd < 0 || !Fds[I].revents)
                continue;
            char Buffer[4096];
            ssize_t N = read(Fds[I].fd, Buffer, sizeof Buffer);
            if (N > 0) {
                Sinks[I]->append(Buffer, static_cast<size_t>(N));
            } else {
                Fds[I].fd = -1;
                Open--;
            }
        }
    }
    return true;
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& Argv, int TimeoutMs)
{
    ProcessResult Result;
    int OutPipe[2], ErrPipe[2];
    if (Argv.empty() || pipe2(OutPipe, O_CLOEXEC) != 0)
        return Result;
    if (pipe2(ErrPipe, O_CLOEXEC) != 0) {
        close(OutPipe[0]);
        close(OutPipe[1]);
        return Result;
    }
    pid_t Child = fork();
    if (Child == 0)
        ExecChild(Argv, OutPipe[1], ErrPipe[1]);
    close(OutPipe[1]);
    close(ErrPipe[1]);
    if (Child > 0) {
        Result.Started = true;
        auto Deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
        if (!Collect(OutPipe[0], ErrPipe[0], &Result, Deadline)) {
            Result.TimedOut = true;
            kill(Child, SIGKILL);
        }
        int Status = 0;
        waitpid(Child, &Status, 0);
        Result.Exited = !Result.TimedOut && WIFEXITED(Status);
        Result.ExitCode = Result.Exited ? WEXITSTATUS(Status) : -1;
        Result.Signaled = !Result.TimedOut && WIFSIGNALED(Status);
        Result.Signal = Result.Signaled ? WTERMSIG(Status) : 0;
    }
    close(OutPipe[0]);
    close(ErrPipe[0]);
    return Result;
}

bool NobodyIds(unsigned* Uid, unsigned* Gid)
{
    const passwd* P = getpwnam("nobody");
    if (!P)
        return false;
    *Uid = P->pw_uid;
    *Gid = P->pw_gid;
    return true;
}

std::vector<std::string> AsNobody(const std::vector<std::string>& Argv)
{
    const char* Setpriv = "/usr/bin/setpriv";
    unsigned Uid, Gid;
    if (geteuid() != 0 || access(Setpriv, X_OK) != 0 || !NobodyIds(&Uid, &Gid))
        return {};
    std::vector<std::string> Out = {Setpriv, "--reuid=" + std::to_string(Uid), "--regid=" + std::to_string(Gid),
                                    "--clear-groups"};
    Out.insert(Out.end(), Argv.begin(), Argv.end());
    return Out;
}

std::string DescribeEnd(const ProcessResult& Result)
{
    if (!Result.Started)
        return "not started";
    if (Result.TimedOut)
        return "timed out";
    if (Result.Signaled)
        return "signal " + std::to_string(Result.Signal);
    return "exit " + std::to_string(Result.ExitCode);
}

} // namespace zebtest
