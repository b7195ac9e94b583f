// The format engines as one table: how each is recognised (extensions and a
// look at the file's first bytes) and the operations the core calls on it.
#pragma once

#include "engines/engine.h"

#include <cstddef>
#include <cstdint>

struct PlayerInstanceType;

// The first bytes of a file, after any ID3v2 tag, for the content probes.
constexpr size_t ProbeHeadSz = 64;
struct ProbeHeadType {
    uint8_t Bytes[ProbeHeadSz];
    size_t Len;    // bytes read into Bytes
    bool HasID3v2; // an ID3v2 tag came first (skipped)
};

// Short lower-case names of a file's codec and container ("mp3", "mpeg").
struct CodecNamesType {
    const char* Codec;
    const char* Container;
};

struct EngineOpsType {
    AudioFileFmtType Format;
    const char* const* Extensions; // with the dot, null-terminated
    // Whether the engine can be used at all (its library may be absent).
    bool (*Usable)(void);
    // Whether a file that begins with Head looks like this format.
    bool (*Probe)(const ProbeHeadType* Head);
    MPEGFileInfoType* (*Prepare)(const char* Path);
    void (*UnPrepare)(MPEGFileInfoType* Info);
    void (*Seek)(PlayerInstanceType* Player, uint32_t MsOffset);
    // One section of PCM into the player's OutBuf; 0 at the end.
    uint32_t (*Decode)(PlayerInstanceType* Player);
    // Optional: false while the engine has nothing to decode yet.
    bool (*Ready)(MPEGFileInfoType* Info);
    // Optional: the player's transport ("Stop", "Pause", "Play").
    void (*Transport)(MPEGFileInfoType* Info, uint32_t Cmd);
    // Optional: the input was accepted and is about to be played.
    void (*Started)(PlayerInstanceType* Player);
    // Optional: the host set the track's duration in seconds.
    void (*DurationSet)(MPEGFileInfoType* Info, uint32_t Seconds);
    // Optional: an exact length by reading the whole stream.
    void (*ScanLength)(MPEGFileInfoType* Info);
    // Optional: the names of the open file's codec and container.
    CodecNamesType (*Names)(const MPEGFileInfoType* Info, const char* Path);
};

// The engine of Format; a table entry that does nothing for UNKWN_FMT.
const EngineOpsType* EngineFor(AudioFileFmtType Format);

// Prepares Path with the engine its extension names; when that engine
// refuses the file, with each other engine whose probe recognises the
// content. *Info is the record or null.
AudioFileFmtType OpenWithEngines(const char* Path, MPEGFileInfoType** Info);
