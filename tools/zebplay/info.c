/* --devices and --info: what the library's queries report. */
#include "zebplay.h"

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

int ShowInfo(const Options* Opt)
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
