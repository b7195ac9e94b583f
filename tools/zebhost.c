/* zebhost: a small host that drives one player through its command protocol
   and prints every message it receives with its name. With a file argument
   it opens and plays that file through a counting output module. */
#include "zeb-audio.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned long long BytesWritten;

static int CountCreate(void** Inst, void* Params) { *Inst = Params; return 1; }
static void CountWrite(void* Inst, void* Buf, uint32_t Size, uint16_t Bps, uint16_t Channels, uint32_t Rate)
{
    (void)Inst; (void)Buf; (void)Bps; (void)Channels; (void)Rate;
    BytesWritten += Size;
}
static void CountRegister(OutputModule* M)
{
    M->OutputCreate = CountCreate;
    M->OutputWrite = CountWrite;
}

static const char* MessageName(uint32_t Msg)
{
    static const char* const Names[] = {
        "ZEB_RSP_ERROR", "ZEB_RSP_OK", "ZEB_NTF_PLAY_STATE", "ZEB_NTF_POSITION",
        "ZEB_NTF_ELAPSED_TIME", "ZEB_NTF_INPUT_OPENED", "ZEB_NTF_PONG", "ZEB_NTF_PRELOAD",
        "ZEB_NTF_ERROR", "ZEB_NTF_MAIN_VOLUME",
    };
    if (Msg >= 0x8000 && Msg <= 0x8009)
        return Names[Msg - 0x8000];
    return "unknown";
}

static void PrintMessage(const ZEBMessage* M)
{
    printf("%-22s wParam=0x%04x lParam=%u", MessageName(M->Msg), M->wParam, M->lParam);
    if (M->Msg == ZEB_RSP_ERROR || M->Msg == ZEB_NTF_ERROR) {
        char Text[ZEB_ERROR_STRING_SIZE];
        ZEBAudioFormatErrorString((int)M->wParam, (int)M->lParam, Text);
        printf("  (%s)", Text);
    }
    printf("\n");
    fflush(stdout);
}

/* Prints messages until (Msg, wParam) arrives or TimeoutMs pass quietly. */
static int WaitFor(ZEBWindow* Window, uint32_t Msg, uint32_t wParam, int TimeoutMs)
{
    ZEBMessage M;
    while (ZEBWindowGetMessage(Window, &M, TimeoutMs)) {
        PrintMessage(&M);
        if (M.Msg == Msg && M.wParam == wParam)
            return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    if (!Window || !Player) {
        fprintf(stderr, "zebhost: cannot create a player\n");
        return 1;
    }
    printf("player created\n");
    ZEBAudioPing(Player);
    WaitFor(Window, ZEB_NTF_PONG, 0, 2000);
    ZEBAudioOutputOpenModule(Player, "COUNTER", CountRegister, NULL);
    ZEBAudioSetInputTimeInterval(Player, 500);
    ZEBAudioGetMainVolume(Player);
    WaitFor(Window, ZEB_NTF_MAIN_VOLUME, 0, 2000);
    int Status = 0;
    if (argc > 1) {
        ZEBAudioInputOpen(Player, argv[1]);
        ZEBAudioPlay(Player);
        if (!WaitFor(Window, ZEB_NTF_PLAY_STATE, ZEB_PLAYER_STATE_EOS, 5000))
            Status = 1;
    } else {
        ZEBAudioPlay(Player);
        ZEBAudioSeek(Player, 101, 100);
        ZEBAudioStop(Player);
        ZEBAudioPing(Player);
        WaitFor(Window, ZEB_NTF_PONG, 0, 2000);
    }
    ZEBAudioPlayerDestroy(Player);
    WaitFor(Window, ZEB_RSP_OK, ZEB_CMD_INPUT_CLOSE, 2000);
    printf("player destroyed; %llu bytes reached the output\n", BytesWritten);
    ZEBWindowDestroy(Window);
    return Status;
}
