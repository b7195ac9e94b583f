/* The command line: options, their checks and the help text. */
#include "zebplay.h"

#include <errno.h>
#include <getopt.h>
#include <stdlib.h>
#include <string.h>

/* Codes of the options that have no short form. */
enum {
    OPTION_DEVICES = 256, OPTION_INFO, OPTION_VERSION, OPTION_WM_LIST, OPTION_WM_GET, OPTION_WM_SET, OPTION_WM_DEL
};

void PrintUsage(FILE* To)
{
    fputs("Usage: zebplay [OPTION]... FILE...\n"
          "       zebplay --devices\n"
          "       zebplay --info FILE...\n"
          "       zebplay --version\n"
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
          "      --version        show the versions, decoder libraries and modules\n"
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
    if (errno || End == Text || *End || !(Number >= RATE_MIN && Number <= RATE_MAX))
        return 0;
    *Rate = Number;
    return 1;
}

int UsageError(const char* Format, const char* Argument)
{
    fputs("zebplay: ", stderr);
    fprintf(stderr, Format, Argument);
    fputs("\nTry 'zebplay --help' for more information.\n", stderr);
    return EXIT_USAGE;
}

/* Each option that chooses what zebplay does may be given once, and only
   one of them. */
static int SetMode(Options* Opt, Mode Chosen, const char* Option)
{
    if (Opt->ModeOption) {
        char Text[128];
        if (strcmp(Opt->ModeOption, Option) == 0)
            snprintf(Text, sizeof Text, "%s given twice", Option);
        else
            snprintf(Text, sizeof Text, "%s and %s cannot be combined", Opt->ModeOption, Option);
        return UsageError("%s", Text);
    }
    Opt->Mode = Chosen;
    Opt->ModeOption = Option;
    return 0;
}

static int ParsePlaybackOption(int Code, const char* Argument, Options* Opt)
{
    uint32_t Number;
    switch (Code) {
    case 'd':
        if (!ParseUnsigned(Argument, 0xFFFFFFFFul, &Opt->Device))
            return UsageError("invalid device index '%s'", Argument);
        Opt->PlaybackOption = "--device";
        return 0;
    case 'v':
        if (!ParseUnsigned(Argument, VOLUME_MAX, &Opt->Volume))
            return UsageError("invalid volume '%s' (0..100)", Argument);
        Opt->VolumeGiven = 1;
        Opt->PlaybackOption = "--volume";
        return 0;
    case 'r':
        if (!ParseRate(Argument, &Opt->Rate))
            return UsageError("invalid rate '%s' (0.25..4)", Argument);
        Opt->RateGiven = 1;
        Opt->PlaybackOption = "--rate";
        return 0;
    case 'i':
        if (!ParseUnsigned(Argument, INTERVAL_MAX_MS, &Number) || Number == 0)
            return UsageError("invalid interval '%s' (milliseconds, at least 1)", Argument);
        Opt->IntervalMs = (int)Number;
        Opt->PlaybackOption = "--interval";
        return 0;
    default:
        Opt->Preload = 1;
        Opt->PlaybackOption = "--preload";
        return 0;
    }
}

static int ParseOption(int Code, const char* Argument, Options* Opt)
{
    switch (Code) {
    case 'd': case 'v': case 'r': case 'i': case 'p': return ParsePlaybackOption(Code, Argument, Opt);
    case 'f': Opt->Force = 1; return 0;
    case OPTION_DEVICES: return SetMode(Opt, MODE_DEVICES, "--devices");
    case OPTION_INFO: return SetMode(Opt, MODE_INFO, "--info");
    case OPTION_VERSION: return SetMode(Opt, MODE_VERSION, "--version");
    case 'w': Opt->WavPath = Argument; return SetMode(Opt, MODE_WAV, "--wav");
    case OPTION_WM_LIST: return SetMode(Opt, MODE_WM_LIST, "--wm-list");
    case OPTION_WM_GET: Opt->WmArgument = Argument; return SetMode(Opt, MODE_WM_GET, "--wm-get");
    case OPTION_WM_SET:
        if (!strchr(Argument, '=') || Argument[0] == '=')
            return UsageError("--wm-set needs NAME=VALUE, not '%s'", Argument);
        Opt->WmArgument = Argument;
        return SetMode(Opt, MODE_WM_SET, "--wm-set");
    case OPTION_WM_DEL: Opt->WmArgument = Argument; return SetMode(Opt, MODE_WM_DEL, "--wm-del");
    case 'h': Opt->Help = 1; return 0;
    default: return UsageError("%s", "unknown option");
    }
}

static int CheckFileCount(const Options* Opt)
{
    if ((Opt->Mode == MODE_DEVICES || Opt->Mode == MODE_VERSION) && Opt->FileCount > 0)
        return UsageError("%s takes no file", Opt->ModeOption);
    if ((Opt->Mode == MODE_PLAY || Opt->Mode == MODE_INFO) && Opt->FileCount == 0)
        return UsageError("%s", "no file given");
    if (Opt->Mode == MODE_WAV && Opt->FileCount != 1)
        return UsageError("%s", "--wav renders exactly one file");
    if (Opt->Mode == MODE_WAV && (Opt->VolumeGiven || Opt->RateGiven))
        return UsageError("%s", "--wav writes the audio as decoded; --volume and --rate apply to playback only");
    if (Opt->Mode != MODE_WAV && Opt->Force)
        return UsageError("%s", "--force goes with --wav only");
    if (Opt->Mode != MODE_PLAY && Opt->PlaybackOption) {
        char Text[128];
        snprintf(Text, sizeof Text, "%s applies to playback only, not to %s", Opt->PlaybackOption, Opt->ModeOption);
        return UsageError("%s", Text);
    }
    if (Opt->Mode >= MODE_WM_LIST && Opt->FileCount != 1)
        return UsageError("%s", "the --wm options take exactly one file");
    return 0;
}

/* Fills Opt; returns 0 to go on, or an exit status. */
int ParseOptions(int argc, char** argv, Options* Opt)
{
    static const struct option Long[] = {
        {"device", required_argument, NULL, 'd'}, {"volume", required_argument, NULL, 'v'},
        {"rate", required_argument, NULL, 'r'},   {"interval", required_argument, NULL, 'i'},
        {"preload", no_argument, NULL, 'p'},      {"devices", no_argument, NULL, OPTION_DEVICES},
        {"force", no_argument, NULL, 'f'},
        {"info", no_argument, NULL, OPTION_INFO}, {"wav", required_argument, NULL, 'w'},
        {"help", no_argument, NULL, 'h'},         {"version", no_argument, NULL, OPTION_VERSION},         {"wm-list", no_argument, NULL, OPTION_WM_LIST},
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
    if (Opt->Help)
        Opt->Mode = MODE_HELP; /* help whatever else was asked */
    return Opt->Mode == MODE_HELP ? 0 : CheckFileCount(Opt);
}
