// Choice of format engine by extension, and the per-format dispatch of
// prepare, seek and close.
#include "core/input.h"

#include "core/player.h"
#include "engines/aac_core.h"
#include "engines/adts_aac.h"
#include "engines/flac.h"
#include "engines/mp3_engine.h"
#include "engines/sndfile.h"
#include "engines/vorbis_engine.h"
#include "engines/wav_engine.h"
#include "engines/wmaengine.h"
#include "io/aio_bfr.h"

#include <strings.h>

#include <cstring>

namespace {

// Only this much of a path is considered, as the platform's path splitter does.
constexpr size_t MaxPathChars = 260;

bool HasExtension(const std::string& Ext, const char* Candidate)
{
    return strcasecmp(Ext.c_str(), Candidate) == 0;
}

bool HasAnyExtension(const std::string& Ext, const char* First, const char* Second)
{
    return HasExtension(Ext, First) || HasExtension(Ext, Second);
}

// Raw AAC needs both its frames and a decoder; without either nothing stays
// open and the file has no format.
AudioFileFmtType OpenADTSStream(const char* Path, MPEGFileInfoType** MPEGFileInfo)
{
    MPEGFileInfoType* Info = PrepareAAC_ADTSFile(Path);
    if (Info && OpenAACDecoder(Info)) {
        *MPEGFileInfo = Info;
        return AACRAW_FMT;
    }
    UnPrepareAAC_ADTSFile(Info);
    *MPEGFileInfo = nullptr;
    return UNKWN_FMT;
}

} // namespace

std::string PathExtension(const char* Path)
{
    std::string Name(Path, strnlen(Path, MaxPathChars));
    size_t Start = 0;
    if (Name.size() >= 2 && Name[1] == ':')
        Start = 2;
    size_t Slash = Name.find_last_of("\\/");
    if (Slash != std::string::npos && Slash + 1 > Start)
        Start = Slash + 1;
    std::string Last = Name.substr(Start);
    if (Last == "." || Last == "..")
        return std::string();
    size_t Dot = Last.rfind('.');
    return Dot == std::string::npos ? std::string() : Last.substr(Dot);
}

AudioFileFmtType OpenFileStream(const char* Path, MPEGFileInfoType** MPEGFileInfo)
{
    *MPEGFileInfo = nullptr;
    std::string Ext = PathExtension(Path);
    if (HasAnyExtension(Ext, ".mp2", ".mp3")) {
        *MPEGFileInfo = PrepareMPEGFile(Path);
        return MP3_FMT;
    }
    if (HasExtension(Ext, ".ogg")) {
        *MPEGFileInfo = PrepareVorbisFile(Path);
        return VORBIS_FMT;
    }
    if (HasExtension(Ext, ".aac"))
        return OpenADTSStream(Path, MPEGFileInfo);
    if (HasAnyExtension(Ext, ".m4a", ".mp4")) {
        *MPEGFileInfo = PrepareAAC_MP4File(Path);
        return AACMP4_FMT;
    }
    if (HasExtension(Ext, ".wma")) {
        *MPEGFileInfo = PrepareWMAFile(Path);
        return WMA_FMT;
    }
    if (HasExtension(Ext, ".flac")) {
        *MPEGFileInfo = PrepareFlacFile(Path);
        return FLAC_FMT;
    }
    // The sound-file library, when present, takes WAVE files too; what it
    // refuses is tried as MPEG audio.
    if (LibSndFile) {
        *MPEGFileInfo = PrepareLibSndFile(Path);
        if (*MPEGFileInfo)
            return LIBSNDFILE_FMT;
    } else if (HasAnyExtension(Ext, ".wav", ".w64")) {
        *MPEGFileInfo = PreparePCMWavFile(Path);
        return PCMWAV_FMT;
    }
    *MPEGFileInfo = PrepareMPEGFile(Path);
    return MP3_FMT;
}

void SeekFileStream(PlayerInstanceType* PlayerInstance, uint32_t Posn)
{
    MPEGFileInfoType* Info = PlayerInstance->MPEGFileInfo;
    if (!Info)
        return;
    switch (PlayerInstance->FileFormat) {
    case MP3_FMT:
        SyncAIOStream(PlayerInstance->AIOBuf);
        SeekMPEGFile(Info, Posn);
        StartAIOStream(PlayerInstance->AIOBuf, Info->Handle);
        break;
    case PCMWAV_FMT:
        SeekPCMWavFile(Info, Posn);
        break;
    case VORBIS_FMT:
        SeekVorbisFile(Info, Posn);
        break;
    case AACRAW_FMT:
        SeekAAC_ADTSFile(Info, Posn);
        PostSeekAACBufferReload(Info);
        break;
    case AACMP4_FMT:
        SeekAAC_MP4File(Info, Posn);
        break;
    case WMA_FMT:
        SeekWMAFile(Info, Posn);
        break;
    case FLAC_FMT:
        SeekFlacFile(Info, Posn);
        break;
    case LIBSNDFILE_FMT:
        SeekLibSndFile(Info, Posn);
        break;
    default:
        break;
    }
}

void CloseFileStream(AudioFileFmtType AudioFmt, MPEGFileInfoType* MPEGFileInfo)
{
    if (!MPEGFileInfo)
        return;
    switch (AudioFmt) {
    case MP3_FMT:
        UnPrepareMPEGFile(MPEGFileInfo);
        break;
    case PCMWAV_FMT:
        UnPreparePCMWavFile(MPEGFileInfo);
        break;
    case VORBIS_FMT:
        UnPrepareVorbisFile(MPEGFileInfo);
        break;
    case AACRAW_FMT:
        CloseAACDecoder(MPEGFileInfo);
        UnPrepareAAC_ADTSFile(MPEGFileInfo);
        break;
    case AACMP4_FMT:
        UnPrepareAAC_MP4File(MPEGFileInfo);
        break;
    case WMA_FMT:
        UnPrepareWMAFile(MPEGFileInfo);
        break;
    case FLAC_FMT:
        UnPrepareFlacFile(MPEGFileInfo);
        break;
    case LIBSNDFILE_FMT:
        UnPrepareLibSndFile(MPEGFileInfo);
        break;
    default:
        break;
    }
}
