/* The terminal and signals: raw mode for keys, and the signals that ask
   zebplay to quit, stop or continue. */
#include "zebplay.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

volatile sig_atomic_t Interrupted;
volatile sig_atomic_t Resumed;
static volatile sig_atomic_t TerminalRaw;
static struct termios SavedTerminal;

void RestoreTerminal(void)
{
    if (TerminalRaw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalRaw = 0;
    }
}

int ApplyRawMode(void)
{
    struct termios Raw = SavedTerminal;
    Raw.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
    Raw.c_cc[VMIN] = 1;
    Raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &Raw) != 0)
        return 0;
    TerminalRaw = 1;
    return 1;
}

/* Keys need a terminal on standard input that we own in the foreground.
   Signals stay enabled, so Ctrl-C and Ctrl-Z behave as usual. */
int EnterRawMode(void)
{
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return 0;
    if (tcgetattr(STDIN_FILENO, &SavedTerminal) != 0)
        return 0;
    atexit(RestoreTerminal);
    return ApplyRawMode();
}

static void OnQuitSignal(int Signal)
{
    if (Interrupted) { /* a second signal: leave at once */
        RestoreTerminal();
        _exit(EXIT_SIGNAL_BASE + Signal);
    }
    Interrupted = Signal;
}

static void OnStopSignal(int Signal)
{
    struct sigaction Default;
    memset(&Default, 0, sizeof Default);
    Default.sa_handler = SIG_DFL;
    if (TerminalRaw)
        Resumed = 1;
    RestoreTerminal();
    sigaction(Signal, &Default, NULL);
    raise(Signal); /* delivered, and the process stopped, when this returns */
}

static void InstallHandler(int Signal, void (*Handler)(int))
{
    struct sigaction Action;
    memset(&Action, 0, sizeof Action);
    Action.sa_handler = Handler;
    sigemptyset(&Action.sa_mask);
    sigaction(Signal, &Action, NULL);
}

static void OnContinueSignal(int Signal)
{
    (void)Signal;
    InstallHandler(SIGTSTP, OnStopSignal);
}

void InstallSignalHandlers(void)
{
    InstallHandler(SIGINT, OnQuitSignal);
    InstallHandler(SIGTERM, OnQuitSignal);
    InstallHandler(SIGHUP, OnQuitSignal);
    InstallHandler(SIGQUIT, OnQuitSignal);
    InstallHandler(SIGTSTP, OnStopSignal);
    InstallHandler(SIGCONT, OnContinueSignal);
}

int TerminalWidth(void)
{
    struct winsize Size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0)
        return Size.ws_col;
    return STATUS_WIDTH_DEFAULT;
}
