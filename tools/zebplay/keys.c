/* Keys while a track plays: pause, seek, volume and rate. */
#include "zebplay.h"

#include <errno.h>
#include <unistd.h>

static void SeekBy(Session* S, int DeltaMs)
{
    if (S->State != SHOWN_PLAYING && S->State != SHOWN_PAUSED && S->State != SHOWN_STOPPED)
        return; /* not started yet: the player's state is not known */
    uint64_t Range = TrackLengthMs(S);
    if (!Range) {
        PrintError(S, "cannot seek: the track length is not known");
        return;
    }
    /* A seek moves from the position shown, which follows what is heard
       rather than what was decoded. Seeks in quick succession add up; the
       position shown changes only when the player reports it. */
    uint32_t From = S->SeeksPending ? S->SeekTargetMs : (uint32_t)S->ShownMs;
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
    S->Rate = Rate < RATE_MIN ? RATE_MIN : Rate > RATE_MAX ? RATE_MAX : Rate;
    ZEBAudioSetOutputFrequency(S->Player, S->Rate);
    DrawStatusLine(S);
}


static KeyAction ApplyKey(Session* S, int Key)
{
    switch (Key) {
    case ' ': TogglePause(S); break;
    case 'C': SeekBy(S, SEEK_STEP_MS); break;  /* arrow right */
    case 'D': SeekBy(S, -SEEK_STEP_MS); break; /* arrow left */
    case 'A': ChangeVolume(S, VOLUME_STEP); break;
    case 'B': ChangeVolume(S, -VOLUME_STEP); break;
    case '[': ChangeRate(S, -RATE_STEP_HUNDREDTHS); break;
    case ']': ChangeRate(S, RATE_STEP_HUNDREDTHS); break;
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

KeyAction ReadKeys(Session* S)
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
