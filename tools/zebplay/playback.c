/* Playing files in turn on an output device. */
#include "zebplay.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

typedef enum TrackOutcome { TRACK_NEXT, TRACK_QUIT } TrackOutcome;

void BeginTrack(Session* S, const char* Path)
{
    S->Path = Path;
    S->LengthSec = 0;
    S->ShownMs = 0;
    S->PositionAsked = 0;
    S->SeeksPending = 0;
    S->State = SHOWN_OPENING;
    S->Ended = 0;
    S->TrackFailed = 0;
    DrawStatusLine(S);
}


/* Stops the track and waits until the player has answered. */
static void StopTrack(Session* S)
{
    ZEBAudioStop(S->Player);
    AwaitOrComplain(S, ZEB_CMD_STOP, COMMAND_TIMEOUT_MS);
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
        int Tick = S->StatusLine && S->State == SHOWN_PLAYING ? STATUS_TICK_MS : -1;
        int Ready = poll(Wait, S->Keys && !Resumed ? 2 : 1, Tick);
        if (Ready < 0) {
            if (errno == EINTR)
                continue;
            PrintError(S, strerror(errno));
            return TRACK_QUIT;
        }
        if (Ready == 0) {
            AskPosition(S); /* the sound moves on between reports */
            continue;
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
    const char* Unusable = CheckInputFile(Path);
    if (Unusable) {
        PrintError(S, Unusable);
        FinishStatusLine(S);
        S->Path = NULL;
        return TRACK_NEXT;
    }
    ZEBAudioInputOpen(S->Player, Path);
    int Opened = AwaitOrComplain(S, ZEB_CMD_INPUT_OPEN, OPEN_TIMEOUT_MS);
    if (Opened == 0)
        ExplainInputRefusal(S);
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
    /* Progress reports give the position heard, a buffer behind decoding. */
    ZEBAudioSetHeardProgress(S->Player, 1);
    ZEBAudioSetOutputVolume(S->Player, S->Volume);
    ZEBAudioSetOutputFrequency(S->Player, S->Rate);
    return 1;
}

int PlayFiles(const Options* Opt)
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
