/* A minimal C host built against the installed package: creates a player,
   pings it and expects ZEB_RSP_OK for "Ping" followed by ZEB_NTF_PONG. */
#include <zeb-audio.h>

#include <stdio.h>

int main(void)
{
    ZEBWindow* Window = ZEBWindowCreate();
    void* Player = ZEBAudioPlayerCreate(Window);
    if (!Window || !Player)
        return 2;
    ZEBAudioPing(Player);
    ZEBMessage First, Second;
    int Got = ZEBWindowGetMessage(Window, &First, 5000) && ZEBWindowGetMessage(Window, &Second, 5000);
    ZEBAudioPlayerDestroy(Player);
    ZEBWindowDestroy(Window);
    if (!Got || First.Msg != ZEB_RSP_OK || First.wParam != ZEB_CMD_PING || Second.Msg != ZEB_NTF_PONG) {
        fprintf(stderr, "unexpected answer to Ping\n");
        return 1;
    }
    printf("pong\n");
    return 0;
}
