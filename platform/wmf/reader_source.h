// The reader's media side over FFmpeg: an ASF file opened with the ASF
// demuxer, one output per stream, audio decoded and converted to
// interleaved signed 16-bit PCM at the stream's own rate and channel count
// (no dither), so that the PCM equals what the ffmpeg program writes for the
// same file. Used by one thread at a time; no locking of its own.
#pragma once

#include "wm_interfaces.h"

#include <cstdint>
#include <vector>

struct ReaderOutput {
    WMGuid Major;       // WMMEDIATYPE_Audio, _Video, _Script, or all zero
    bool Audio;         // delivered as PCM in the format of Wave
    tWAVEFORMATEX Wave; // valid when Audio
};

// One delivery: PCM of an audio output or one packet of another output.
struct ReaderSample {
    uint32_t Output = 0;
    uint64_t Time = 0;     // 100 ns units from the start of the stream
    uint64_t Duration = 0; // 100 ns units
    std::vector<uint8_t> Bytes;
};

enum class SourceStep {
    Sample,  // *Out holds the next delivery
    Working, // progress was made, nothing to deliver yet: call again
    End,     // the end of the file: nothing more
    Failed,  // a read error ended the file early: nothing more
};

struct ReaderSource;

// Opens a regular file as ASF; null with *Status negative when it is missing,
// not a regular file, not ASF or unreadable.
ReaderSource* OpenReaderSource(const char* Path, WMStatus* Status);
// The same over Size bytes at Data, which stay valid and unchanged until the
// source is closed (the fuzz target's way in; not part of the module's
// exports).
ReaderSource* OpenReaderSourceFromMemory(const uint8_t* Data, size_t Size, WMStatus* Status);
void CloseReaderSource(ReaderSource* Source);

const std::vector<ReaderOutput>& ReaderSourceOutputs(const ReaderSource* Source);
// The first audio output has no decoder: nothing can be played.
bool ReaderSourceMissingCodec(const ReaderSource* Source);
// The file's duration in 100 ns units; 0 when unknown.
uint64_t ReaderSourceDuration(const ReaderSource* Source);

// Positions every output at Time (100 ns): audio from the first sample at or
// after Time, as a decode from the start would give it (Windows Media Audio
// by a seek a little before Time, at a cost that does not grow with Time;
// bit for bit, except where a very low bit rate stream fills bands with
// the decoder's running noise, which a seek starts elsewhere); packets of
// other outputs from those stamped at or after Time. False when the file can
// no longer be read.
bool ReaderSourceStart(ReaderSource* Source, uint64_t Time);
// Does one bounded piece of work (at most one packet read).
SourceStep ReaderSourceNext(ReaderSource* Source, ReaderSample* Out);
