/* zebplay: a command-line player on zeb-audio.

   zebplay FILE...            plays the files in turn on an output device
   zebplay --devices          lists the output devices
   zebplay --info FILE...     prints what the track queries report
   zebplay --wav OUT FILE     renders FILE into a WAVE file
   zebplay --wm-list FILE     lists a Windows Media file's header attributes
   zebplay --wm-get NAME FILE, --wm-set NAME=VALUE FILE, --wm-del NAME FILE
                              read, write and delete one attribute

   It uses only the public header. Every answer of the player arrives on a
   ZEBWindow; the tool waits on that window's descriptor and on the keyboard
   together, so keys act while audio plays. */
#define _GNU_SOURCE /* renameat2 */
#include "zeb-audio.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

enum {
    EXIT_PLAY_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_SIGNAL_BASE = 128,
    VOLUME_MAX = 100,
    VOLUME_STEP = 5,
    SEEK_STEP_MS = 10000,
    KEYS_INTERVAL_MS = 250,       /* progress interval with a status line */
    PLAIN_INTERVAL_MS = 1000,     /* progress interval for plain lines */
    INTERVAL_MAX_MS = 3600000,
    COMMAND_TIMEOUT_MS = 10000,   /* a quick command's answer */
    OPEN_TIMEOUT_MS = 60000,      /* "Input Open" may scan a long file */
    DRAIN_TIMEOUT_MS = 10000,     /* play-out of the last second of audio */
    RENDER_IDLE_TIMEOUT_MS = 60000,
    CLOSE_TIMEOUT_MS = 6000,      /* answers to the destroy's own commands */
    STATUS_WIDTH_DEFAULT = 80,
    STATUS_LINE_MAX = 512,
    BAR_WIDTH_WIDE = 30,
    BAR_WIDTH_NARROW = 10,
    WIDE_TERMINAL = 100,
    KEY_BUFFER_SIZE = 64,
    WAV_HEADER_SIZE = 44,
    WAV_BITS_PER_SAMPLE = 16,
    WAV_FORMAT_PCM = 1,
};

/* Largest data chunk a RIFF file can describe next to its 36 header bytes. */
static const unsigned long long WavDataMax = 0xFFFFFFFFull - (WAV_HEADER_SIZE - 8);
static const double RateMin = 0.25;
static const double RateMax = 4.0;
static const int RateStepHundredths = 5;

/* ---------------------------------------------------------------- options */

typedef enum Mode {
    MODE_PLAY, MODE_DEVICES, MODE_INFO, MODE_WAV, MODE_HELP,
    MODE_WM_LIST, MODE_WM_GET, MODE_WM_SET, MODE_WM_DEL
} Mode;

/* Codes of the options that have no short form. */
enum { OPTION_DEVICES = 256, OPTION_INFO, OPTION_WM_LIST, OPTION_WM_GET, OPTION_WM_SET, OPTION_WM_DEL };

typedef struct Options {
    Mode Mode;
    uint32_t Device;
    uint32_t Volume;
    double Rate;
    int IntervalMs; /* negative: the default of the display in use */
    int Preload;
    int VolumeGiven, RateGiven;
    int Force;      /* --wav may replace an existing WAVE file */
    const char* WavPath;
    const char* WmArgument; /* NAME or NAME=VALUE of the attribute options */
    char** Files;
    int FileCount;
} Options;

static void PrintUsage(FILE* To)
{
    fputs("Usage: zebplay [OPTION]... FILE...\n"
          "       zebplay --devices\n"
          "       zebplay --info FILE...\n"
          "       zebplay --wav OUT.wav [--force] FILE\n"
          "       zebplay --wm-list FILE | --wm-get NAME FILE | --wm-set NAME=VALUE FILE |\n"
          "               --wm-del NAME FILE\n"
          "Plays audio files one after the other through zeb-audio.\n"
          "\n"
          "  -d, --device N       play on output device N (default 0, the system default)\n"
          "  -v, --volume PERCENT output volume 0..100 (default 100)\n"
          "  -r, --rate RATIO     playback rate 0.25..4 (default 1.0)\n"
          "  -i, --interval MS    progress interval in milliseconds\n"
          "                       (default 250 with a status line, 1000 otherwise)\n"
          "  -p, --preload        fill the output buffer before each file starts\n"
          "      --devices        list the output devices with their indices\n"
          "      --info           print the track information of each FILE\n"
          "  -w, --wav OUT.wav    render FILE into the new WAVE file OUT.wav, as decoded\n"
          "                       (without --volume and --rate); never over FILE itself\n"
          "  -f, --force          let --wav replace an existing WAVE file OUT.wav\n"
          "      --wm-list        list every header attribute of a Windows Media file\n"
          "      --wm-get NAME    print the value of attribute NAME\n"
          "      --wm-set NAME=VALUE  set attribute NAME to the text VALUE (added when absent)\n"
          "      --wm-del NAME    delete every attribute named NAME\n"
          "  -h, --help           show this help\n"
          "\n"
          "Keys while playing on a terminal:\n"
          "  space pause/resume   left/right seek 10 s   up/down volume\n"
          "  [ ] slower/faster    n next file            q quit\n"
          "\n"
          "Exit status: 0 when every file played, 1 when one could not be played,\n"
          "2 on a usage error, 128+N after signal N.\n",
          To);
}

static int ParseUnsigned(const char* Text, unsigned long Max, uint32_t* Value)
{
    char* End;
    errno = 0;
    if (!Text[0] || Text[0] == '-')
        return 0;
    unsigned long Number = strtoul(Text, &End, 10);
    if (errno || *End || Number > Max)
        return 0;
    *Value = (uint32_t)Number;
    return 1;
}

static int ParseRate(const char* Text, double* Rate)
{
    char* End;
    errno = 0;
    double Number = strtod(Text, &End);
    if (errno || End == Text || *End || !(Number >= RateMin && Number <= RateMax))
        return 0;
    *Rate = Number;
    return 1;
}

static int UsageError(const char* Format, const char* Argument)
{
    fputs("zebplay: ", stderr);
    fprintf(stderr, Format, Argument);
    fputs("\nTry 'zebplay --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

static int ParseOption(int Code, const char* Argument, Options* Opt)
{
    uint32_t Number;
    switch (Code) {
    case 'd':
        if (!ParseUnsigned(Argument, 0xFFFFFFFFul, &Opt->Device))
            return UsageError("invalid device index '%s'", Argument);
        return 0;
    case 'v':
        if (!ParseUnsigned(Argument, VOLUME_MAX, &Opt->Volume))
            return UsageError("invalid volume '%s' (0..100)", Argument);
        Opt->VolumeGiven = 1;
        return 0;
    case 'r':
        if (!ParseRate(Argument, &Opt->Rate))
            return UsageError("invalid rate '%s' (0.25..4)", Argument);
        Opt->RateGiven = 1;
        return 0;
    case 'i':
        if (!ParseUnsigned(Argument, INTERVAL_MAX_MS, &Number) || Number == 0)
            return UsageError("invalid interval '%s' (milliseconds, at least 1)", Argument);
        Opt->IntervalMs = (int)Number;
        return 0;
    case 'p': Opt->Preload = 1; return 0;
    case 'f': Opt->Force = 1; return 0;
    case OPTION_DEVICES: Opt->Mode = MODE_DEVICES; return 0;
    case OPTION_INFO: Opt->Mode = MODE_INFO; return 0;
    case 'w': Opt->Mode = MODE_WAV; Opt->WavPath = Argument; return 0;
    case OPTION_WM_LIST: Opt->Mode = MODE_WM_LIST; return 0;
    case OPTION_WM_GET: Opt->Mode = MODE_WM_GET; Opt->WmArgument = Argument; return 0;
    case OPTION_WM_SET:
        if (!strchr(Argument, '=') || Argument[0] == '=')
            return UsageError("--wm-set needs NAME=VALUE, not '%s'", Argument);
        Opt->Mode = MODE_WM_SET;
        Opt->WmArgument = Argument;
        return 0;
    case OPTION_WM_DEL: Opt->Mode = MODE_WM_DEL; Opt->WmArgument = Argument; return 0;
    case 'h': Opt->Mode = MODE_HELP; return 0;
    default: return UsageError("%s", "unknown option");
    }
}

static int CheckFileCount(const Options* Opt)
{
    if (Opt->Mode == MODE_DEVICES && Opt->FileCount > 0)
        return UsageError("%s", "--devices takes no file");
    if ((Opt->Mode == MODE_PLAY || Opt->Mode == MODE_INFO) && Opt->FileCount == 0)
        return UsageError("%s", "no file given");
    if (Opt->Mode == MODE_WAV && Opt->FileCount != 1)
        return UsageError("%s", "--wav renders exactly one file");
    if (Opt->Mode == MODE_WAV && (Opt->VolumeGiven || Opt->RateGiven))
        return UsageError("%s", "--wav writes the audio as decoded; --volume and --rate apply to playback only");
    if (Opt->Mode != MODE_WAV && Opt->Force)
        return UsageError("%s", "--force goes with --wav only");
    if (Opt->Mode >= MODE_WM_LIST && Opt->FileCount != 1)
        return UsageError("%s", "the --wm options take exactly one file");
    return 0;
}

/* Fills Opt; returns 0 to go on, or an exit status. */
static int ParseOptions(int argc, char** argv, Options* Opt)
{
    static const struct option Long[] = {
        {"device", required_argument, NULL, 'd'}, {"volume", required_argument, NULL, 'v'},
        {"rate", required_argument, NULL, 'r'},   {"interval", required_argument, NULL, 'i'},
        {"preload", no_argument, NULL, 'p'},      {"devices", no_argument, NULL, OPTION_DEVICES},
        {"force", no_argument, NULL, 'f'},
        {"info", no_argument, NULL, OPTION_INFO}, {"wav", required_argument, NULL, 'w'},
        {"help", no_argument, NULL, 'h'},         {"wm-list", no_argument, NULL, OPTION_WM_LIST},
        {"wm-get", required_argument, NULL, OPTION_WM_GET}, {"wm-set", required_argument, NULL, OPTION_WM_SET},
        {"wm-del", required_argument, NULL, OPTION_WM_DEL}, {NULL, 0, NULL, 0},
    };
    memset(Opt, 0, sizeof *Opt);
    Opt->Mode = MODE_PLAY;
    Opt->Volume = VOLUME_MAX;
    Opt->Rate = 1.0;
    Opt->IntervalMs = -1;
    opterr = 0;
    int Code;
    while ((Code = getopt_long(argc, argv, ":d:v:r:i:pfw:h", Long, NULL)) != -1) {
        if (Code == '?' || Code == ':') {
            const char* What = Code == '?' ? "unknown option '%s'" : "option '%s' needs an argument";
            return UsageError(What, argv[optind - 1]);
        }
        int Status = ParseOption(Code, optarg, Opt);
        if (Status)
            return Status;
    }
    Opt->Files = argv + optind;
    Opt->FileCount = argc - optind;
    return Opt->Mode == MODE_HELP ? 0 : CheckFileCount(Opt);
}

/* --------------------------------------------------------------- terminal */

static volatile sig_atomic_t Interrupted; /* number of the signal that asks us to quit */
static volatile sig_atomic_t Resumed;     /* set on SIGCONT: raw mode needs re-applying */
static volatile sig_atomic_t TerminalRaw;
static struct termios SavedTerminal;

static void RestoreTerminal(void)
{
    if (TerminalRaw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
        TerminalRaw = 0;
    }
}

static int ApplyRawMode(void)
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
static int EnterRawMode(void)
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

static void InstallSignalHandlers(void)
{
    InstallHandler(SIGINT, OnQuitSignal);
    InstallHandler(SIGTERM, OnQuitSignal);
    InstallHandler(SIGHUP, OnQuitSignal);
    InstallHandler(SIGQUIT, OnQuitSignal);
    InstallHandler(SIGTSTP, OnStopSignal);
    InstallHandler(SIGCONT, OnContinueSignal);
}

static int TerminalWidth(void)
{
    struct winsize Size;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &Size) == 0 && Size.ws_col > 0)
        return Size.ws_col;
    return STATUS_WIDTH_DEFAULT;
}

/* ---------------------------------------------------------------- session */

typedef enum ShownState { SHOWN_OPENING, SHOWN_PLAYING, SHOWN_PAUSED, SHOWN_STOPPED, SHOWN_ENDED } ShownState;
static const char* const ShownStateNames[] = {"opening", "playing", "paused", "stopped", "ended"};

/* What the tool knows of one player and of the track it plays. */
typedef struct Session {
    ZEBWindow* Window;
    void* Player;
    const Options* Opt;
    int Keys;         /* standard input is a terminal in raw mode */
    int StatusLine;   /* standard output is a terminal: one line redrawn in place */
    int PlainLines;   /* plain progress lines on standard output */
    int StatusShown;  /* the status line holds text that errors must clear first */
    uint32_t Volume;
    double Rate;
    const char* Path; /* current track, null between tracks */
    uint32_t LengthSec;
    uint32_t ElapsedMs;
    int SeeksPending; /* seeks sent and not yet answered */
    uint32_t SeekTargetMs; /* where the last of them goes */
    ShownState State;
    int Ended;        /* the current track reached its end */
    int TrackFailed;
    int PlayerDead;   /* the player thread has ended */
} Session;

static const char* BaseName(const char* Path)
{
    const char* Slash = strrchr(Path, '/');
    return Slash && Slash[1] ? Slash + 1 : Path;
}

static void FormatTime(char* Text, size_t Size, uint64_t Ms)
{
    uint64_t Seconds = Ms / 1000;
    if (Seconds >= 3600)
        snprintf(Text, Size, "%llu:%02u:%02u", (unsigned long long)(Seconds / 3600),
                 (unsigned)(Seconds / 60 % 60), (unsigned)(Seconds % 60));
    else
        snprintf(Text, Size, "%02u:%02u", (unsigned)(Seconds / 60), (unsigned)(Seconds % 60));
}

static uint64_t TrackLengthMs(const Session* S) { return (uint64_t)S->LengthSec * 1000; }

/* Elapsed time as a share 0..Scale of the track, 0 when its length is unknown. */
static unsigned ProgressShare(const Session* S, unsigned Scale)
{
    uint64_t Length = TrackLengthMs(S);
    if (!Length)
        return 0;
    uint64_t Elapsed = S->ElapsedMs < Length ? S->ElapsedMs : Length;
    return (unsigned)(Elapsed * Scale / Length);
}

/* "00:12 / 03:40" */
static void FormatTimes(const Session* S, char* Text, size_t Size)
{
    char Elapsed[32], Total[32];
    FormatTime(Elapsed, sizeof Elapsed, S->ElapsedMs);
    if (S->LengthSec)
        FormatTime(Total, sizeof Total, TrackLengthMs(S));
    else
        snprintf(Total, sizeof Total, "--:--");
    snprintf(Text, Size, "%s / %s", Elapsed, Total);
}

static void FormatBar(const Session* S, char* Bar, int Width)
{
    int Filled = (int)ProgressShare(S, (unsigned)Width);
    for (int I = 0; I < Width; I++)
        Bar[I] = I < Filled ? '#' : '-';
    Bar[Width] = '\0';
}

static void DrawStatusLine(Session* S)
{
    if (!S->StatusLine || !S->Path)
        return;
    int Width = TerminalWidth() - 1; /* never touch the last column: no wrap */
    if (Width > STATUS_LINE_MAX - 1)
        Width = STATUS_LINE_MAX - 1;
    char Times[96], Bar[BAR_WIDTH_WIDE + 1], Tail[STATUS_LINE_MAX];
    FormatTimes(S, Times, sizeof Times);
    FormatBar(S, Bar, Width >= WIDE_TERMINAL ? BAR_WIDTH_WIDE : BAR_WIDTH_NARROW);
    snprintf(Tail, sizeof Tail, "  %s [%s] %-7s  vol %u%%  rate %.2fx", Times, Bar,
             ShownStateNames[S->State], (unsigned)S->Volume, S->Rate);
    int TailLength = (int)strlen(Tail);
    int NameRoom = Width > TailLength ? Width - TailLength : 0;
    const char* Name = BaseName(S->Path);
    int NameLength = (int)strlen(Name);
    char Line[STATUS_LINE_MAX * 2];
    if (NameLength > NameRoom && NameRoom > 3)
        snprintf(Line, sizeof Line, "%.*s...%s", NameRoom - 3, Name, Tail);
    else
        snprintf(Line, sizeof Line, "%.*s%s", NameRoom, Name, Tail);
    printf("\r%.*s\033[K", Width, Line);
    fflush(stdout);
    S->StatusShown = 1;
}

static void PrintPlainLine(Session* S)
{
    if (!S->PlainLines || !S->Path)
        return;
    char Times[96];
    FormatTimes(S, Times, sizeof Times);
    printf("%s  %s  %3u%%  %s\n", S->Path, Times, ProgressShare(S, 100), ShownStateNames[S->State]);
    fflush(stdout);
}

static void ShowProgress(Session* S)
{
    DrawStatusLine(S);
    PrintPlainLine(S);
}

/* Leaves the status line as it stands and moves below it. */
static void FinishStatusLine(Session* S)
{
    if (S->StatusShown) {
        fputs("\n", stdout);
        fflush(stdout);
        S->StatusShown = 0;
    }
}

static void PrintError(Session* S, const char* Text)
{
    if (S->StatusShown) {
        fputs("\r\033[K", stdout);
        fflush(stdout);
        S->StatusShown = 0;
    }
    if (S->Path)
        fprintf(stderr, "zebplay: %s: %s\n", S->Path, Text);
    else
        fprintf(stderr, "zebplay: %s\n", Text);
    DrawStatusLine(S);
}

static void PrintCommandError(Session* S, uint32_t Cmd, uint32_t Code)
{
    char Text[ZEB_ERROR_STRING_SIZE];
    /* The built-in output's open answers under its internal code, which has
       no name of its own. */
    if (Cmd == ZEB_CMD_DSOUND_OUTPUT_OPEN)
        Cmd = ZEB_CMD_OUTPUT_OPEN;
    ZEBAudioFormatErrorString((int)Cmd, (int)Code, Text);
    PrintError(S, Text);
}

/* Failures during streaming belong to no command; they are named as
   internal errors, with the detail the player gave. */
static void PrintStreamError(Session* S, uint32_t Code, uint32_t Detail)
{
    char Text[ZEB_ERROR_STRING_SIZE];
    char Line[ZEB_ERROR_STRING_SIZE + 32];
    ZEBAudioFormatErrorString(ZEB_CMD_INTERNAL_ERROR, (int)Code, Text);
    snprintf(Line, sizeof Line, "%s (detail %u)", Text, (unsigned)Detail);
    PrintError(S, Line);
}

static void UpdatePlayState(Session* S, uint32_t State)
{
    switch (State) {
    case ZEB_PLAYER_STATE_STOPPED: S->State = SHOWN_STOPPED; break;
    case ZEB_PLAYER_STATE_PLAYING: S->State = SHOWN_PLAYING; break;
    case ZEB_PLAYER_STATE_PAUSED: S->State = SHOWN_PAUSED; break;
    case ZEB_PLAYER_STATE_EOS:
        S->State = SHOWN_ENDED;
        S->Ended = 1;
        if (S->LengthSec)
            S->ElapsedMs = (uint32_t)TrackLengthMs(S);
        break;
    default: return;
    }
    DrawStatusLine(S);
}

static void HandleMessage(Session* S, const ZEBMessage* M)
{
    switch (M->Msg) {
    case ZEB_RSP_OK:
        if (M->wParam == ZEB_CMD_SEEK && S->SeeksPending > 0)
            S->SeeksPending--;
        break;
    case ZEB_RSP_ERROR:
        if (M->wParam == ZEB_CMD_SEEK && S->SeeksPending > 0)
            S->SeeksPending--;
        PrintCommandError(S, M->wParam, M->lParam);
        break;
    case ZEB_NTF_ERROR:
        PrintStreamError(S, M->wParam, M->lParam);
        S->TrackFailed = 1;
        if (M->wParam == ZEB_ERR_UNHANDLED_EXCEPTION && M->lParam == 0)
            S->PlayerDead = 1;
        break;
    case ZEB_NTF_INPUT_OPENED:
        S->LengthSec = M->lParam;
        DrawStatusLine(S);
        break;
    case ZEB_NTF_ELAPSED_TIME:
        S->ElapsedMs = M->lParam;
        ShowProgress(S);
        break;
    case ZEB_NTF_PLAY_STATE: UpdatePlayState(S, M->wParam); break;
    default: break;
    }
}

static void HandleWaitingMessages(Session* S)
{
    ZEBMessage M;
    while (ZEBWindowGetMessage(S->Window, &M, 0))
        HandleMessage(S, &M);
}

/* After a stop and continue the terminal is ours again only once we are
   back in the foreground. */
static void ReapplyRawModeAfterResume(Session* S)
{
    if (!Resumed || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return;
    Resumed = 0;
    if (ApplyRawMode())
        DrawStatusLine(S);
}

/* Takes the next message within TimeoutMs. 0 on time-out or when a signal
   asks us to quit. */
static int NextMessage(Session* S, ZEBMessage* M, int TimeoutMs)
{
    struct pollfd Wait = {ZEBWindowFd(S->Window), POLLIN, 0};
    while (!Interrupted) {
        ReapplyRawModeAfterResume(S);
        if (ZEBWindowGetMessage(S->Window, M, 0))
            return 1;
        int Ready = poll(&Wait, 1, TimeoutMs);
        if (Ready == 0)
            return 0;
        if (Ready < 0 && errno != EINTR)
            return 0;
    }
    return 0;
}

/* Handles messages until the answer to Cmd arrives: 1 for ZEB_RSP_OK, 0 for
   ZEB_RSP_ERROR (already printed), -1 when nothing came within TimeoutMs, the
   player died or a signal asks us to quit. */
static int AwaitAnswer(Session* S, uint32_t Cmd, int TimeoutMs)
{
    ZEBMessage M;
    while (!S->PlayerDead) {
        if (!NextMessage(S, &M, TimeoutMs))
            return -1;
        HandleMessage(S, &M);
        if ((M.Msg == ZEB_RSP_OK || M.Msg == ZEB_RSP_ERROR) && M.wParam == Cmd)
            return M.Msg == ZEB_RSP_OK;
    }
    return -1;
}

static int AwaitOrComplain(Session* S, uint32_t Cmd, int TimeoutMs)
{
    int Result = AwaitAnswer(S, Cmd, TimeoutMs);
    if (Result < 0 && !Interrupted && !S->PlayerDead)
        PrintError(S, "the player did not answer in time");
    return Result;
}

/* The player's threads start with the signals we handle blocked, so every
   such signal reaches the main thread and wakes its poll. */
static void* CreatePlayerWithoutSignals(ZEBWindow* Window)
{
    static const int Handled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT};
    sigset_t Blocked, Previous;
    sigemptyset(&Blocked);
    for (size_t I = 0; I < sizeof Handled / sizeof Handled[0]; I++)
        sigaddset(&Blocked, Handled[I]);
    pthread_sigmask(SIG_BLOCK, &Blocked, &Previous);
    void* Player = ZEBAudioPlayerCreate(Window);
    pthread_sigmask(SIG_SETMASK, &Previous, NULL);
    return Player;
}

static int OpenSession(Session* S, const Options* Opt)
{
    memset(S, 0, sizeof *S);
    S->Opt = Opt;
    S->Volume = Opt->Volume;
    S->Rate = Opt->Rate;
    S->Window = ZEBWindowCreate();
    S->Player = S->Window ? CreatePlayerWithoutSignals(S->Window) : NULL;
    if (!S->Player) {
        fputs("zebplay: cannot create a player\n", stderr);
        ZEBWindowDestroy(S->Window);
        return 0;
    }
    return 1;
}

/* Destroys the player, then the window once the player thread has posted
   its last answers; a thread that does not finish keeps its window. 1 when
   the thread finished. */
static int CloseSession(Session* S)
{
    S->Path = NULL;
    ZEBAudioPlayerDestroy(S->Player);
    ZEBMessage M;
    while (ZEBWindowGetMessage(S->Window, &M, CLOSE_TIMEOUT_MS)) {
        if (M.Msg == ZEB_RSP_ERROR || M.Msg == ZEB_NTF_ERROR)
            HandleMessage(S, &M);
        if ((M.Msg == ZEB_RSP_OK || M.Msg == ZEB_RSP_ERROR) && M.wParam == ZEB_CMD_INPUT_CLOSE) {
            ZEBWindowDestroy(S->Window);
            return 1;
        }
    }
    PrintError(S, "the player did not finish");
    return 0;
}

/* --------------------------------------------------------------- playback */

typedef enum TrackOutcome { TRACK_NEXT, TRACK_QUIT } TrackOutcome;

static void BeginTrack(Session* S, const char* Path)
{
    S->Path = Path;
    S->LengthSec = 0;
    S->ElapsedMs = 0;
    S->SeeksPending = 0;
    S->State = SHOWN_OPENING;
    S->Ended = 0;
    S->TrackFailed = 0;
    DrawStatusLine(S);
}

static void SeekBy(Session* S, int DeltaMs)
{
    if (S->State != SHOWN_PLAYING && S->State != SHOWN_PAUSED && S->State != SHOWN_STOPPED)
        return; /* not started yet: the player's state is not known */
    uint64_t Range = TrackLengthMs(S);
    if (!Range) {
        PrintError(S, "cannot seek: the track length is not known");
        return;
    }
    /* Seeks in quick succession add up; the position shown changes only when
       the player reports it. */
    uint32_t From = S->SeeksPending ? S->SeekTargetMs : S->ElapsedMs;
    int64_t Target = (int64_t)From + DeltaMs;
    if (Target < 0)
        Target = 0;
    if ((uint64_t)Target > Range)
        Target = (int64_t)Range;
    /* Posn and Range in milliseconds, or in seconds for a track too long to
       count its milliseconds in 32 bits. */
    uint64_t Scale = Range > 0xFFFFFFFFu ? 1000 : 1;
    /* The player refuses a seek while it plays. */
    int Playing = S->State == SHOWN_PLAYING;
    if (Playing)
        ZEBAudioPause(S->Player);
    ZEBAudioSeek(S->Player, (uint32_t)((uint64_t)Target / Scale), (uint32_t)(Range / Scale));
    if (Playing)
        ZEBAudioPlay(S->Player);
    S->SeeksPending++;
    S->SeekTargetMs = (uint32_t)Target;
}

static void TogglePause(Session* S)
{
    if (S->State == SHOWN_PLAYING)
        ZEBAudioPause(S->Player);
    else if (S->State == SHOWN_PAUSED || S->State == SHOWN_STOPPED)
        ZEBAudioPlay(S->Player);
}

static void ChangeVolume(Session* S, int Delta)
{
    int Level = (int)S->Volume + Delta;
    S->Volume = (uint32_t)(Level < 0 ? 0 : Level > VOLUME_MAX ? VOLUME_MAX : Level);
    ZEBAudioSetOutputVolume(S->Player, S->Volume);
    DrawStatusLine(S);
}

/* Steps in whole hundredths, so that repeated steps do not drift. */
static void ChangeRate(Session* S, int DeltaHundredths)
{
    int Hundredths = (int)(S->Rate * 100 + 0.5) + DeltaHundredths;
    double Rate = Hundredths / 100.0;
    S->Rate = Rate < RateMin ? RateMin : Rate > RateMax ? RateMax : Rate;
    ZEBAudioSetOutputFrequency(S->Player, S->Rate);
    DrawStatusLine(S);
}

/* Stops the track and waits until the player has answered. */
static void StopTrack(Session* S)
{
    ZEBAudioStop(S->Player);
    AwaitOrComplain(S, ZEB_CMD_STOP, COMMAND_TIMEOUT_MS);
}

typedef enum KeyAction { KEY_NONE, KEY_NEXT, KEY_QUIT } KeyAction;

static KeyAction ApplyKey(Session* S, int Key)
{
    switch (Key) {
    case ' ': TogglePause(S); break;
    case 'C': SeekBy(S, SEEK_STEP_MS); break;  /* arrow right */
    case 'D': SeekBy(S, -SEEK_STEP_MS); break; /* arrow left */
    case 'A': ChangeVolume(S, VOLUME_STEP); break;
    case 'B': ChangeVolume(S, -VOLUME_STEP); break;
    case '[': ChangeRate(S, -RateStepHundredths); break;
    case ']': ChangeRate(S, RateStepHundredths); break;
    case 'n': case 'N': return KEY_NEXT;
    case 'q': case 'Q': return KEY_QUIT;
    default: break;
    }
    return KEY_NONE;
}

/* Length of the escape sequence at Keys[0] (ESC [ ... final, or ESC O x),
   and its final byte in *Final; 0 when the sequence is cut off. */
static int EscapeLength(const unsigned char* Keys, int Count, int* Final)
{
    if (Count < 2)
        return 0;
    if (Keys[1] != '[' && Keys[1] != 'O') {
        *Final = 0;
        return 1;
    }
    for (int I = 2; I < Count; I++) {
        if (Keys[I] >= 0x40 && Keys[I] <= 0x7E) {
            *Final = Keys[I];
            return I + 1;
        }
    }
    return 0;
}

/* Arrow keys become their final letters 'A'..'D'; any other escape
   sequence is skipped, so its letters are not taken as keys. */
static KeyAction ApplyKeys(Session* S, const unsigned char* Keys, int Count)
{
    int I = 0;
    while (I < Count) {
        int Key = Keys[I], Length = 1;
        if (Key == 0x1B) {
            int Final = 0;
            Length = EscapeLength(Keys + I, Count - I, &Final);
            if (!Length)
                return KEY_NONE;
            Key = (Final >= 'A' && Final <= 'D') ? Final : 0;
        } else if (Key >= 'A' && Key <= 'D') {
            Key = 0; /* plain capitals are not arrows */
        }
        I += Length;
        KeyAction Action = ApplyKey(S, Key);
        if (Action != KEY_NONE)
            return Action;
    }
    return KEY_NONE;
}

static KeyAction ReadKeys(Session* S)
{
    unsigned char Keys[KEY_BUFFER_SIZE];
    ssize_t Count = read(STDIN_FILENO, Keys, sizeof Keys);
    if (Count <= 0) {
        if (Count == 0 || (errno != EINTR && errno != EAGAIN))
            S->Keys = 0; /* the terminal went away */
        return KEY_NONE;
    }
    return ApplyKeys(S, Keys, (int)Count);
}

/* Runs one opened and started track until it ends or a key or a signal
   ends it. */
static TrackOutcome RunTrack(Session* S)
{
    while (!S->Ended) {
        if (S->PlayerDead)
            return TRACK_QUIT;
        if (Interrupted) {
            StopTrack(S);
            return TRACK_QUIT;
        }
        ReapplyRawModeAfterResume(S);
        struct pollfd Wait[2] = {{ZEBWindowFd(S->Window), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        int Ready = poll(Wait, S->Keys && !Resumed ? 2 : 1, -1);
        if (Ready < 0) {
            if (errno == EINTR)
                continue;
            PrintError(S, strerror(errno));
            return TRACK_QUIT;
        }
        if (Wait[0].revents)
            HandleWaitingMessages(S);
        if (S->Keys && Wait[1].revents && !S->Ended) {
            KeyAction Action = ReadKeys(S);
            if (Action != KEY_NONE) {
                StopTrack(S);
                return Action == KEY_QUIT ? TRACK_QUIT : TRACK_NEXT;
            }
        }
    }
    return TRACK_NEXT;
}

/* Opens and plays one file; *Failed tells whether it could not be opened
   or the player reported a failure while it played. */
static TrackOutcome PlayTrack(Session* S, const char* Path, int* Failed)
{
    BeginTrack(S, Path);
    *Failed = 1;
    ZEBAudioInputOpen(S->Player, Path);
    int Opened = AwaitOrComplain(S, ZEB_CMD_INPUT_OPEN, OPEN_TIMEOUT_MS);
    if (Opened != 1) {
        FinishStatusLine(S);
        S->Path = NULL;
        return (Opened < 0 && (Interrupted || S->PlayerDead)) ? TRACK_QUIT : TRACK_NEXT;
    }
    if (S->Opt->Preload)
        ZEBAudioPreloadBuffers(S->Player);
    ZEBAudioPlay(S->Player);
    /* A track of another format gets a new output buffer at full level with
       its first write, which the player makes before it takes the next
       command: the volume is set again behind it. */
    ZEBAudioSetOutputVolume(S->Player, S->Volume);
    TrackOutcome Outcome = RunTrack(S);
    *Failed = S->TrackFailed;
    if (S->Ended)
        PrintPlainLine(S);
    FinishStatusLine(S);
    S->Path = NULL;
    return Outcome;
}

static int OpenDSoundOutput(Session* S)
{
    ZEBAudioOutputOpenDSound(S->Player, S->Window, S->Opt->Device);
    if (AwaitOrComplain(S, ZEB_CMD_DSOUND_OUTPUT_OPEN, COMMAND_TIMEOUT_MS) != 1) {
        fprintf(stderr, "zebplay: cannot open output device %u (zebplay --devices lists them)\n",
                (unsigned)S->Opt->Device);
        return 0;
    }
    int Interval = S->Opt->IntervalMs > 0 ? S->Opt->IntervalMs
                                          : S->StatusLine ? KEYS_INTERVAL_MS : PLAIN_INTERVAL_MS;
    ZEBAudioSetInputTimeInterval(S->Player, (uint32_t)Interval);
    ZEBAudioSetOutputVolume(S->Player, S->Volume);
    ZEBAudioSetOutputFrequency(S->Player, S->Rate);
    return 1;
}

static int PlayFiles(const Options* Opt)
{
    Session S;
    if (!OpenSession(&S, Opt))
        return EXIT_PLAY_FAILED;
    InstallSignalHandlers();
    S.StatusLine = isatty(STDOUT_FILENO);
    S.PlainLines = !S.StatusLine;
    S.Keys = EnterRawMode();
    int Failed = 0;
    if (!OpenDSoundOutput(&S)) {
        Failed = 1;
    } else {
        TrackOutcome Outcome = TRACK_NEXT;
        for (int I = 0; I < Opt->FileCount && Outcome == TRACK_NEXT; I++) {
            int TrackFailed;
            Outcome = PlayTrack(&S, Opt->Files[I], &TrackFailed);
            Failed |= TrackFailed;
        }
        /* The end of the last track leaves up to a buffer of audio to hear. */
        if (Outcome == TRACK_NEXT && !Interrupted) {
            ZEBAudioOutputDrain(S.Player);
            AwaitOrComplain(&S, ZEB_CMD_OUTPUT_DRAIN, DRAIN_TIMEOUT_MS);
        }
        Failed |= S.PlayerDead;
    }
    Failed |= !CloseSession(&S);
    RestoreTerminal();
    if (Interrupted)
        return EXIT_SIGNAL_BASE + Interrupted;
    return Failed ? EXIT_PLAY_FAILED : 0;
}

/* ---------------------------------------------------------------- devices */

static int ListDevices(void)
{
    unsigned int Count = 0;
    char** Devices = ZEBAudioEnumerateDevices(&Count);
    if (!Devices || Count == 0) {
        fputs("zebplay: no output devices\n", stderr);
        if (Devices)
            ZEBAudioFreeDeviceEnums(Devices);
        return EXIT_PLAY_FAILED;
    }
    for (unsigned int I = 0; I < Count; I++)
        printf("%u: %s\n", I, Devices[I]);
    ZEBAudioFreeDeviceEnums(Devices);
    return 0;
}

/* ------------------------------------------------------------------- info */

static int PrintTrackInfo(const char* Path)
{
    MPEGTrackInfoType Info;
    memset(&Info, 0, sizeof Info);
    if (!ZEBAudioGetMP3TrackInfo(Path, &Info)) {
        fprintf(stderr, "zebplay: %s: cannot be opened: not found, unreadable or of no known format\n",
                Path);
        return 0;
    }
    uint32_t Scanned = ZEBAudioGetMP3TrackLength(Path);
    printf("%s\n", Path);
    printf("  length:         %u s\n", (unsigned)Info.TrackLength);
    printf("  scanned length: %u s\n", (unsigned)Scanned);
    printf("  sample rate:    %u Hz\n", (unsigned)Info.SampleRate);
    printf("  channels:       %u\n", (unsigned)Info.Channels);
    if (Info.BitRate)
        printf("  bit rate:       %u kbit/s\n", (unsigned)Info.BitRate);
    else
        printf("  bit rate:       0 (variable or not given)\n");
    printf("  supported:      %s\n", Info.Supported ? "yes" : "no");
    return 1;
}

static int ShowInfo(const Options* Opt)
{
    int Failed = 0;
    for (int I = 0; I < Opt->FileCount; I++) {
        if (I > 0)
            printf("\n");
        Failed |= !PrintTrackInfo(Opt->Files[I]);
        fflush(stdout);
    }
    return Failed ? EXIT_PLAY_FAILED : 0;
}

/* ------------------------------------------- Windows Media header attributes */

/* The library reads attributes by name and returns neither their type nor
   their length, so the tool reads the well-known names with the types the
   format gives them; any other name is read as text. */
typedef struct KnownAttribute {
    const char* Name;
    uint32_t Type;
} KnownAttribute;

static const KnownAttribute KnownAttributes[] = {
    {"Duration", ZEB_WMT_TYPE_QWORD},       {"Bitrate", ZEB_WMT_TYPE_DWORD},
    {"IsVBR", ZEB_WMT_TYPE_BOOL},           {"Title", ZEB_WMT_TYPE_STRING},
    {"Author", ZEB_WMT_TYPE_STRING},        {"Copyright", ZEB_WMT_TYPE_STRING},
    {"Description", ZEB_WMT_TYPE_STRING},   {"Rating", ZEB_WMT_TYPE_STRING},
    {"WM/AlbumTitle", ZEB_WMT_TYPE_STRING}, {"WM/AlbumArtist", ZEB_WMT_TYPE_STRING},
    {"WM/Genre", ZEB_WMT_TYPE_STRING},      {"WM/Year", ZEB_WMT_TYPE_STRING},
    {"WM/Composer", ZEB_WMT_TYPE_STRING},   {"WM/Conductor", ZEB_WMT_TYPE_STRING},
    {"WM/Writer", ZEB_WMT_TYPE_STRING},     {"WM/Publisher", ZEB_WMT_TYPE_STRING},
    {"WM/PartOfSet", ZEB_WMT_TYPE_STRING},  {"WM/SubTitle", ZEB_WMT_TYPE_STRING},
    {"WM/Mood", ZEB_WMT_TYPE_STRING},       {"WM/ISRC", ZEB_WMT_TYPE_STRING},
    {"WM/Lyrics", ZEB_WMT_TYPE_STRING},     {"WM/EncodedBy", ZEB_WMT_TYPE_STRING},
    {"WM/EncodingSettings", ZEB_WMT_TYPE_STRING}, {"WM/ToolName", ZEB_WMT_TYPE_STRING},
};

enum { WM_NAME_MAX = 1024, WM_VALUE_MAX = 0xFFFF, HUNDRED_NS_PER_MS = 10000, BINARY_SHOWN = 32 };

static uint32_t KnownType(const char* Name)
{
    for (size_t I = 0; I < sizeof KnownAttributes / sizeof KnownAttributes[0]; I++)
        if (strcmp(KnownAttributes[I].Name, Name) == 0)
            return KnownAttributes[I].Type;
    return ZEB_WMT_TYPE_STRING;
}

static const char* TypeName(uint32_t Type)
{
    static const char* const Names[] = {"DWORD", "STRING", "BINARY", "BOOL", "QWORD", "WORD", "GUID"};
    return Type <= ZEB_WMT_TYPE_GUID ? Names[Type] : "?";
}

/* UTF-8 Text into UTF-16 code units (Out holds Max units, terminator
   included); the count of units without the terminator, or -1 when Text is
   not UTF-8 or does not fit. */
static long Utf8ToUtf16(const char* Text, uint16_t* Out, size_t Max)
{
    const unsigned char* P = (const unsigned char*)Text;
    size_t N = 0;
    while (*P) {
        uint32_t C;
        int More;
        if (*P < 0x80) { C = *P; More = 0; }
        else if ((*P & 0xE0) == 0xC0) { C = *P & 0x1F; More = 1; }
        else if ((*P & 0xF0) == 0xE0) { C = *P & 0x0F; More = 2; }
        else if ((*P & 0xF8) == 0xF0) { C = *P & 0x07; More = 3; }
        else return -1;
        P++;
        for (int I = 0; I < More; I++, P++) {
            if ((*P & 0xC0) != 0x80)
                return -1;
            C = (C << 6) | (*P & 0x3F);
        }
        if (C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF))
            return -1;
        if (N + (C >= 0x10000 ? 2 : 1) >= Max)
            return -1;
        if (C >= 0x10000) {
            C -= 0x10000;
            Out[N++] = (uint16_t)(0xD800 | (C >> 10));
            Out[N++] = (uint16_t)(0xDC00 | (C & 0x3FF));
        } else {
            Out[N++] = (uint16_t)C;
        }
    }
    Out[N] = 0;
    return (long)N;
}

static void PutUtf8(uint32_t C)
{
    if (C < 0x80) {
        putchar((int)C);
    } else if (C < 0x800) {
        putchar((int)(0xC0 | (C >> 6)));
        putchar((int)(0x80 | (C & 0x3F)));
    } else if (C < 0x10000) {
        putchar((int)(0xE0 | (C >> 12)));
        putchar((int)(0x80 | ((C >> 6) & 0x3F)));
        putchar((int)(0x80 | (C & 0x3F)));
    } else {
        putchar((int)(0xF0 | (C >> 18)));
        putchar((int)(0x80 | ((C >> 12) & 0x3F)));
        putchar((int)(0x80 | ((C >> 6) & 0x3F)));
        putchar((int)(0x80 | (C & 0x3F)));
    }
}

/* A UTF-16 name into UTF-8 (Out holds Size bytes); lone surrogates become
   U+FFFD, and a name too long for Out is cut at a whole character. */
static void Utf16ToUtf8(const uint16_t* Name, char* Out, size_t Size)
{
    size_t N = 0;
    for (size_t I = 0; Name[I]; I++) {
        uint32_t C = Name[I];
        if (C >= 0xD800 && C <= 0xDBFF && Name[I + 1] >= 0xDC00 && Name[I + 1] <= 0xDFFF)
            C = 0x10000 + ((C - 0xD800) << 10) + (Name[++I] - 0xDC00);
        else if (C >= 0xD800 && C <= 0xDFFF)
            C = 0xFFFD;
        unsigned char B[4];
        int Len = C < 0x80 ? 1 : C < 0x800 ? 2 : C < 0x10000 ? 3 : 4;
        static const unsigned char Lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int K = Len - 1; K > 0; K--, C >>= 6)
            B[K] = (unsigned char)(0x80 | (C & 0x3F));
        B[0] = (unsigned char)(Lead[Len] | C);
        if (N + (size_t)Len >= Size)
            break;
        memcpy(Out + N, B, (size_t)Len);
        N += (size_t)Len;
    }
    Out[N] = '\0';
}

static uint64_t ValueLE(const uint8_t* Value, int Bytes)
{
    uint64_t X = 0;
    for (int I = 0; I < Bytes; I++)
        X |= (uint64_t)Value[I] << (8 * I);
    return X;
}

/* Prints a string value (UTF-16LE up to its terminator) as UTF-8; lone
   surrogates print as U+FFFD. */
static void PrintText(const uint8_t* Value)
{
    for (size_t I = 0;; I += 2) {
        uint32_t C = (uint32_t)ValueLE(Value + I, 2);
        if (C == 0)
            break;
        if (C >= 0xD800 && C <= 0xDBFF) {
            uint32_t Low = (uint32_t)ValueLE(Value + I + 2, 2);
            if (Low >= 0xDC00 && Low <= 0xDFFF) {
                C = 0x10000 + ((C - 0xD800) << 10) + (Low - 0xDC00);
                I += 2;
            } else {
                C = 0xFFFD;
            }
        } else if (C >= 0xDC00 && C <= 0xDFFF) {
            C = 0xFFFD;
        }
        PutUtf8(C);
    }
}

/* {00112233-4455-6677-8899-AABBCCDDEEFF} from the 16 bytes as stored. */
static void PrintGuid(const uint8_t* Value)
{
    printf("{%08X-%04X-%04X-", (unsigned)ValueLE(Value, 4), (unsigned)ValueLE(Value + 4, 2),
           (unsigned)ValueLE(Value + 6, 2));
    for (int I = 8; I < 16; I++)
        printf(I == 10 ? "-%02X" : "%02X", Value[I]);
    printf("}");
}

/* Up to BINARY_SHOWN bytes in hexadecimal, then the length. */
static void PrintBinary(const uint8_t* Value, uint32_t Length)
{
    for (uint32_t I = 0; I < Length && I < BINARY_SHOWN; I++)
        printf("%02x", Value[I]);
    printf("%s (%u bytes)", Length > BINARY_SHOWN ? "..." : "", (unsigned)Length);
}

static void PrintValue(const char* Name, uint32_t Type, const uint8_t* Value)
{
    switch (Type) {
    case ZEB_WMT_TYPE_STRING: PrintText(Value); break;
    case ZEB_WMT_TYPE_DWORD: printf("%u", (unsigned)ValueLE(Value, 4)); break;
    case ZEB_WMT_TYPE_BOOL: printf("%s", ValueLE(Value, 4) ? "true" : "false"); break;
    case ZEB_WMT_TYPE_QWORD:
        printf("%llu", (unsigned long long)ValueLE(Value, 8));
        if (strcmp(Name, "Duration") == 0)
            printf(" (%.3f s)", (double)(ValueLE(Value, 8) / HUNDRED_NS_PER_MS) / 1000.0);
        break;
    case ZEB_WMT_TYPE_WORD: printf("%u", (unsigned)ValueLE(Value, 2)); break;
    case ZEB_WMT_TYPE_GUID: PrintGuid(Value); break;
    default: break;
    }
}

static int WideName(const char* Name, uint16_t* Wide)
{
    if (Utf8ToUtf16(Name, Wide, WM_NAME_MAX) <= 0) {
        fprintf(stderr, "zebplay: invalid attribute name '%s'\n", Name);
        return 0;
    }
    return 1;
}

/* The editor opens a file only for a user who may write it. */
static void* OpenWMFile(const char* Path)
{
    void* Editor = _WMOpenMetaEditor(Path);
    if (Editor)
        return Editor;
    if (access(Path, F_OK) == 0 && access(Path, W_OK) != 0 && (errno == EACCES || errno == EROFS))
        fprintf(stderr, "zebplay: %s: %s\n", Path, errno == EACCES ? "permission denied" : strerror(errno));
    else
        fprintf(stderr, "zebplay: %s: not an editable Windows Media file, in use by another editor, or the "
                        "Windows Media module is missing\n", Path);
    return NULL;
}

/* A value as stored, checked against the length its type needs. */
static void PrintStoredValue(const char* Name, uint32_t Type, const uint8_t* Value, uint32_t Length)
{
    static const uint32_t Needs[] = {4, 2, 0, 4, 8, 2, 16};
    int Terminated = Type != ZEB_WMT_TYPE_STRING || (Length >= 2 && Length % 2 == 0 &&
                                                     Value[Length - 1] == 0 && Value[Length - 2] == 0);
    if (Type == ZEB_WMT_TYPE_BINARY || Type > ZEB_WMT_TYPE_GUID || Length < Needs[Type] || !Terminated)
        PrintBinary(Value, Length);
    else
        PrintValue(Name, Type, Value);
}

/* Prints NAME<tab>TYPE<tab>VALUE for every attribute of the file, in its
   order, with the name and type it is stored under. */
static int ListAttributes(const char* Path)
{
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    uint32_t Count = _WMGetHeaderAttributeCount(Editor);
    for (uint32_t I = 0; I < Count; I++) {
        uint16_t* Wide = NULL;
        uint8_t* Value = NULL;
        uint32_t Type = 0, Length = 0;
        if (!_WMGetHeaderAttributeByIndex(Editor, I, &Wide, &Type, &Value, &Length))
            continue;
        char Name[WM_NAME_MAX * 3];
        Utf16ToUtf8(Wide, Name, sizeof Name);
        printf("%s\t%s\t", Name, TypeName(Type));
        PrintStoredValue(Name, Type, Value, Length);
        printf("\n");
        _WMFreeHeaderAttribute((uint8_t*)Wide);
        _WMFreeHeaderAttribute(Value);
    }
    return _WMCloseMetaEditor(Editor) ? 0 : EXIT_PLAY_FAILED;
}

static int GetAttribute(const char* Name, const char* Path)
{
    uint16_t Wide[WM_NAME_MAX];
    if (!WideName(Name, Wide))
        return EXIT_USAGE;
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    uint8_t* Value = NULL;
    int Found = _WMGetHeaderAttribute(Editor, Wide, &Value);
    if (Found) {
        PrintValue(Name, KnownType(Name), Value);
        printf("\n");
        _WMFreeHeaderAttribute(Value);
    } else {
        fprintf(stderr, "zebplay: %s: no attribute '%s'\n", Path, Name);
    }
    _WMCloseMetaEditor(Editor);
    return Found ? 0 : EXIT_PLAY_FAILED;
}

/* Sets NAME to the text VALUE (Assignment "NAME=VALUE"), or deletes every
   NAME when Assignment has no value part and Delete is set. */
static int ChangeAttribute(const char* Assignment, int Delete, const char* Path)
{
    static uint16_t Text[WM_VALUE_MAX / 2];
    char Name[WM_NAME_MAX];
    const char* Equals = Delete ? NULL : strchr(Assignment, '=');
    size_t NameLength = Equals ? (size_t)(Equals - Assignment) : strlen(Assignment);
    if (NameLength >= sizeof Name)
        return UsageError("attribute name too long: '%s'", Assignment);
    memcpy(Name, Assignment, NameLength);
    Name[NameLength] = '\0';
    uint16_t Wide[WM_NAME_MAX];
    if (!WideName(Name, Wide))
        return EXIT_USAGE;
    long Units = Equals ? Utf8ToUtf16(Equals + 1, Text, sizeof Text / sizeof Text[0]) : 0;
    if (Units < 0)
        return UsageError("value not UTF-8 or longer than an attribute holds: '%s'", Equals + 1);
    uint8_t* Bytes = (uint8_t*)Text; /* UTF-16LE on this little-endian platform */
    for (long I = 0; I <= Units; I++) {
        uint16_t U = Text[I];
        Bytes[2 * I] = (uint8_t)(U & 0xFF);
        Bytes[2 * I + 1] = (uint8_t)(U >> 8);
    }
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    int Set = _WMSetHeaderAttribute(Editor, Wide, Delete ? NULL : Bytes, ZEB_WMT_TYPE_STRING,
                                    Delete ? 0 : (uint16_t)(2 * (Units + 1)));
    if (!Set)
        fprintf(stderr, "zebplay: %s: attribute '%s' cannot be %s\n", Path, Name, Delete ? "deleted" : "set");
    int Saved = _WMCloseMetaEditor(Editor);
    if (Set && !Saved)
        fprintf(stderr, "zebplay: %s: the change could not be saved; the file is unchanged\n", Path);
    return Set && Saved ? 0 : EXIT_PLAY_FAILED;
}

static int EditAttributes(const Options* Opt)
{
    const char* Path = Opt->Files[0];
    switch (Opt->Mode) {
    case MODE_WM_LIST: return ListAttributes(Path);
    case MODE_WM_GET: return GetAttribute(Opt->WmArgument, Path);
    case MODE_WM_SET: return ChangeAttribute(Opt->WmArgument, 0, Path);
    default: return ChangeAttribute(Opt->WmArgument, 1, Path);
    }
}

/* ------------------------------------------------------ WAVE file output */

/* A host output module that writes what it receives into a WAVE file. The
   header is written with zero sizes when a stream opens and completed when
   it closes. Runs on the player thread; the main thread reads the record
   only after the player has been destroyed. */
typedef struct WavWriter {
    FILE* File;
    uint64_t DataBytes;
    uint32_t SampleRate;
    uint16_t Channels;
    int FormatSeen; /* a block has fixed the format */
    int Failed;     /* a write failed, the size limit was reached or the format changed */
    int TooLarge;   /* the stream outgrew what a WAVE header can describe */
} WavWriter;

static void PutLE(unsigned char* At, uint32_t Value, int Bytes)
{
    for (int I = 0; I < Bytes; I++)
        At[I] = (unsigned char)(Value >> (8 * I));
}

static int WriteWavHeader(WavWriter* W)
{
    unsigned char H[WAV_HEADER_SIZE];
    uint32_t Data = (uint32_t)W->DataBytes;
    uint32_t BlockAlign = (uint32_t)W->Channels * (WAV_BITS_PER_SAMPLE / 8);
    memcpy(H, "RIFF", 4);
    PutLE(H + 4, Data + WAV_HEADER_SIZE - 8, 4);
    memcpy(H + 8, "WAVEfmt ", 8);
    PutLE(H + 16, 16, 4);
    PutLE(H + 20, WAV_FORMAT_PCM, 2);
    PutLE(H + 22, W->Channels, 2);
    PutLE(H + 24, W->SampleRate, 4);
    PutLE(H + 28, W->SampleRate * BlockAlign, 4);
    PutLE(H + 32, BlockAlign, 2);
    PutLE(H + 34, WAV_BITS_PER_SAMPLE, 2);
    memcpy(H + 36, "data", 4);
    PutLE(H + 40, Data, 4);
    return fseek(W->File, 0, SEEK_SET) == 0 && fwrite(H, sizeof H, 1, W->File) == 1 &&
           fseek(W->File, 0, SEEK_END) == 0;
}

static int WavCreate(void** Instance, void* Params)
{
    *Instance = Params;
    return 1;
}

static int WavOpen(void* Instance)
{
    WavWriter* W = Instance;
    W->DataBytes = 0;
    W->FormatSeen = 0;
    /* Each stream starts the file afresh. */
    if (fflush(W->File) != 0 || ftruncate(fileno(W->File), 0) != 0 || !WriteWavHeader(W)) {
        W->Failed = 1;
        return 0;
    }
    return 1;
}

static void WavWrite(void* Instance, void* Samples, uint32_t Size, uint16_t BytesPerSample,
                     uint16_t Channels, uint32_t SampleRate)
{
    WavWriter* W = Instance;
    if (!Size || W->Failed)
        return;
    if (!W->FormatSeen) {
        W->Channels = Channels;
        W->SampleRate = SampleRate;
        W->FormatSeen = 1;
    }
    if (W->DataBytes + Size > WavDataMax) {
        W->TooLarge = 1;
        W->Failed = 1;
        return;
    }
    if (BytesPerSample != WAV_BITS_PER_SAMPLE / 8 || Channels != W->Channels ||
        SampleRate != W->SampleRate || fwrite(Samples, 1, Size, W->File) != Size) {
        W->Failed = 1;
        return;
    }
    W->DataBytes += Size;
}

static void WavClose(void* Instance)
{
    WavWriter* W = Instance;
    if (!WriteWavHeader(W) || fflush(W->File) != 0)
        W->Failed = 1;
}

static void WavRegister(OutputModule* Module)
{
    Module->OutputCreate = WavCreate;
    Module->OutputOpen = WavOpen;
    Module->OutputClose = WavClose;
    Module->OutputWrite = WavWrite;
}

/* Waits for the end of the stream; progress keeps coming while it decodes. */
static int AwaitEndOfStream(Session* S)
{
    ZEBMessage M;
    while (!S->Ended && !S->PlayerDead) {
        if (!NextMessage(S, &M, RENDER_IDLE_TIMEOUT_MS)) {
            if (!Interrupted)
                PrintError(S, "the player stopped making progress");
            return 0;
        }
        HandleMessage(S, &M);
    }
    return S->Ended;
}

static int RenderWithPlayer(Session* S, WavWriter* W, const char* Input)
{
    /* The header of a stream without a single block still names a format. */
    MPEGTrackInfoType Info;
    memset(&Info, 0, sizeof Info);
    Info.TrackLength = 1; /* no length scan needed here */
    if (ZEBAudioGetMP3TrackInfo(Input, &Info)) {
        W->Channels = Info.Channels;
        W->SampleRate = Info.SampleRate;
    }
    ZEBAudioOutputOpenModule(S->Player, "WAVFILE", WavRegister, W);
    if (AwaitOrComplain(S, ZEB_CMD_OUTPUT_OPEN, COMMAND_TIMEOUT_MS) != 1)
        return 0;
    /* Progress is not shown; a long interval keeps the window quiet. */
    ZEBAudioSetInputTimeInterval(S->Player, PLAIN_INTERVAL_MS);
    BeginTrack(S, Input);
    ZEBAudioInputOpen(S->Player, Input);
    if (AwaitOrComplain(S, ZEB_CMD_INPUT_OPEN, OPEN_TIMEOUT_MS) != 1)
        return 0;
    ZEBAudioPlay(S->Player);
    return AwaitEndOfStream(S) && !S->TrackFailed;
}

/* Where --wav writes: the file to create, or with --force the existing
   WAVE file to replace (resolved through its links, which stay) and its
   status as it was checked. */
typedef struct WavTarget {
    char Path[PATH_MAX];
    int Replaces;
    struct stat Old;
} WavTarget;

static int SameInode(const struct stat* A, const struct stat* B)
{
    return A->st_dev == B->st_dev && A->st_ino == B->st_ino;
}

static int IsWaveFile(const char* Path)
{
    unsigned char Head[12];
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    ssize_t Got = Fd >= 0 ? read(Fd, Head, sizeof Head) : -1;
    if (Fd >= 0)
        close(Fd);
    return Got == (ssize_t)sizeof Head && memcmp(Head, "RIFF", 4) == 0 && memcmp(Head + 8, "WAVE", 4) == 0;
}

static int Refuse(const char* Path, const char* Why)
{
    fprintf(stderr, "zebplay: %s: %s\n", Path, Why);
    return 0;
}

/* Never the input itself, never an existing file without --force, and with
   it only a WAVE file the user may write that has no other hard links. */
static int CheckWavTarget(const Options* Opt, WavTarget* T)
{
    const char* Output = Opt->WavPath;
    struct stat In, Out;
    memset(T, 0, sizeof *T);
    if (stat(Output, &Out) == 0 && stat(Opt->Files[0], &In) == 0 && SameInode(&In, &Out))
        return Refuse(Output, "is the input file; not overwritten");
    if (lstat(Output, &Out) != 0) {
        if (errno != ENOENT)
            return Refuse(Output, strerror(errno));
        if (strlen(Output) >= sizeof T->Path)
            return Refuse(Output, strerror(ENAMETOOLONG));
        strcpy(T->Path, Output);
        return 1;
    }
    if (!Opt->Force)
        return Refuse(Output, "exists; not overwritten (--force replaces a WAVE file)");
    if (!realpath(Output, T->Path))
        return Refuse(Output, strerror(errno));
    if (stat(T->Path, &T->Old) != 0 || !S_ISREG(T->Old.st_mode) || !IsWaveFile(T->Path))
        return Refuse(Output, "is not a WAVE file; not replaced");
    if (access(T->Path, W_OK) != 0)
        return Refuse(Output, errno == EACCES ? "permission denied" : strerror(errno));
    if (T->Old.st_nlink > 1)
        return Refuse(Output, "has other hard links; not replaced");
    T->Replaces = 1;
    return 1;
}

static int CopyXattr(int From, int To, const char* Name)
{
    ssize_t Size = fgetxattr(From, Name, NULL, 0);
    char* Value = Size >= 0 ? malloc((size_t)Size + 1) : NULL;
    int Ok = Value && (Size = fgetxattr(From, Name, Value, (size_t)Size)) >= 0 &&
             fsetxattr(To, Name, Value, (size_t)Size, 0) == 0;
    free(Value);
    return Ok;
}

/* Every extended attribute of the file at Path (ACLs and labels included)
   onto To. */
static int CopyXattrs(const char* Path, int To)
{
    int From = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (From < 0)
        return 0;
    ssize_t Size = flistxattr(From, NULL, 0);
    char* Names = Size > 0 ? malloc((size_t)Size) : NULL;
    int Ok = Size == 0 || (Size < 0 && errno == ENOTSUP);
    if (Names && (Size = flistxattr(From, Names, (size_t)Size)) >= 0) {
        Ok = 1;
        for (ssize_t At = 0; Ok && At < Size; At += (ssize_t)strlen(Names + At) + 1)
            Ok = CopyXattr(From, To, Names + At);
    }
    free(Names);
    close(From);
    return Ok;
}

/* The new file (Fd) takes the replaced one's owner, group, extended
   attributes and mode; or the rendering does not start. */
static int KeepFileAttributes(int Fd, const WavTarget* T)
{
    struct stat Now;
    if (fstat(Fd, &Now) != 0)
        return 0;
    if ((Now.st_uid != T->Old.st_uid || Now.st_gid != T->Old.st_gid) &&
        fchown(Fd, T->Old.st_uid, T->Old.st_gid) != 0)
        return 0;
    return CopyXattrs(T->Path, Fd) && fchmod(Fd, T->Old.st_mode & 07777) == 0;
}

/* A new file beside the target, named TARGET.XXXXXX into Temporary, with
   the permissions a new file gets, or the replaced file's. -1 on failure,
   reported. */
static int CreateTemporary(const WavTarget* T, char* Temporary, size_t Size)
{
    if ((size_t)snprintf(Temporary, Size, "%s.XXXXXX", T->Path) >= Size)
        return Refuse(T->Path, strerror(ENAMETOOLONG)) - 1;
    int Fd = mkostemp(Temporary, O_CLOEXEC);
    if (Fd < 0)
        return Refuse(T->Path, strerror(errno)) - 1;
    mode_t Mask = umask(0);
    umask(Mask);
    int Kept = T->Replaces ? KeepFileAttributes(Fd, T) : fchmod(Fd, 0666 & ~Mask) == 0;
    if (!Kept) {
        Refuse(T->Path, T->Replaces ? "its owner, group or attributes cannot be kept; not replaced"
                                    : strerror(errno));
        close(Fd);
        unlink(Temporary);
        return -1;
    }
    return Fd;
}

/* Moves the complete rendering into place; a file that appeared at the
   target meanwhile is replaced only with --force. */
static int MoveIntoPlace(const char* Temporary, const WavTarget* T)
{
    if (T->Replaces)
        return rename(Temporary, T->Path) == 0;
    if (renameat2(AT_FDCWD, Temporary, AT_FDCWD, T->Path, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS) /* a file system without it: link, then unlink */
        return 0;
    if (link(Temporary, T->Path) != 0)
        return 0;
    unlink(Temporary);
    return 1;
}

static void PrintRendered(const char* Output, const WavWriter* W)
{
    uint32_t FrameBytes = (uint32_t)W->Channels * (WAV_BITS_PER_SAMPLE / 8);
    double Seconds = FrameBytes && W->SampleRate ? (double)(W->DataBytes / FrameBytes) / W->SampleRate : 0.0;
    printf("%s: %.3f s, %u Hz, %u channels, %llu bytes of PCM\n", Output, Seconds, (unsigned)W->SampleRate,
           (unsigned)W->Channels, (unsigned long long)W->DataBytes);
}

/* Renders into a temporary file beside OUT and moves it into place only when
   everything went well, so a failure leaves an existing OUT untouched. */
static int RenderToWav(const Options* Opt)
{
    const char* Output = Opt->WavPath;
    static WavTarget Target;
    static char Temporary[PATH_MAX + 8];
    if (!CheckWavTarget(Opt, &Target))
        return EXIT_PLAY_FAILED;
    int Fd = CreateTemporary(&Target, Temporary, sizeof Temporary);
    if (Fd < 0)
        return EXIT_PLAY_FAILED;
    WavWriter W;
    memset(&W, 0, sizeof W);
    W.File = fdopen(Fd, "wb");
    if (!W.File) {
        fprintf(stderr, "zebplay: %s: %s\n", Output, strerror(errno));
        close(Fd);
        unlink(Temporary);
        return EXIT_PLAY_FAILED;
    }
    InstallSignalHandlers();
    Session S;
    int Rendered = 0;
    if (OpenSession(&S, Opt)) {
        Rendered = RenderWithPlayer(&S, &W, Opt->Files[0]);
        /* Once the player thread has finished, W is ours alone. */
        if (!CloseSession(&S)) {
            unlink(Temporary);
            return EXIT_PLAY_FAILED;
        }
    }
    if (Rendered && W.Failed)
        fprintf(stderr, "zebplay: %s: %s\n", Output, W.TooLarge ? "too large for a WAVE file" : "write failed");
    int Synced = fflush(W.File) == 0 && fsync(fileno(W.File)) == 0;
    int Closed = fclose(W.File) == 0;
    int Ok = Rendered && !W.Failed && Synced && Closed && !Interrupted;
    if (Ok && !MoveIntoPlace(Temporary, &Target)) {
        fprintf(stderr, "zebplay: %s: %s\n", Output,
                errno == EEXIST ? "exists; not overwritten (--force replaces a WAVE file)" : strerror(errno));
        Ok = 0;
    }
    if (!Ok)
        unlink(Temporary);
    if (Ok)
        PrintRendered(Output, &W);
    if (Interrupted)
        return EXIT_SIGNAL_BASE + Interrupted;
    return Ok ? 0 : EXIT_PLAY_FAILED;
}

/* ------------------------------------------------------------------- main */

int main(int argc, char** argv)
{
    Options Opt;
    int Status = ParseOptions(argc, argv, &Opt);
    if (Status)
        return Status;
    switch (Opt.Mode) {
    case MODE_HELP: PrintUsage(stdout); return 0;
    case MODE_DEVICES: return ListDevices();
    case MODE_INFO: return ShowInfo(&Opt);
    case MODE_WAV: return RenderToWav(&Opt);
    case MODE_WM_LIST:
    case MODE_WM_GET:
    case MODE_WM_SET:
    case MODE_WM_DEL: return EditAttributes(&Opt);
    case MODE_PLAY: break;
    }
    return PlayFiles(&Opt);
}
