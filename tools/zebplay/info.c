/* --devices and --info: what the library's queries report. */
#include "zebplay.h"

#include <limits.h>
#include <string.h>

int ListDevices(void)
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

/* The track's length as --info shows it: exact to the millisecond where
   the library knows it, else the whole seconds of the track query. */
static void FormatLength(const char* Path, const MPEGTrackInfoType* Info, char* Text, size_t Size)
{
    ZEBTrackDetails Details;
    memset(&Details, 0, sizeof Details);
    Details.Size = sizeof Details;
    if (ZEBAudioGetTrackDetails(Path, &Details))
        snprintf(Text, Size, "%llu.%03llu s", (unsigned long long)(Details.LengthMs / 1000),
                 (unsigned long long)(Details.LengthMs % 1000));
    else
        snprintf(Text, Size, "%u s", (unsigned)Info->TrackLength);
}

static void ReportRefusal(const char* Path)
{
    char Why[PATH_MAX + 256];
    if (!ExplainRefusal(Path, Why, sizeof Why))
        snprintf(Why, sizeof Why, "%s", "not of a known format, or damaged");
    fprintf(stderr, "zebplay: %s: cannot be opened: %s\n", Path, Why);
}

/* Prints the block of one file, after an empty line unless it is the
   first (Shown is the count of blocks before it). */
static int PrintTrackInfo(const char* Path, int Shown)
{
    MPEGTrackInfoType Info;
    memset(&Info, 0, sizeof Info);
    if (ReportUnusableFile(Path))
        return 0;
    if (!ZEBAudioGetMP3TrackInfo(Path, &Info)) {
        ReportRefusal(Path);
        return 0;
    }
    uint32_t Scanned = ZEBAudioGetMP3TrackLength(Path);
    FileKind Kind;
    ProbeFile(Path, &Kind);
    char Length[64];
    FormatLength(Path, &Info, Length, sizeof Length);
    printf("%s%s\n", Shown ? "\n" : "", Path);
    if (Kind.Container)
        printf("  container:      %s\n", Kind.Container);
    if (Kind.Codec)
        printf("  codec:          %s\n", Kind.Codec);
    printf("  length:         %s\n", Length);
    printf("  scanned length: %u s\n", (unsigned)Scanned);
    printf("  sample rate:    %u Hz\n", (unsigned)Info.SampleRate);
    printf("  channels:       %u\n", (unsigned)Info.Channels);
    if (Info.BitRate)
        printf("  bit rate:       %u kbit/s\n", (unsigned)Info.BitRate);
    else
        printf("  bit rate:       0 (variable or not given)\n");
    if (Info.Supported)
        printf("  supported:      yes\n");
    else if (Info.Channels > 2)
        printf("  supported:      no (%u channels: only mono and stereo are played)\n", (unsigned)Info.Channels);
    else
        printf("  supported:      no\n");
    return 1;
}

int ShowInfo(const Options* Opt)
{
    int Failed = 0, Shown = 0;
    for (int I = 0; I < Opt->FileCount; I++) {
        int Ok = PrintTrackInfo(Opt->Files[I], Shown);
        Shown += Ok;
        Failed |= !Ok;
        fflush(stdout);
    }
    return Failed ? EXIT_PLAY_FAILED : 0;
}
