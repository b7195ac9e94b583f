/* Why a file cannot be played: checks before the library opens it, the
   container and codec read from its first bytes, the decoder libraries and
   modules the library has loaded, and --version. */
#include "zebplay.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { HEAD_BYTES = 65536, MOOV_MAX = 32 << 20, ID3_HEADER = 10 };

/* ---------------------------------------------------- before the library */

const char* CheckInputFile(const char* Path)
{
    struct stat St;
    if (stat(Path, &St) != 0)
        return strerror(errno);
    if (S_ISDIR(St.st_mode))
        return "is a folder, not a file";
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0)
        return strerror(errno);
    close(Fd);
    if (S_ISREG(St.st_mode) && St.st_size == 0)
        return "empty file";
    return NULL;
}

int ReportUnusableFile(const char* Path)
{
    const char* Why = CheckInputFile(Path);
    if (Why)
        fprintf(stderr, "zebplay: %s: %s\n", Path, Why);
    return Why != NULL;
}

/* --------------------------------------------------- container and codec */

static uint32_t Le32(const unsigned char* P) { return P[0] | P[1] << 8 | P[2] << 16 | (uint32_t)P[3] << 24; }
static uint32_t Be32(const unsigned char* P) { return (uint32_t)P[0] << 24 | P[1] << 16 | P[2] << 8 | P[3]; }

static const unsigned char AsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                            0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
static const unsigned char AsfStream[16] = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                            0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
static const unsigned char AsfAudio[16] = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
static const unsigned char Wave64Riff[16] = {'r', 'i', 'f', 'f', 0x2E, 0x91, 0xCF, 0x11,
                                             0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};

typedef struct CodeName {
    uint32_t Code;
    const char* Name;
} CodeName;

static const char* NameOf(const CodeName* Table, size_t Count, uint32_t Code)
{
    for (size_t I = 0; I < Count; I++)
        if (Table[I].Code == Code)
            return Table[I].Name;
    return NULL;
}
#define NAME_OF(Table, Code) NameOf(Table, sizeof Table / sizeof Table[0], Code)

static const char* WaveCodec(const unsigned char* Head, size_t Size)
{
    static const CodeName Tags[] = {{1, "PCM"}, {2, "Microsoft ADPCM"}, {3, "IEEE float"}, {6, "A-law"},
                                    {7, "mu-law"}, {0x11, "IMA ADPCM"}, {0x55, "MPEG Layer III"},
                                    {0xFFFE, "PCM (extensible)"}};
    for (size_t At = 12; At + 10 <= Size;) {
        uint32_t Length = Le32(Head + At + 4);
        if (memcmp(Head + At, "fmt ", 4) == 0)
            return NAME_OF(Tags, (uint32_t)(Head[At + 8] | Head[At + 9] << 8));
        if (Length > Size - At - 8)
            break;
        At += 8 + Length + (Length & 1);
    }
    return NULL;
}

static const char* OggCodec(const unsigned char* Head, size_t Size)
{
    size_t Packet = Size > 27 ? 27 + (size_t)Head[26] : Size;
    if (Packet + 8 > Size)
        return NULL;
    const unsigned char* P = Head + Packet;
    if (memcmp(P, "\x01vorbis", 7) == 0)
        return "Vorbis";
    if (memcmp(P, "OpusHead", 8) == 0)
        return "Opus";
    if (memcmp(P, "\x7F" "FLAC", 5) == 0)
        return "FLAC";
    if (memcmp(P, "Speex   ", 8) == 0)
        return "Speex";
    return NULL;
}

static const char* AsfCodec(const unsigned char* Head, size_t Size)
{
    static const CodeName Tags[] = {{1, "PCM"}, {0x0A, "WMA Voice"}, {0x160, "WMA 1"}, {0x161, "WMA 2"},
                                    {0x162, "WMA Pro"}, {0x163, "WMA Lossless"}};
    for (size_t At = 30; At + 80 <= Size; At++)
        if (memcmp(Head + At, AsfStream, 16) == 0 && memcmp(Head + At + 24, AsfAudio, 16) == 0)
            return NAME_OF(Tags, (uint32_t)(Head[At + 78] | Head[At + 79] << 8));
    return NULL;
}

/* The sample entry of the first audio track in the "moov" box. */
static const char* Mp4Codec(int Fd)
{
    static const CodeName Entries[] = {{0x6D703461, "AAC"},  {0x616C6163, "ALAC"}, {0x4F707573, "Opus"},
                                       {0x664C6143, "FLAC"}, {0x61632D33, "AC-3"}, {0x65632D33, "E-AC-3"},
                                       {0x2E6D7033, "MP3"}};
    unsigned char Box[16];
    off_t At = 0;
    while (pread(Fd, Box, 8, At) == 8) {
        uint64_t Length = Be32(Box);
        if (Length == 1 && pread(Fd, Box + 8, 8, At + 8) == 8)
            Length = (uint64_t)Be32(Box + 8) << 32 | Be32(Box + 12);
        if (Length < 8)
            return NULL;
        if (memcmp(Box + 4, "moov", 4) == 0) {
            size_t Size = Length < MOOV_MAX ? (size_t)Length : MOOV_MAX;
            unsigned char* Moov = malloc(Size);
            ssize_t Got = Moov ? pread(Fd, Moov, Size, At) : -1;
            const char* Codec = NULL;
            for (ssize_t I = 0; !Codec && I + 20 <= Got; I++)
                if (memcmp(Moov + I, "stsd", 4) == 0)
                    Codec = NAME_OF(Entries, Be32(Moov + I + 16));
            free(Moov);
            return Codec;
        }
        At += (off_t)Length;
    }
    return NULL;
}

/* MPEG audio or ADTS frames, after an ID3v2 tag if there is one. */
static void SniffFrames(const unsigned char* Head, size_t Size, FileKind* K)
{
    static const char* const Layers[] = {NULL, "Layer III", "Layer II", "Layer I"};
    static const char* const Versions[] = {"MPEG-2.5", NULL, "MPEG-2", "MPEG-1"};
    size_t At = 0;
    if (Size >= ID3_HEADER && memcmp(Head, "ID3", 3) == 0)
        At = ID3_HEADER + ((size_t)(Head[6] & 0x7F) << 21 | (Head[7] & 0x7F) << 14 | (Head[8] & 0x7F) << 7 |
                           (Head[9] & 0x7F));
    if (At + 2 > Size || Head[At] != 0xFF || (Head[At + 1] & 0xE0) != 0xE0)
        return;
    unsigned Layer = (Head[At + 1] >> 1) & 3, Version = (Head[At + 1] >> 3) & 3;
    if (Layer == 0 && (Head[At + 1] & 0xF6) == 0xF0) {
        K->Container = "ADTS";
        K->Codec = "AAC";
    } else if (Layer && Versions[Version]) {
        K->Container = "MPEG audio";
        snprintf(K->CodecText, sizeof K->CodecText, "%s %s", Versions[Version], Layers[Layer]);
        K->Codec = K->CodecText;
    }
}

void ProbeFile(const char* Path, FileKind* K)
{
    static unsigned char Head[HEAD_BYTES];
    memset(K, 0, sizeof *K);
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    ssize_t Got = Fd >= 0 ? pread(Fd, Head, sizeof Head, 0) : -1;
    size_t Size = Got > 0 ? (size_t)Got : 0;
    if (Size >= 12 && memcmp(Head, "RIFF", 4) == 0 && memcmp(Head + 8, "WAVE", 4) == 0) {
        K->Container = "WAVE";
        K->Codec = WaveCodec(Head, Size);
    } else if (Size >= 16 && memcmp(Head, Wave64Riff, 16) == 0) {
        K->Container = "Wave64";
    } else if (Size >= 12 && memcmp(Head, "FORM", 4) == 0 && memcmp(Head + 8, "AIF", 3) == 0) {
        K->Container = Head[11] == 'C' ? "AIFF-C" : "AIFF";
    } else if (Size >= 4 && memcmp(Head, "fLaC", 4) == 0) {
        K->Container = K->Codec = "FLAC";
    } else if (Size >= 4 && memcmp(Head, "OggS", 4) == 0) {
        K->Container = "Ogg";
        K->Codec = OggCodec(Head, Size);
    } else if (Size >= 4 && memcmp(Head, "caff", 4) == 0) {
        K->Container = "CAF";
    } else if (Size >= 8 && memcmp(Head + 4, "ftyp", 4) == 0) {
        K->Container = "MP4";
        K->Codec = Mp4Codec(Fd);
    } else if (Size >= 16 && memcmp(Head, AsfHeader, 16) == 0) {
        K->Container = "ASF";
        K->Codec = AsfCodec(Head, Size);
    } else {
        SniffFrames(Head, Size, K);
    }
    if (Fd >= 0)
        close(Fd);
}

/* ------------------------------------------- loaded libraries and modules */

typedef struct LoadedSearch {
    const char* Prefix;
    char Path[PATH_MAX];
} LoadedSearch;

static int MatchLoaded(struct dl_phdr_info* Object, size_t Size, void* Data)
{
    LoadedSearch* Search = Data;
    const char* Slash = strrchr(Object->dlpi_name, '/');
    const char* Name = Slash ? Slash + 1 : Object->dlpi_name;
    if (strncmp(Name, Search->Prefix, strlen(Search->Prefix)) != 0)
        return 0;
    snprintf(Search->Path, sizeof Search->Path, "%s", Object->dlpi_name);
    return 1;
}

/* The path of the loaded object whose file name starts with Prefix
   ("libFLAC.so"), or null. */
static const char* LoadedPath(const char* Prefix, char* Path, size_t Size)
{
    LoadedSearch Search;
    Search.Prefix = Prefix;
    if (!dl_iterate_phdr(MatchLoaded, &Search))
        return NULL;
    snprintf(Path, Size, "%s", Search.Path);
    return Path;
}

/* Where the library looks for its module Name: zeb-audio/ in its own
   folder. */
static int ModulePath(const char* Name, char* Path, size_t Size)
{
    char Library[PATH_MAX], Resolved[PATH_MAX];
    if (!LoadedPath("libzeb-audio.so", Library, sizeof Library) || !realpath(Library, Resolved))
        return 0;
    char* Slash = strrchr(Resolved, '/');
    *Slash = '\0';
    return (size_t)snprintf(Path, Size, "%s/zeb-audio/%s", Resolved, Name) < Size;
}

/* Whether the module Name is loaded; when not, why it does not load (the
   loader's words) into Why, or an empty Why when it would load. */
static int ModuleLoaded(const char* Name, char* Path, size_t PathSize, char* Why, size_t WhySize)
{
    char Loaded[PATH_MAX];
    Why[0] = '\0';
    if (!ModulePath(Name, Path, PathSize))
        snprintf(Path, PathSize, "%s", Name);
    if (LoadedPath(Name, Loaded, sizeof Loaded))
        return 1;
    void* Module = dlopen(Path, RTLD_LAZY | RTLD_LOCAL);
    if (Module) {
        dlclose(Module);
        return 0;
    }
    /* The loader's words, without the path they start with. */
    const char* Error = dlerror();
    size_t Length = strlen(Path);
    if (Error && strncmp(Error, Path, Length) == 0 && strncmp(Error + Length, ": ", 2) == 0)
        Error += Length + 2;
    snprintf(Why, WhySize, "%s", Error ? Error : "unknown reason");
    return 0;
}

typedef struct Decoder {
    const char* Formats;
    const char* Prefix;   /* file name of the library, up to its version */
    const char* Module;   /* or the project's module */
} Decoder;

static const Decoder Decoders[] = {
    {"MPEG audio", "libmpg123.so", NULL},
    {"Ogg Vorbis", "libvorbisfile.so", NULL},
    {"AAC", "libfaad.so", NULL},
    {"FLAC", "libFLAC.so", NULL},
    {"sound files (WAVE, AIFF, ...)", "libsndfile.so", NULL},
    {"MP4", NULL, "libzeb-mp4.so"},
    {"Windows Media", NULL, "libzeb-wmf.so"},
};

/* The decoder the file's kind needs that is not there, as a sentence into
   Text; 0 when nothing is missing. */
static int MissingDecoder(const FileKind* K, char* Text, size_t Size)
{
    static const struct { const char* Container; const char* Prefix; const char* Module; } Needs[] = {
        {"Ogg", "libvorbisfile.so", NULL}, {"FLAC", "libFLAC.so", NULL}, {"ADTS", "libfaad.so", NULL},
        {"MP4", "libfaad.so", NULL},       {"MP4", NULL, "libzeb-mp4.so"}, {"ASF", NULL, "libzeb-wmf.so"},
    };
    char Path[PATH_MAX], Why[PATH_MAX + 128];
    for (size_t I = 0; K->Container && I < sizeof Needs / sizeof Needs[0]; I++) {
        if (strcmp(Needs[I].Container, K->Container) != 0)
            continue;
        if (Needs[I].Prefix && !LoadedPath(Needs[I].Prefix, Path, sizeof Path)) {
            snprintf(Text, Size, "%s files need %s, which is not installed", K->Container, Needs[I].Prefix);
            return 1;
        }
        if (Needs[I].Module && !ModuleLoaded(Needs[I].Module, Path, sizeof Path, Why, sizeof Why)) {
            snprintf(Text, Size, "the module %s did not load%s%s", Path, Why[0] ? ": " : "", Why);
            return 1;
        }
    }
    return 0;
}

/* A codec the container may hold that the library does not play. */
static const char* UnplayedCodec(const FileKind* K)
{
    static const struct { const char* Container; const char* Played; } Only[] = {
        {"MP4", "AAC"}, {"Ogg", "Vorbis"},
    };
    for (size_t I = 0; K->Container && K->Codec && I < sizeof Only / sizeof Only[0]; I++)
        if (strcmp(Only[I].Container, K->Container) == 0 && strcmp(Only[I].Played, K->Codec) != 0)
            return Only[I].Played;
    return NULL;
}

int ExplainRefusal(const char* Path, char* Text, size_t Size)
{
    FileKind K;
    ProbeFile(Path, &K);
    const char* Played = UnplayedCodec(&K);
    if (Played) {
        snprintf(Text, Size, "%s in %s: only %s is played", K.Codec, K.Container, Played);
        return 1;
    }
    if (MissingDecoder(&K, Text, Size))
        return 1;
    MPEGTrackInfoType Info;
    memset(&Info, 0, sizeof Info);
    Info.TrackLength = 1; /* no length scan */
    if (ZEBAudioGetMP3TrackInfo(Path, &Info) && Info.Channels > 2) {
        snprintf(Text, Size, "%u channels: only mono and stereo are played", (unsigned)Info.Channels);
        return 1;
    }
    return 0;
}

/* ---------------------------------------------------------------- version */

int PrintVersion(void)
{
    char Path[PATH_MAX], Why[PATH_MAX + 128];
    printf("zebplay %s\n", ZEBPLAY_VERSION);
    if (LoadedPath("libzeb-audio.so", Path, sizeof Path))
        printf("library: zeb-audio %s, %s\n", ZEBPLAY_VERSION, Path);
    printf("decoders and modules:\n");
    for (size_t I = 0; I < sizeof Decoders / sizeof Decoders[0]; I++) {
        const Decoder* D = &Decoders[I];
        printf("  %-30s ", D->Formats);
        if (D->Prefix && LoadedPath(D->Prefix, Path, sizeof Path))
            printf("%s\n", Path);
        else if (D->Prefix)
            printf("not loaded (%s* not found)\n", D->Prefix);
        else if (ModuleLoaded(D->Module, Path, sizeof Path, Why, sizeof Why) || !Why[0])
            printf("%s\n", Path);
        else
            printf("not loaded: %s\n", Why);
    }
    return 0;
}
