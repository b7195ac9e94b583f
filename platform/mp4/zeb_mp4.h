// The MP4 file module (libzeb-mp4.so): the entry points the AAC engine looks
// up, in the shape of the mp4v2 interface, over libavformat. The engine loads
// the module at run time and resolves these names; nothing here is public.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* MP4FileHandle;
typedef uint32_t MP4TrackId;
typedef uint32_t MP4SampleId;
typedef uint64_t MP4Timestamp;
typedef uint64_t MP4Duration;

#define MP4_INVALID_FILE_HANDLE ((MP4FileHandle)0)
#define MP4_INVALID_TRACK_ID ((MP4TrackId)0)

// Opens FileName (a regular file) for reading; null on failure.
typedef MP4FileHandle (*MP4ReadFn)(const char* FileName, uint32_t Verbosity);
// Number of tracks (Type null and SubType 0: all of them).
typedef uint32_t (*MP4GetNumberOfTracksFn)(MP4FileHandle File, const char* Type, uint8_t SubType);
// Identifier of the track at Index (from 0); MP4_INVALID_TRACK_ID if none.
// The module numbers the tracks 1, 2, ... in file order.
typedef MP4TrackId (*MP4FindTrackIdFn)(MP4FileHandle File, uint16_t Index, const char* Type, uint8_t SubType);
// "soun", "vide", "text" or "data"; null for an unknown track.
typedef const char* (*MP4GetTrackTypeFn)(MP4FileHandle File, MP4TrackId Track);
// The AudioSpecificConfig of an AAC track in a buffer freed with rtlFree;
// *Config null and *ConfigSize 0 for any other codec. True when given.
typedef bool (*MP4GetTrackESConfigurationFn)(MP4FileHandle File, MP4TrackId Track, uint8_t** Config,
                                             uint32_t* ConfigSize);
// Frees a buffer the module allocated (configurations and samples).
typedef void (*rtlFreeFn)(void* Buffer);
// The track's duration in its own time scale.
typedef bool (*MP4GetTrackDurationExFn)(MP4FileHandle File, MP4TrackId Track, MP4Duration* Duration);
// Converts *Duration in place from the track's time scale to TimeScale
// units (1: seconds), truncated.
typedef bool (*MP4ConvertFromTrackDurationExFn)(MP4FileHandle File, MP4TrackId Track, MP4Duration* Duration,
                                                uint32_t TimeScale);
// Bits per second, 0 when unknown.
typedef uint32_t (*MP4GetTrackBitRateFn)(MP4FileHandle File, MP4TrackId Track);
typedef uint32_t (*MP4GetTrackNumberOfSamplesFn)(MP4FileHandle File, MP4TrackId Track);
// Sample Sample (from 1), its stored bytes exactly. With *Bytes null the
// module allocates the buffer (freed with rtlFree) and sets *NumBytes; the
// four optional outputs may be null. False past the last sample or on error,
// with nothing allocated; an AAC track's sample of more than 64 KiB (larger
// than any AAC frame) is damaged and false as well.
typedef bool (*MP4ReadSampleFn)(MP4FileHandle File, MP4TrackId Track, MP4SampleId Sample, uint8_t** Bytes,
                                uint32_t* NumBytes, MP4Timestamp* StartTime, MP4Duration* Duration,
                                MP4Duration* RenderingOffset, bool* IsSyncSample);
// The index counted from 0 of the sample playing at MsTime, which is the
// number of samples that end at or before it: the engine then reads that
// index + 1, the sample playing at MsTime. The sample count when MsTime is
// at or past the end.
typedef MP4SampleId (*MP4GetSampleIdFromMsTimeFn)(MP4FileHandle File, MP4TrackId Track, uint64_t MsTime,
                                                  bool WantSyncSample);
typedef void (*MP4CloseFn)(MP4FileHandle File);

#ifdef __cplusplus
}
#endif
