/*
 * zeb-audio: audio playback core.
 *
 * A host creates players with ZEBAudioPlayerCreate, naming a ZEBWindow that
 * receives every answer and notification of that player. Commands are queued
 * with ZEBAudioMessageSend (or the typed helpers below) and handled in order on
 * the player's own thread; no call waits for a command to finish.
 *
 * Every handled command is answered with ZEB_RSP_OK (wParam = command code,
 * lParam = 0) or ZEB_RSP_ERROR (wParam = command code, lParam = error code),
 * followed by notifications where the command has more to tell:
 *
 *   "Input Open"            OK, ZEB_NTF_INPUT_OPENED (track length, s) | 1, 2
 *   "Stop"                  with input: ELAPSED_TIME, POSITION, OK,
 *                           PLAY_STATE 0 | 13 after the progress pair;
 *                           without input: OK
 *   "Pause"                 OK, PLAY_STATE 2 | 13
 *   "Play"                  with input: OK, PLAY_STATE 1 | 13; without: OK
 *   "Seek"                  OK (+ ELAPSED_TIME, POSITION with input) | 6
 *   "Output Open"           OK | 2
 *   "Set Output Volume",
 *   "Set Ouput Frequency"   OK, then a second OK | second answer 13
 *   "Add Output Filter"     OK | 4
 *   "Preload Buffers"       OK, ZEB_NTF_PRELOAD | 3
 *   "Output Reset"          OK | 13
 *   "Output Drain"          OK once the output has played out
 *   "Ping"                  OK, ZEB_NTF_PONG
 *   "Set Duration"          OK | 7
 *   "Get Main Volume"       OK, ZEB_NTF_MAIN_VOLUME
 *   "Get Play Position"     OK, ZEB_NTF_PLAY_POSITION
 *   all others              OK
 *
 * "Get Main Volume" on a player without an output command slot (no output,
 * or a host module without OutputCmd) reports level 100: the library never
 * scales samples itself, so nothing attenuates the signal.
 *
 * ZEB_NTF_PLAY_STATE 3 (end of stream) is posted when decoding reaches the
 * end of the input; the input is then closed and a new "Input Open" is needed.
 * On the built-in output ZEB_NTF_PLAYED_OUT follows once that end is heard.
 * ZEB_NTF_ERROR reports failures outside any command; after (8, 0) the
 * player thread has ended and the player can only be destroyed. (10, 9)
 * means the sound device of a "DSOUND" output was lost (the sound server
 * went away): the stream ends, and a new "Output Open" of that device
 * index connects afresh.
 *
 * Threads: every export may be called from any thread, and several threads
 * may send commands to one player; a player handles its commands in the
 * order they were queued, on its own thread. One window may serve any
 * number of players: each ZEBMessage names the player that posted it
 * (null for none), and ZEBWindowGetMessage may be called from one thread
 * while players post from theirs. A window is normally drained by a single
 * host thread (its descriptor suits one event loop). Output module and
 * filter callbacks run on the player's thread, never on the host's, and
 * may not call ZEBAudioPlayerDestroy of that player. A player must not be
 * used during or after ZEBAudioPlayerDestroy.
 *
 * Link with pkg-config --libs zeb-audio, or find_package(zeb-audio) and
 * target zeb-audio::zeb-audio.
 */
#ifndef ZEB_AUDIO_H
#define ZEB_AUDIO_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZEB_API __attribute__((visibility("default")))
#else
#define ZEB_API
#endif

/* ---- Command codes (ZEBAudioMessageSend's Msg) ---- */
#define ZEB_CMD_INPUT_OPEN               0x8000
#define ZEB_CMD_STOP                     0x8001
#define ZEB_CMD_PAUSE                    0x8002
#define ZEB_CMD_PLAY                     0x8003
#define ZEB_CMD_SEEK                     0x8004
#define ZEB_CMD_OUTPUT_OPEN              0x8005
#define ZEB_CMD_SET_OUTPUT_VOLUME        0x8006
#define ZEB_CMD_ADD_OUTPUT_FILTER        0x8007
#define ZEB_CMD_PRELOAD_BUFFERS          0x8008
#define ZEB_CMD_SET_INPUT_POSITION_RANGE 0x8009
#define ZEB_CMD_OUTPUT_RESET             0x800A
#define ZEB_CMD_OUTPUT_DRAIN             0x800B
#define ZEB_CMD_PING                     0x800C
#define ZEB_CMD_INPUT_CLOSE              0x800D
#define ZEB_CMD_SET_DURATION             0x800E
#define ZEB_CMD_SET_INPUT_TIME_INTERVAL  0x800F
#define ZEB_CMD_SET_OUTPUT_FREQUENCY     0x8010
#define ZEB_CMD_INTERNAL_ERROR           0x8011
#define ZEB_CMD_OUTPUT_CLOSE             0x8012
#define ZEB_CMD_SET_MAIN_VOLUME          0x8013
#define ZEB_CMD_GET_MAIN_VOLUME          0x8014
/* Internal form of "Output Open" for the built-in "DSOUND" output; the
   responses to such an "Output Open" carry this code. */
#define ZEB_CMD_DSOUND_OUTPUT_OPEN       0x83E8
/* Additions beside the protocol's range. "Get Play Position" is answered
   with OK, then ZEB_NTF_PLAY_POSITION. "Set Heard Progress" (uint32_t 1 on,
   0 off; off by default) makes ZEB_NTF_ELAPSED_TIME and ZEB_NTF_POSITION
   report the heard position instead of the decoded one; answered with OK. */
#define ZEB_CMD_GET_PLAY_POSITION        0x8100
#define ZEB_CMD_SET_HEARD_PROGRESS       0x8101

/* ---- Host messages (ZEBMessage.Msg) ---- */
#define ZEB_RSP_ERROR        0x8000 /* wParam command, lParam error 1..13 */
#define ZEB_RSP_OK           0x8001 /* wParam command */
#define ZEB_NTF_PLAY_STATE   0x8002 /* wParam ZEB_PlayerState */
#define ZEB_NTF_POSITION     0x8003 /* lParam 0..position range (default 100) */
#define ZEB_NTF_ELAPSED_TIME 0x8004 /* lParam elapsed milliseconds */
#define ZEB_NTF_INPUT_OPENED 0x8005 /* lParam track length, whole seconds */
#define ZEB_NTF_PONG         0x8006
#define ZEB_NTF_PRELOAD      0x8007 /* wParam 0 done, 1 output not ready, 2 no input */
#define ZEB_NTF_ERROR        0x8008 /* wParam error code, lParam detail */
#define ZEB_NTF_MAIN_VOLUME  0x8009 /* lParam level 0..100 */
/* lParam the position being heard, in milliseconds: the decoded position
   less what the output still holds (the built-in output's unplayed buffer;
   a host module's OutputBufferedMs, without which nothing is subtracted). */
#define ZEB_NTF_PLAY_POSITION 0x8100
/* The built-in output has played the last of a stream that ended
   (ZEB_PLAYER_STATE_EOS came first) and stopped its buffer. */
#define ZEB_NTF_PLAYED_OUT    0x8101

/* ---- Error codes ---- */
#define ZEB_ERR_NONE                0
#define ZEB_ERR_INPUT_OPEN          1
#define ZEB_ERR_OUTPUT_OPEN         2
#define ZEB_ERR_NOT_DSOUND          3
#define ZEB_ERR_FILTER_ADD          4
#define ZEB_ERR_CODEC               5
#define ZEB_ERR_INVALID_PARAMS      6
#define ZEB_ERR_INPUT_NOT_OPEN      7
#define ZEB_ERR_UNHANDLED_EXCEPTION 8
#define ZEB_ERR_DSOUND_FORMAT       9
#define ZEB_ERR_DSOUND_BUFFER       10
#define ZEB_ERR_ASYNC_IO            11
#define ZEB_ERR_DSOUND_PLAYBACK     12
#define ZEB_ERR_GENERAL             13

/* Buffer size ZEBAudioFormatErrorString needs (longest text plus NUL). */
#define ZEB_ERROR_STRING_SIZE 137

typedef enum ZEB_PlayerState {
    ZEB_PLAYER_STATE_STOPPED = 0,
    ZEB_PLAYER_STATE_PLAYING = 1,
    ZEB_PLAYER_STATE_PAUSED = 2,
    ZEB_PLAYER_STATE_EOS = 3
} ZEB_PlayerState;

/* ---- Host window: the receiver of a player's messages ---- */
typedef struct ZEBWindow ZEBWindow;
/* Player is the handle ZEBAudioPlayerCreate returned for the player that
   posted the message (its threads and its output's included); it is only
   a name, still valid after ZEBAudioPlayerDestroy as a value to compare.
   One window may serve any number of players. */
typedef struct ZEBMessage {
    uint32_t Msg;
    uint32_t wParam;
    uint32_t lParam;
    void* Player;
} ZEBMessage;

ZEB_API ZEBWindow* ZEBWindowCreate(void);
/* Closes the window for the host: queued messages are discarded, its
   descriptor is closed, and later posts to it are dropped. The window may
   be destroyed while players still post to it (a player that
   ZEBAudioPlayerDestroy left to finish on its own thread, for example):
   each player holds a reference, and the memory is freed when the last
   holder lets go. After this call the host must not use the window. */
ZEB_API void ZEBWindowDestroy(ZEBWindow* Window);
/* Takes the oldest message. Waits up to TimeoutMs (negative: no limit).
   1 = a message was taken, 0 = none arrived in time. */
ZEB_API int ZEBWindowGetMessage(ZEBWindow* Window, ZEBMessage* Msg, int TimeoutMs);
/* A descriptor that polls readable while messages are queued. */
ZEB_API int ZEBWindowFd(ZEBWindow* Window);

/* ---- Records handed out by the queries ---- */

/* One output device; a pointer to it reads as its description. */
typedef struct DeviceEnumType {
    char Description[80];
    void* lpGUID; /* null for the system default device */
} DeviceEnumType;

typedef struct MPEGTrackInfoType {
    uint32_t SampleRate;  /* Hz */
    uint32_t TrackLength; /* whole seconds; in: non-zero skips the scan */
    uint16_t BitRate;     /* kbit/s, 0 for variable bit rate */
    uint16_t Channels;
    int Supported;        /* 1 when at most 2 channels of 16-bit samples */
} MPEGTrackInfoType;

/* The exact description of a track. The caller sets Size to the bytes it
   passes (sizeof(ZEBTrackDetails) of its header); fields past Size are not
   written, so the record may grow. Frames counts sample frames per channel
   and LengthMs is Frames at SampleRate, exact where the format records it
   (Xing/Info or VBRI frame counts, FLAC and WAVE sample counts, MP4 and WMA
   durations, Vorbis totals) and found by reading the whole stream for MPEG
   without a frame table and for ADTS AAC. BitRate is in bit/s (0 unknown),
   VBR 1 for a variable bit rate. Codec and Container are short lower-case
   names such as "mp3", "pcm", "flac", "vorbis", "aac", "wmav2" and "mpeg",
   "wave", "w64", "aiff", "ogg", "adts", "mp4", "asf". */
typedef struct ZEBTrackDetails {
    uint32_t Size;
    uint64_t LengthMs;
    uint64_t Frames;
    uint32_t SampleRate;
    uint32_t Channels;
    uint32_t BitRate;
    uint32_t VBR;
    char Codec[16];
    char Container[16];
} ZEBTrackDetails;

/* ---- Plug-ins: output modules and output filters ----

   Every slot of both tables is called on the player's own thread, never on
   the host's; commands wait while a slot runs. A null slot is skipped.

   Output module (README.md has a complete example):
     OutputCreate   once, by "Output Open": non-zero for success; 0 answers
                    error 2 and leaves the player without an output.
     OutputOpen     at each "Input Open" of a playable file: non-zero for
                    success; 0 answers that "Input Open" with error 2.
     OutputWrite    each decoded block: Size bytes of interleaved signed
                    16-bit PCM (BytesPerSample 2), 1 or 2 channels, at
                    SampleRate. The next block is decoded when it returns:
                    a real-time output paces the player by blocking here.
     OutputClose    when the input closes (end of stream, "Input Close", the
                    next "Input Open", "Output Open", "Output Close", destroy).
     OutputDelete   by "Output Close", the next "Output Open" and destroy.
     OutputCmd      Cmd is the ZEB_CMD_ code of "Stop", "Pause", "Play"
                    (resume after a pause), "Set Output Volume" (Param
                    0..100), "Set Ouput Frequency" (Param holds the bits of
                    the ratio as a 32-bit float), "Output Reset", "Output
                    Drain" (return once all written audio was heard), "Set
                    Main Volume" (Param 0..100) or "Get Main Volume". Returns
                    non-zero for success, 0 for failure (the command is
                    answered with error 13), except that "Get Main Volume"
                    returns the level 0..100 and the results of "Output
                    Drain" and "Set Main Volume" are not reported.
     OutputBufferedMs  milliseconds of audio written that the module has not
                    yet played out (the heard position is the decoded one
                    less this). Appended after OutputCmd: a register
                    function built against an older header leaves it null,
                    and the table only ever grows at its end. */

/* One output. A null slot means the module lacks that operation. */
typedef struct OutputModule {
    int (*OutputCreate)(void** OutputInst, void* CreateParams);
    void (*OutputDelete)(void* OutputInst);
    int (*OutputOpen)(void* OutputInst);
    void (*OutputClose)(void* OutputInst);
    void (*OutputWrite)(void* OutputInst, void* SampleBfr, uint32_t Size,
                        uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate);
    int (*OutputCmd)(void* OutputInst, uint32_t Cmd, uint32_t Param);
    uint32_t (*OutputBufferedMs)(void* OutputInst);
} OutputModule;

/* One filter; it changes each block in place before the output sees it.
   FilterCreate runs once when "Add Output Filter" adds it (non-zero for
   success; 0 answers error 4 and the filter is not added); FilterOpen at
   each "Input Open" that reaches the output and FilterClose when the input
   closes (results ignored); FilterWrite with each block, in the order the
   filters were added; FilterDelete when the player is destroyed. */
typedef struct OutputFilterModule {
    int (*FilterCreate)(void** FilterInst, void* CreateParams);
    void (*FilterDelete)(void* FilterInst);
    int (*FilterOpen)(void* FilterInst);
    void (*FilterClose)(void* FilterInst);
    void (*FilterWrite)(void* FilterInst, void* SampleBfr, uint32_t Size,
                        uint16_t BytesPerSample, uint16_t Channels, uint32_t SampleRate);
} OutputFilterModule;

/* Register functions fill a table, which arrives zeroed; "Output Open" and
   "Add Output Filter" call them on the player thread. */
typedef void (*ZEBOutputRegisterFunc)(OutputModule* Module);
typedef void (*ZEBFilterRegisterFunc)(OutputFilterModule* Module);

/* ---- Exports (each also exported with one leading underscore) ---- */

/* Creates a player whose messages go to hWnd (a ZEBWindow*). Null on failure. */
ZEB_API void* ZEBAudioPlayerCreate(void* hWnd);
/* Queues "Stop", "Input Close" and quit, waits up to 5000 ms for the player
   thread, then frees the player. If the thread is still busy then (for
   example in an "Output Drain"), the call returns and the thread frees the
   player itself when it ends. The handle is invalid afterwards. */
ZEB_API void ZEBAudioPlayerDestroy(void* Player);
/* Queues one command. Optional arguments by command:
     "Input Open"          const char* Path (copied)
     "Seek"                uint32_t Posn, uint32_t Range
     "Output Open"         const char* Name, uintptr_t p1, uintptr_t p2:
                           "DSOUND" (any case): p1 window, p2 device index;
                           otherwise p1 register function, p2 create parameter
     "Add Output Filter"   uintptr_t register function, uintptr_t parameter
     "Set Output Volume", "Set Main Volume"   uint32_t level 0..100
     "Set Input Position Range"               uint32_t range
     "Set Duration"                           uint32_t seconds
     "Set Input Time Interval"                uint32_t milliseconds
     "Set Ouput Frequency"                    double ratio (1.0 normal)
     "Set Heard Progress"                     uint32_t 1 on, 0 off
   Codes other than 0x8000..0x8014 (except 0x8011), 0x8100 and 0x8101
   queue nothing. */
ZEB_API void ZEBAudioMessageSend(void* Player, uint32_t Msg, ...);
/* Lists output devices; element i is device index i for "Output Open". */
ZEB_API char** ZEBAudioEnumerateDevices(unsigned int* Count);
ZEB_API void ZEBAudioFreeDeviceEnums(char** DevEnums);
/* Track length in seconds of any supported file (exact scan for MPEG). */
ZEB_API uint32_t ZEBAudioGetMP3TrackLength(const char* FileName);
/* 1 and the record filled, or 0 (null record or file not opened). */
ZEB_API int ZEBAudioGetMP3TrackInfo(const char* FileName, MPEGTrackInfoType* pTrackInfo);
/* Fills Details (its Size set by the caller, at least 16) for any file a
   player opens: non-zero on success, 0 for a null argument, a Size under
   16 or a file that is not opened. */
ZEB_API int ZEBAudioGetTrackDetails(const char* FileName, ZEBTrackDetails* Details);
/* Writes "Audio core error on ommand '<command>', error: <text>" into
   Buffer, which must hold ZEB_ERROR_STRING_SIZE bytes. The answers to an
   "Output Open" of "DSOUND" carry ZEB_CMD_DSOUND_OUTPUT_OPEN, which this
   names "Unknown Command": pass ZEB_CMD_OUTPUT_OPEN for them. */
ZEB_API void ZEBAudioFormatErrorString(int Cmd, int ErrorCode, char* Buffer);

ZEB_API void* _ZEBAudioPlayerCreate(void* hWnd);
ZEB_API void _ZEBAudioPlayerDestroy(void* Player);
ZEB_API void _ZEBAudioMessageSend(void* Player, uint32_t Msg, ...);
ZEB_API char** _ZEBAudioEnumerateDevices(unsigned int* Count);
ZEB_API void _ZEBAudioFreeDeviceEnums(char** DevEnums);
ZEB_API uint32_t _ZEBAudioGetMP3TrackLength(const char* FileName);
ZEB_API int _ZEBAudioGetMP3TrackInfo(const char* FileName, MPEGTrackInfoType* pTrackInfo);
ZEB_API void _ZEBAudioFormatErrorString(int Cmd, int ErrorCode, char* Buffer);
ZEB_API int _ZEBAudioGetTrackDetails(const char* FileName, ZEBTrackDetails* Details);

/* ---- Windows Media header attributes (exported with the underscore only) ----

   An editor handle reads, adds, changes and deletes the file-level header
   attributes of an ASF file (.wma, .wmv, .asf) without playing it. Names are
   null-terminated UTF-16 strings. Values travel as the bytes ASF stores,
   little-endian: a string as UTF-16LE with its 2-byte terminator, DWORD and
   BOOL 4 bytes, QWORD 8, WORD 2, GUID 16, binary as is. "Duration" (QWORD,
   100 ns units), "Bitrate" (DWORD, bits per second) and "IsVBR" (BOOL, only
   when the file stores it) are read-only. Changes are written only by
   _WMCloseMetaEditor, and only if there were any: the file is rewritten
   beside itself and put in place whole, so a failed save leaves the
   original exactly as it was; it keeps the file's mode, owner, group,
   extended attributes and hard links (a file with several links is
   rewritten in place, with a copy of the original beside it until the new
   contents are on disk). A file is opened for editing only when the caller
   may write it, and stays locked (flock) until it is closed; a save is
   refused when the file changed meanwhile. */
#define ZEB_WMT_TYPE_DWORD  0
#define ZEB_WMT_TYPE_STRING 1
#define ZEB_WMT_TYPE_BINARY 2
#define ZEB_WMT_TYPE_BOOL   3
#define ZEB_WMT_TYPE_QWORD  4
#define ZEB_WMT_TYPE_WORD   5
#define ZEB_WMT_TYPE_GUID   6

/* Opens Pathname (shorter than PATH_MAX bytes) for editing. Null when the
   Windows Media module is missing, the file is not an editable ASF file,
   the caller may not write it or another editor holds it. A file with more
   than 65535 attributes opens read-only (every set fails). */
ZEB_API void* _WMOpenMetaEditor(const char* Pathname);
/* Saves the changes if any were made, closes the file and frees the editor:
   1 when the save (or close) succeeded, 0 otherwise. The handle is invalid
   afterwards either way. */
ZEB_API int _WMCloseMetaEditor(void* WMHandle);
/* 1 and *ppbValue a new buffer holding the value of the first attribute of
   that name (free it with _WMFreeHeaderAttribute), or 0. Neither the type
   nor the length is returned. */
ZEB_API int _WMGetHeaderAttribute(void* WMHandle, const uint16_t* pwszName, uint8_t** ppbValue);
ZEB_API void _WMFreeHeaderAttribute(uint8_t* pbValue);
/* Sets every attribute of that name to the value (ppbValue, cbLength bytes,
   Type a ZEB_WMT_TYPE_ constant), adding one when there is none; a null
   ppbValue deletes every attribute of that name (none: success). 1 or 0. */
ZEB_API int _WMSetHeaderAttribute(void* WMHandle, const uint16_t* pwszName, const uint8_t* ppbValue,
                                  uint32_t Type, uint16_t cbLength);
/* Beyond the runtime's five, for listing: the number of attribute slots of
   the open file, and the name, type and value of the attribute in slot
   Index (0 .. count-1, in the file's order; a slot emptied by a delete
   answers 0). On 1, *ppwszName and *ppbValue are new buffers (free each
   with _WMFreeHeaderAttribute) and *pcbLength the value's length. */
ZEB_API uint32_t _WMGetHeaderAttributeCount(void* WMHandle);
ZEB_API int _WMGetHeaderAttributeByIndex(void* WMHandle, uint32_t Index, uint16_t** ppwszName, uint32_t* pType,
                                         uint8_t** ppbValue, uint32_t* pcbLength);

/* ---- Commands: one plain function per command ----

   Each queues the command as ZEBAudioMessageSend does with the same
   arguments; none is variadic, so any language's foreign-function
   interface can call them. Each is also exported with one leading
   underscore. */

ZEB_API void ZEBAudioInputOpen(void* Player, const char* Path);
ZEB_API void ZEBAudioStop(void* Player);
ZEB_API void ZEBAudioPause(void* Player);
ZEB_API void ZEBAudioPlay(void* Player);
ZEB_API void ZEBAudioSeek(void* Player, uint32_t Posn, uint32_t Range);
/* Opens the built-in output on device DeviceIndex (0 = system default). */
ZEB_API void ZEBAudioOutputOpenDSound(void* Player, void* Window, uint32_t DeviceIndex);
/* Opens a host output module. Name must not be "DSOUND". */
ZEB_API void ZEBAudioOutputOpenModule(void* Player, const char* Name,
                                      ZEBOutputRegisterFunc Register, void* CreateParams);
ZEB_API void ZEBAudioSetOutputVolume(void* Player, uint32_t Level);
ZEB_API void ZEBAudioAddOutputFilter(void* Player, ZEBFilterRegisterFunc Register, void* CreateParams);
ZEB_API void ZEBAudioPreloadBuffers(void* Player);
ZEB_API void ZEBAudioSetInputPositionRange(void* Player, uint32_t Range);
ZEB_API void ZEBAudioOutputReset(void* Player);
ZEB_API void ZEBAudioOutputDrain(void* Player);
ZEB_API void ZEBAudioPing(void* Player);
ZEB_API void ZEBAudioInputClose(void* Player);
ZEB_API void ZEBAudioSetDuration(void* Player, uint32_t Seconds);
ZEB_API void ZEBAudioSetInputTimeInterval(void* Player, uint32_t Milliseconds);
ZEB_API void ZEBAudioSetOutputFrequency(void* Player, double Ratio);
ZEB_API void ZEBAudioOutputClose(void* Player);
ZEB_API void ZEBAudioSetMainVolume(void* Player, uint32_t Level);
ZEB_API void ZEBAudioGetMainVolume(void* Player);
ZEB_API void ZEBAudioGetPlayPosition(void* Player);
ZEB_API void ZEBAudioSetHeardProgress(void* Player, uint32_t On);

ZEB_API void _ZEBAudioInputOpen(void* Player, const char* Path);
ZEB_API void _ZEBAudioStop(void* Player);
ZEB_API void _ZEBAudioPause(void* Player);
ZEB_API void _ZEBAudioPlay(void* Player);
ZEB_API void _ZEBAudioSeek(void* Player, uint32_t Posn, uint32_t Range);
ZEB_API void _ZEBAudioOutputOpenDSound(void* Player, void* Window, uint32_t DeviceIndex);
ZEB_API void _ZEBAudioOutputOpenModule(void* Player, const char* Name,
                                       ZEBOutputRegisterFunc Register, void* CreateParams);
ZEB_API void _ZEBAudioSetOutputVolume(void* Player, uint32_t Level);
ZEB_API void _ZEBAudioAddOutputFilter(void* Player, ZEBFilterRegisterFunc Register, void* CreateParams);
ZEB_API void _ZEBAudioPreloadBuffers(void* Player);
ZEB_API void _ZEBAudioSetInputPositionRange(void* Player, uint32_t Range);
ZEB_API void _ZEBAudioOutputReset(void* Player);
ZEB_API void _ZEBAudioOutputDrain(void* Player);
ZEB_API void _ZEBAudioPing(void* Player);
ZEB_API void _ZEBAudioInputClose(void* Player);
ZEB_API void _ZEBAudioSetDuration(void* Player, uint32_t Seconds);
ZEB_API void _ZEBAudioSetInputTimeInterval(void* Player, uint32_t Milliseconds);
ZEB_API void _ZEBAudioSetOutputFrequency(void* Player, double Ratio);
ZEB_API void _ZEBAudioOutputClose(void* Player);
ZEB_API void _ZEBAudioSetMainVolume(void* Player, uint32_t Level);
ZEB_API void _ZEBAudioGetMainVolume(void* Player);
ZEB_API void _ZEBAudioGetPlayPosition(void* Player);
ZEB_API void _ZEBAudioSetHeardProgress(void* Player, uint32_t On);

/* The library's version, "major.minor.patch"; a static string. */
ZEB_API const char* ZEBAudioGetVersion(void);
ZEB_API const char* _ZEBAudioGetVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEB_AUDIO_H */
