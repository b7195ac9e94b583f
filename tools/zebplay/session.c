/* One player and its window: the answers and notifications it posts, and
   waiting for them. */
#include "zebplay.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

static void UpdatePlayState(Session* S, uint32_t State)
{
    switch (State) {
    case ZEB_PLAYER_STATE_STOPPED: S->State = SHOWN_STOPPED; break;
    case ZEB_PLAYER_STATE_PLAYING: S->State = SHOWN_PLAYING; break;
    case ZEB_PLAYER_STATE_PAUSED: S->State = SHOWN_PAUSED; break;
    case ZEB_PLAYER_STATE_EOS:
        /* Decoding ended: the track is shown complete while its last
           second plays out. */
        S->State = SHOWN_ENDED;
        S->Ended = 1;
        if (S->LengthSec)
            S->ShownMs = TrackLengthMs(S);
        break;
    default: return;
    }
    if (S->State != SHOWN_ENDED)
        AskPosition(S); /* where the sound stopped or starts again */
    DrawStatusLine(S);
}

/* An answer that arrives once the track has ended (or before the next one
   plays) belongs to what was heard before. */
static void TakePosition(Session* S, uint32_t Ms)
{
    S->PositionAsked = 0;
    if (S->State == SHOWN_OPENING || S->State == SHOWN_ENDED)
        return;
    S->ShownMs = Ms;
    DrawStatusLine(S);
}

void AskPosition(Session* S)
{
    if (S->PositionAsked)
        return;
    S->PositionAsked = 1;
    ZEBAudioGetPlayPosition(S->Player);
}

void HandleMessage(Session* S, const ZEBMessage* M)
{
    switch (M->Msg) {
    case ZEB_RSP_OK:
        if (M->wParam == ZEB_CMD_SEEK && S->SeeksPending > 0)
            S->SeeksPending--;
        if (M->wParam == ZEB_CMD_SEEK)
            AskPosition(S); /* the new position, also while paused */
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
    case ZEB_NTF_ELAPSED_TIME: /* with heard progress on: the position heard */
        S->ShownMs = M->lParam;
        ShowProgress(S);
        break;
    case ZEB_NTF_PLAY_POSITION: TakePosition(S, M->lParam); break;
    case ZEB_NTF_PLAY_STATE: UpdatePlayState(S, M->wParam); break;
    default: break;
    }
}

void HandleWaitingMessages(Session* S)
{
    ZEBMessage M;
    while (ZEBWindowGetMessage(S->Window, &M, 0))
        HandleMessage(S, &M);
}

/* After a stop and continue the terminal is ours again only once we are
   back in the foreground. */
void ReapplyRawModeAfterResume(Session* S)
{
    if (!Resumed || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return;
    Resumed = 0;
    if (ApplyRawMode())
        DrawStatusLine(S);
}

/* Takes the next message within TimeoutMs. 0 on time-out or when a signal
   asks us to quit. */
int NextMessage(Session* S, ZEBMessage* M, int TimeoutMs)
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

int AwaitOrComplain(Session* S, uint32_t Cmd, int TimeoutMs)
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

int OpenSession(Session* S, const Options* Opt)
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
int CloseSession(Session* S)
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
