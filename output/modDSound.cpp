// The built-in DirectSound output module. Its instance is the player's
// stream record; creation and deletion belong to the shared device table.
#include "modDSound.h"

#include "dsound_if.h"

#include <cstring>

namespace {

DSoundPropType* Record(void* OutputInst)
{
    return static_cast<DSoundPropType*>(OutputInst);
}

// The rate ratio travels as the 32 bits of a single-precision float.
float RatioFromBits(uint32_t Bits)
{
    float Ratio;
    static_assert(sizeof(Ratio) == sizeof(Bits), "float must be 32 bits");
    memcpy(&Ratio, &Bits, sizeof(Ratio));
    return Ratio;
}

} // namespace

int modDSoundOpen(void* OutputInst)
{
    OpenDSoundBufferStream(Record(OutputInst));
    return 1;
}

void modDSoundClose(void* OutputInst)
{
    CloseDSoundBufferStream(Record(OutputInst));
}

void modDSoundWrite(void* OutputInst, void* SampleBfr, uint32_t Size, uint16_t BytesPerSample, uint16_t Channels,
                    uint32_t SampleRate)
{
    StreamToDSoundBuffer(Record(OutputInst), BytesPerSample, Channels, SampleRate, SampleBfr, Size);
}

int modDSoundCommand(void* OutputInst, uint32_t Cmd, uint32_t Param)
{
    DSoundPropType* DSoundProp = Record(OutputInst);
    switch (Cmd) {
    case ZEB_CMD_STOP: // the stream goes back to its start: a preload is stale
        ForgetDSoundPreload(DSoundProp);
        return StopDSoundBuffer(DSoundProp);
    case ZEB_CMD_PAUSE: // the position is kept, so a later "Play" resumes
        return StopDSoundBuffer(DSoundProp);
    case ZEB_CMD_PLAY:
        return PlayDSoundBuffer(DSoundProp);
    case ZEB_CMD_SET_OUTPUT_VOLUME:
        return SetDSoundBufferVolume(DSoundProp, Param);
    case ZEB_CMD_OUTPUT_RESET:
        return ResetDSoundBuffer(DSoundProp);
    case ZEB_CMD_OUTPUT_DRAIN:
        WaitDSoundStreamEnd(DSoundProp);
        return 1;
    case ZEB_CMD_SET_OUTPUT_FREQUENCY:
        return SetDSoundBufferFrequency(DSoundProp, RatioFromBits(Param));
    case ZEB_CMD_SET_MAIN_VOLUME:
        return DSoundProp ? SetDSoundPrimaryVolume(DSoundProp->lpdsPrimary, Param) : 0;
    case ZEB_CMD_GET_MAIN_VOLUME:
        return DSoundProp ? static_cast<int>(GetDSoundPrimaryVolume(DSoundProp->lpdsPrimary)) : 0;
    default:
        return 1;
    }
}
