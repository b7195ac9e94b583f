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
   together, so keys act while audio plays. This header holds what the
   files of the program share. */
#ifndef ZEBPLAY_H
#define ZEBPLAY_H

#include "zeb-audio.h"

#include <signal.h>
#include <stdint.h>
#include <stdio.h>

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
    STATUS_TICK_MS = 100,         /* redraws of the status line while playing */
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

#define RATE_MIN 0.25
#define RATE_MAX 4.0
#define RATE_STEP_HUNDREDTHS 5

typedef enum Mode {
    MODE_PLAY, MODE_DEVICES, MODE_INFO, MODE_WAV, MODE_HELP, MODE_VERSION,
    MODE_WM_LIST, MODE_WM_GET, MODE_WM_SET, MODE_WM_DEL
} Mode;

typedef struct Options {
    Mode Mode;
    uint32_t Device;
    uint32_t Volume;
    double Rate;
    int IntervalMs; /* negative: the default of the display in use */
    int Preload;
    const char* ModeOption;     /* the option that chose Mode, null for playing */
    const char* PlaybackOption; /* an option that applies to playback only, if given */
    int VolumeGiven, RateGiven;
    int Force;      /* --wav may replace an existing WAVE file */
    int Help;
    const char* WavPath;
    const char* WmArgument; /* NAME or NAME=VALUE of the attribute options */
    char** Files;
    int FileCount;
} Options;

typedef enum ShownState { SHOWN_OPENING, SHOWN_PLAYING, SHOWN_PAUSED, SHOWN_STOPPED, SHOWN_ENDED } ShownState;
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
    uint64_t ShownMs;     /* the position being heard, as the player last reported it */
    int PositionAsked;    /* a "Get Play Position" awaits its answer */
    int SeeksPending; /* seeks sent and not yet answered */
    uint32_t SeekTargetMs; /* where the last of them goes */
    ShownState State;
    int Ended;        /* the current track reached its end */
    int TrackFailed;
    int PlayerDead;   /* the player thread has ended */
} Session;

/* What a file's first bytes tell of it; null where they do not tell. */
typedef struct FileKind {
    const char* Container;
    const char* Codec;
    char CodecText[32];
} FileKind;

typedef enum KeyAction { KEY_NONE, KEY_NEXT, KEY_QUIT } KeyAction;

extern volatile sig_atomic_t Interrupted; /* number of the signal that asks us to quit */
extern volatile sig_atomic_t Resumed;     /* set on SIGCONT: raw mode needs re-applying */

/* options.c: the command line */
void PrintUsage(FILE* To);
int UsageError(const char* Format, const char* Argument);
int ParseOptions(int argc, char** argv, Options* Opt);

/* terminal.c: terminal and signals */
void RestoreTerminal(void);
int ApplyRawMode(void);
int EnterRawMode(void);
void InstallSignalHandlers(void);
int TerminalWidth(void);

/* status.c: status line, progress and errors */
uint64_t TrackLengthMs(const Session* S);
void DrawStatusLine(Session* S);
void PrintPlainLine(Session* S);
void ShowProgress(Session* S);
void FinishStatusLine(Session* S);
void PrintError(Session* S, const char* Text);
void PrintCommandError(Session* S, uint32_t Cmd, uint32_t Code);
void PrintStreamError(Session* S, uint32_t Code, uint32_t Detail);
/* After the player refused the current track: what is known of why. */
void ExplainInputRefusal(Session* S);

/* session.c: the player and its messages */
void HandleMessage(Session* S, const ZEBMessage* M);
void HandleWaitingMessages(Session* S);
void ReapplyRawModeAfterResume(Session* S);
int NextMessage(Session* S, ZEBMessage* M, int TimeoutMs);
int AwaitOrComplain(Session* S, uint32_t Cmd, int TimeoutMs);
int OpenSession(Session* S, const Options* Opt);
/* Asks the player for the position being heard, unless an answer is due. */
void AskPosition(Session* S);
int CloseSession(Session* S);

/* keys.c: keys */
KeyAction ReadKeys(Session* S);

/* playback.c: playback */
void BeginTrack(Session* S, const char* Path);
int PlayFiles(const Options* Opt);

/* info.c: devices and track information */
int ListDevices(void);
int ShowInfo(const Options* Opt);

/* wm_edit.c: Windows Media header attributes */
int EditAttributes(const Options* Opt);

/* probe.c: why a file cannot be played, and --version */
/* Null when Path names a file that may be opened, else why not. */
const char* CheckInputFile(const char* Path);
/* Prints why Path cannot be opened, if CheckInputFile finds a reason: 1. */
int ReportUnusableFile(const char* Path);
void ProbeFile(const char* Path, FileKind* K);
/* After the library refused Path: what is known of the reason, into Text.
   0 when nothing more is known. */
int ExplainRefusal(const char* Path, char* Text, size_t Size);
int PrintVersion(void);

/* render.c: rendering to a WAVE file */
int RenderToWav(const Options* Opt);

#endif /* ZEBPLAY_H */
