/* --wav: rendering one file into a WAVE file through an output module of
   zebplay's own. */
#include "zebplay.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

/* Largest data chunk a RIFF file can describe next to its 36 header bytes. */
static const unsigned long long WavDataMax = 0xFFFFFFFFull - (WAV_HEADER_SIZE - 8);

/* A host output module that writes what it receives into a WAVE file. The
   header is written with zero sizes when a stream opens and completed when
   it closes. Runs on the player thread; the main thread reads the record
   only after the player has been destroyed. */
typedef struct WavWriter {
    FILE* File;
    uint64_t DataBytes;
    uint32_t SampleRate;
    uint16_t Channels;
    int FormatSeen; /* a block has fixed the format */
    int Failed;     /* a write failed, the size limit was reached or the format changed */
    int TooLarge;   /* the stream outgrew what a WAVE header can describe */
} WavWriter;

static void PutLE(unsigned char* At, uint32_t Value, int Bytes)
{
    for (int I = 0; I < Bytes; I++)
        At[I] = (unsigned char)(Value >> (8 * I));
}

static int WriteWavHeader(WavWriter* W)
{
    unsigned char H[WAV_HEADER_SIZE];
    uint32_t Data = (uint32_t)W->DataBytes;
    uint32_t BlockAlign = (uint32_t)W->Channels * (WAV_BITS_PER_SAMPLE / 8);
    memcpy(H, "RIFF", 4);
    PutLE(H + 4, Data + WAV_HEADER_SIZE - 8, 4);
    memcpy(H + 8, "WAVEfmt ", 8);
    PutLE(H + 16, 16, 4);
    PutLE(H + 20, WAV_FORMAT_PCM, 2);
    PutLE(H + 22, W->Channels, 2);
    PutLE(H + 24, W->SampleRate, 4);
    PutLE(H + 28, W->SampleRate * BlockAlign, 4);
    PutLE(H + 32, BlockAlign, 2);
    PutLE(H + 34, WAV_BITS_PER_SAMPLE, 2);
    memcpy(H + 36, "data", 4);
    PutLE(H + 40, Data, 4);
    return fseek(W->File, 0, SEEK_SET) == 0 && fwrite(H, sizeof H, 1, W->File) == 1 &&
           fseek(W->File, 0, SEEK_END) == 0;
}

static int WavCreate(void** Instance, void* Params)
{
    *Instance = Params;
    return 1;
}

static int WavOpen(void* Instance)
{
    WavWriter* W = Instance;
    W->DataBytes = 0;
    W->FormatSeen = 0;
    /* Each stream starts the file afresh. */
    if (fflush(W->File) != 0 || ftruncate(fileno(W->File), 0) != 0 || !WriteWavHeader(W)) {
        W->Failed = 1;
        return 0;
    }
    return 1;
}

static void WavWrite(void* Instance, void* Samples, uint32_t Size, uint16_t BytesPerSample,
                     uint16_t Channels, uint32_t SampleRate)
{
    WavWriter* W = Instance;
    if (!Size || W->Failed)
        return;
    if (!W->FormatSeen) {
        W->Channels = Channels;
        W->SampleRate = SampleRate;
        W->FormatSeen = 1;
    }
    if (W->DataBytes + Size > WavDataMax) {
        W->TooLarge = 1;
        W->Failed = 1;
        return;
    }
    if (BytesPerSample != WAV_BITS_PER_SAMPLE / 8 || Channels != W->Channels ||
        SampleRate != W->SampleRate || fwrite(Samples, 1, Size, W->File) != Size) {
        W->Failed = 1;
        return;
    }
    W->DataBytes += Size;
}

static void WavClose(void* Instance)
{
    WavWriter* W = Instance;
    if (!WriteWavHeader(W) || fflush(W->File) != 0)
        W->Failed = 1;
}

static void WavRegister(OutputModule* Module)
{
    Module->OutputCreate = WavCreate;
    Module->OutputOpen = WavOpen;
    Module->OutputClose = WavClose;
    Module->OutputWrite = WavWrite;
}

/* Waits for the end of the stream; progress keeps coming while it decodes. */
static int AwaitEndOfStream(Session* S)
{
    ZEBMessage M;
    while (!S->Ended && !S->PlayerDead) {
        if (!NextMessage(S, &M, RENDER_IDLE_TIMEOUT_MS)) {
            if (!Interrupted)
                PrintError(S, "the player stopped making progress");
            return 0;
        }
        HandleMessage(S, &M);
    }
    return S->Ended;
}

static int RenderWithPlayer(Session* S, WavWriter* W, const char* Input)
{
    /* The header of a stream without a single block still names a format. */
    MPEGTrackInfoType Info;
    memset(&Info, 0, sizeof Info);
    Info.TrackLength = 1; /* no length scan needed here */
    if (ZEBAudioGetMP3TrackInfo(Input, &Info)) {
        W->Channels = Info.Channels;
        W->SampleRate = Info.SampleRate;
    }
    ZEBAudioOutputOpenModule(S->Player, "WAVFILE", WavRegister, W);
    if (AwaitOrComplain(S, ZEB_CMD_OUTPUT_OPEN, COMMAND_TIMEOUT_MS) != 1)
        return 0;
    /* Progress is not shown; a long interval keeps the window quiet. */
    ZEBAudioSetInputTimeInterval(S->Player, PLAIN_INTERVAL_MS);
    BeginTrack(S, Input);
    ZEBAudioInputOpen(S->Player, Input);
    int Opened = AwaitOrComplain(S, ZEB_CMD_INPUT_OPEN, OPEN_TIMEOUT_MS);
    if (Opened == 0)
        ExplainInputRefusal(S);
    if (Opened != 1)
        return 0;
    ZEBAudioPlay(S->Player);
    return AwaitEndOfStream(S) && !S->TrackFailed;
}

/* Where --wav writes: the file to create, or with --force the existing
   WAVE file to replace (resolved through its links, which stay) and its
   status as it was checked. */
typedef struct WavTarget {
    char Path[PATH_MAX];
    int Replaces;
    struct stat Old;
} WavTarget;

static int SameInode(const struct stat* A, const struct stat* B)
{
    return A->st_dev == B->st_dev && A->st_ino == B->st_ino;
}

static int IsWaveFile(const char* Path)
{
    unsigned char Head[12];
    int Fd = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    ssize_t Got = Fd >= 0 ? read(Fd, Head, sizeof Head) : -1;
    if (Fd >= 0)
        close(Fd);
    return Got == (ssize_t)sizeof Head && memcmp(Head, "RIFF", 4) == 0 && memcmp(Head + 8, "WAVE", 4) == 0;
}

static int Refuse(const char* Path, const char* Why)
{
    fprintf(stderr, "zebplay: %s: %s\n", Path, Why);
    return 0;
}

/* Never the input itself, never an existing file without --force, and with
   it only a WAVE file the user may write that has no other hard links. */
static int CheckWavTarget(const Options* Opt, WavTarget* T)
{
    const char* Output = Opt->WavPath;
    struct stat In, Out;
    memset(T, 0, sizeof *T);
    if (stat(Output, &Out) == 0 && stat(Opt->Files[0], &In) == 0 && SameInode(&In, &Out))
        return Refuse(Output, "is the input file; not overwritten");
    if (lstat(Output, &Out) != 0) {
        if (errno != ENOENT)
            return Refuse(Output, strerror(errno));
        if (strlen(Output) >= sizeof T->Path)
            return Refuse(Output, strerror(ENAMETOOLONG));
        strcpy(T->Path, Output);
        return 1;
    }
    if (!Opt->Force)
        return Refuse(Output, "exists; not overwritten (--force replaces a WAVE file)");
    if (!realpath(Output, T->Path))
        return Refuse(Output, strerror(errno));
    if (stat(T->Path, &T->Old) != 0 || !S_ISREG(T->Old.st_mode) || !IsWaveFile(T->Path))
        return Refuse(Output, "is not a WAVE file; not replaced");
    if (access(T->Path, W_OK) != 0)
        return Refuse(Output, errno == EACCES ? "permission denied" : strerror(errno));
    if (T->Old.st_nlink > 1)
        return Refuse(Output, "has other hard links; not replaced");
    T->Replaces = 1;
    return 1;
}

static int CopyXattr(int From, int To, const char* Name)
{
    ssize_t Size = fgetxattr(From, Name, NULL, 0);
    char* Value = Size >= 0 ? malloc((size_t)Size + 1) : NULL;
    int Ok = Value && (Size = fgetxattr(From, Name, Value, (size_t)Size)) >= 0 &&
             fsetxattr(To, Name, Value, (size_t)Size, 0) == 0;
    free(Value);
    return Ok;
}

/* Every extended attribute of the file at Path (ACLs and labels included)
   onto To. */
static int CopyXattrs(const char* Path, int To)
{
    int From = open(Path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (From < 0)
        return 0;
    ssize_t Size = flistxattr(From, NULL, 0);
    char* Names = Size > 0 ? malloc((size_t)Size) : NULL;
    int Ok = Size == 0 || (Size < 0 && errno == ENOTSUP);
    if (Names && (Size = flistxattr(From, Names, (size_t)Size)) >= 0) {
        Ok = 1;
        for (ssize_t At = 0; Ok && At < Size; At += (ssize_t)strlen(Names + At) + 1)
            Ok = CopyXattr(From, To, Names + At);
    }
    free(Names);
    close(From);
    return Ok;
}

/* The new file (Fd) takes the replaced one's owner, group, extended
   attributes and mode; or the rendering does not start. */
static int KeepFileAttributes(int Fd, const WavTarget* T)
{
    struct stat Now;
    if (fstat(Fd, &Now) != 0)
        return 0;
    if ((Now.st_uid != T->Old.st_uid || Now.st_gid != T->Old.st_gid) &&
        fchown(Fd, T->Old.st_uid, T->Old.st_gid) != 0)
        return 0;
    return CopyXattrs(T->Path, Fd) && fchmod(Fd, T->Old.st_mode & 07777) == 0;
}

/* A new file beside the target, named TARGET.XXXXXX into Temporary, with
   the permissions a new file gets, or the replaced file's. -1 on failure,
   reported. */
static int CreateTemporary(const WavTarget* T, char* Temporary, size_t Size)
{
    if ((size_t)snprintf(Temporary, Size, "%s.XXXXXX", T->Path) >= Size)
        return Refuse(T->Path, strerror(ENAMETOOLONG)) - 1;
    int Fd = mkostemp(Temporary, O_CLOEXEC);
    if (Fd < 0)
        return Refuse(T->Path, strerror(errno)) - 1;
    mode_t Mask = umask(0);
    umask(Mask);
    int Kept = T->Replaces ? KeepFileAttributes(Fd, T) : fchmod(Fd, 0666 & ~Mask) == 0;
    if (!Kept) {
        Refuse(T->Path, T->Replaces ? "its owner, group or attributes cannot be kept; not replaced"
                                    : strerror(errno));
        close(Fd);
        unlink(Temporary);
        return -1;
    }
    return Fd;
}

/* Moves the complete rendering into place; a file that appeared at the
   target meanwhile is replaced only with --force. */
static int MoveIntoPlace(const char* Temporary, const WavTarget* T)
{
    if (T->Replaces)
        return rename(Temporary, T->Path) == 0;
    if (renameat2(AT_FDCWD, Temporary, AT_FDCWD, T->Path, RENAME_NOREPLACE) == 0)
        return 1;
    if (errno != EINVAL && errno != ENOSYS) /* a file system without it: link, then unlink */
        return 0;
    if (link(Temporary, T->Path) != 0)
        return 0;
    unlink(Temporary);
    return 1;
}

static void PrintRendered(const char* Output, const WavWriter* W)
{
    uint32_t FrameBytes = (uint32_t)W->Channels * (WAV_BITS_PER_SAMPLE / 8);
    double Seconds = FrameBytes && W->SampleRate ? (double)(W->DataBytes / FrameBytes) / W->SampleRate : 0.0;
    printf("%s: %.3f s, %u Hz, %u channels, %llu bytes of PCM\n", Output, Seconds, (unsigned)W->SampleRate,
           (unsigned)W->Channels, (unsigned long long)W->DataBytes);
}

/* Renders into a temporary file beside OUT and moves it into place only when
   everything went well, so a failure leaves an existing OUT untouched. */
int RenderToWav(const Options* Opt)
{
    const char* Output = Opt->WavPath;
    static WavTarget Target;
    static char Temporary[PATH_MAX + 8];
    if (ReportUnusableFile(Opt->Files[0]) || !CheckWavTarget(Opt, &Target))
        return EXIT_PLAY_FAILED;
    int Fd = CreateTemporary(&Target, Temporary, sizeof Temporary);
    if (Fd < 0)
        return EXIT_PLAY_FAILED;
    WavWriter W;
    memset(&W, 0, sizeof W);
    W.File = fdopen(Fd, "wb");
    if (!W.File) {
        fprintf(stderr, "zebplay: %s: %s\n", Output, strerror(errno));
        close(Fd);
        unlink(Temporary);
        return EXIT_PLAY_FAILED;
    }
    InstallSignalHandlers();
    Session S;
    int Rendered = 0;
    if (OpenSession(&S, Opt)) {
        Rendered = RenderWithPlayer(&S, &W, Opt->Files[0]);
        /* Once the player thread has finished, W is ours alone. */
        if (!CloseSession(&S)) {
            unlink(Temporary);
            return EXIT_PLAY_FAILED;
        }
    }
    if (Rendered && W.Failed)
        fprintf(stderr, "zebplay: %s: %s\n", Output, W.TooLarge ? "too large for a WAVE file" : "write failed");
    int Synced = fflush(W.File) == 0 && fsync(fileno(W.File)) == 0;
    int Closed = fclose(W.File) == 0;
    int Ok = Rendered && !W.Failed && Synced && Closed && !Interrupted;
    if (Ok && !MoveIntoPlace(Temporary, &Target)) {
        fprintf(stderr, "zebplay: %s: %s\n", Output,
                errno == EEXIST ? "exists; not overwritten (--force replaces a WAVE file)" : strerror(errno));
        Ok = 0;
    }
    if (!Ok)
        unlink(Temporary);
    if (Ok)
        PrintRendered(Output, &W);
    if (Interrupted)
        return EXIT_SIGNAL_BASE + Interrupted;
    return Ok ? 0 : EXIT_PLAY_FAILED;
}
