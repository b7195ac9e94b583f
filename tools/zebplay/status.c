/* What the user sees of a track: the status line on a terminal, plain
   progress lines otherwise, and errors in between. */
#include "zebplay.h"

#include <limits.h>
#include <string.h>

static const char* const ShownStateNames[] = {"opening", "playing", "paused", "stopped", "ended"};

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

uint64_t TrackLengthMs(const Session* S) { return (uint64_t)S->LengthSec * 1000; }

/* Ms as a share 0..Scale of the track, 0 when its length is unknown. */
static unsigned ProgressShare(const Session* S, uint64_t Ms, unsigned Scale)
{
    uint64_t Length = TrackLengthMs(S);
    if (!Length)
        return 0;
    uint64_t Elapsed = Ms < Length ? Ms : Length;
    return (unsigned)(Elapsed * Scale / Length);
}

/* "00:12 / 03:40" */
static void FormatTimes(const Session* S, uint64_t Ms, char* Text, size_t Size)
{
    char Elapsed[32], Total[32];
    FormatTime(Elapsed, sizeof Elapsed, Ms);
    if (S->LengthSec)
        FormatTime(Total, sizeof Total, TrackLengthMs(S));
    else
        snprintf(Total, sizeof Total, "--:--");
    snprintf(Text, Size, "%s / %s", Elapsed, Total);
}

static void FormatBar(const Session* S, char* Bar, int Width)
{
    int Filled = (int)ProgressShare(S, S->ShownMs, (unsigned)Width);
    for (int I = 0; I < Width; I++)
        Bar[I] = I < Filled ? '#' : '-';
    Bar[Width] = '\0';
}

void DrawStatusLine(Session* S)
{
    if (!S->StatusLine || !S->Path)
        return;
    int Width = TerminalWidth() - 1; /* never touch the last column: no wrap */
    if (Width > STATUS_LINE_MAX - 1)
        Width = STATUS_LINE_MAX - 1;
    char Times[96], Bar[BAR_WIDTH_WIDE + 1], Tail[STATUS_LINE_MAX];
    FormatTimes(S, S->ShownMs, Times, sizeof Times);
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

void PrintPlainLine(Session* S)
{
    if (!S->PlainLines || !S->Path)
        return;
    char Times[96];
    FormatTimes(S, S->ShownMs, Times, sizeof Times);
    printf("%s  %s  %3u%%  %s\n", S->Path, Times, ProgressShare(S, S->ShownMs, 100), ShownStateNames[S->State]);
    fflush(stdout);
}

void ShowProgress(Session* S)
{
    DrawStatusLine(S);
    PrintPlainLine(S);
}

/* Leaves the status line as it stands and moves below it. */
void FinishStatusLine(Session* S)
{
    if (S->StatusShown) {
        fputs("\n", stdout);
        fflush(stdout);
        S->StatusShown = 0;
    }
}

void PrintError(Session* S, const char* Text)
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

void PrintCommandError(Session* S, uint32_t Cmd, uint32_t Code)
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
void PrintStreamError(Session* S, uint32_t Code, uint32_t Detail)
{
    char Text[ZEB_ERROR_STRING_SIZE];
    char Line[ZEB_ERROR_STRING_SIZE + 32];
    ZEBAudioFormatErrorString(ZEB_CMD_INTERNAL_ERROR, (int)Code, Text);
    snprintf(Line, sizeof Line, "%s (detail %u)", Text, (unsigned)Detail);
    PrintError(S, Line);
}

void ExplainInputRefusal(Session* S)
{
    char Why[PATH_MAX + 256];
    if (S->Path && ExplainRefusal(S->Path, Why, sizeof Why))
        PrintError(S, Why);
}
