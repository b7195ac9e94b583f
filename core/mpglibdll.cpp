// The mpglib decoder interface over libmpg123 in feed mode.
//
// Output is signed 16-bit at the stream's own rate and channel count. The
// decoder runs without gapless trimming: every frame yields its full
// SamplesPerFrame samples, so the decoded time agrees with the frame-based
// track length and seek positions of the MPEG engine, and decoding after a
// seek (a fresh decoder fed from a frame boundary) is the same as decoding
// through. The Xing/LAME info frame is still recognised and yields no audio.
#include "mpglibdll.h"

#include <mpg123.h>

#include <cstring>
#include <type_traits>

namespace {

constexpr uint32_t StateMagic = 0x6D706733; // marks an initialised block
constexpr int MaxFormatChanges = 8;         // per decoded frame, before giving up

// What the opaque block holds. Plain data, copied in and out of the block.
struct DecoderState {
    uint32_t Magic;
    mpg123_handle* Handle;
    // PCM of the last decoded frame not yet handed out (Out was too small);
    // valid until the next mpg123_decode_frame.
    const unsigned char* Pending;
    size_t PendingBytes;
};

static_assert(sizeof(DecoderState) <= MPSTR_SIZE, "decoder state must fit the mpstr block");
static_assert(std::is_trivially_copyable_v<DecoderState>);

DecoderState LoadState(const mpstr* mp)
{
    DecoderState S;
    std::memcpy(&S, mp->Opaque, sizeof S);
    return S;
}

void StoreState(mpstr* mp, const DecoderState& S)
{
    std::memcpy(mp->Opaque, &S, sizeof S);
}

bool LibraryReady()
{
    static const bool Ready = mpg123_init() == MPG123_OK;
    return Ready;
}

// Every supported rate, mono or stereo, signed 16-bit only.
bool ForceSigned16(mpg123_handle* Handle)
{
    if (mpg123_format_none(Handle) != MPG123_OK)
        return false;
    const long* Rates = nullptr;
    size_t Count = 0;
    mpg123_rates(&Rates, &Count);
    for (size_t i = 0; i < Count; ++i)
        if (mpg123_format(Handle, Rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16) !=
            MPG123_OK)
            return false;
    return true;
}

mpg123_handle* NewFeedDecoder()
{
    if (!LibraryReady())
        return nullptr;
    int Err = MPG123_OK;
    mpg123_handle* Handle = mpg123_new(nullptr, &Err);
    if (!Handle)
        return nullptr;
    bool Ok = mpg123_param(Handle, MPG123_FLAGS, MPG123_QUIET, 0) == MPG123_OK &&
              ForceSigned16(Handle) && mpg123_open_feed(Handle) == MPG123_OK;
    if (!Ok) {
        mpg123_delete(Handle);
        return nullptr;
    }
    return Handle;
}

// Hands out what is pending, at most OutSize bytes.
void TakePending(DecoderState* S, char* Out, int OutSize, int* Done)
{
    size_t Bytes = S->PendingBytes < static_cast<size_t>(OutSize) ? S->PendingBytes
                                                                  : static_cast<size_t>(OutSize);
    if (Bytes)
        std::memcpy(Out, S->Pending, Bytes);
    S->Pending += Bytes;
    S->PendingBytes -= Bytes;
    *Done = static_cast<int>(Bytes);
}

// Decodes the next frame into the pending area: MP3_OK, MP3_NEED_MORE or MP3_ERR.
int DecodeNextFrame(DecoderState* S)
{
    for (int Changes = 0; Changes <= MaxFormatChanges; ++Changes) {
        off_t Num = 0;
        unsigned char* Audio = nullptr;
        size_t Bytes = 0;
        int Ret = mpg123_decode_frame(S->Handle, &Num, &Audio, &Bytes);
        switch (Ret) {
        case MPG123_NEW_FORMAT:
            continue; // the format is fixed to 16-bit; the frame follows
        case MPG123_OK:
            S->Pending = Audio;
            S->PendingBytes = Audio ? Bytes : 0;
            return MP3_OK;
        case MPG123_NEED_MORE:
        case MPG123_DONE:
            return MP3_NEED_MORE;
        default:
            return MP3_ERR;
        }
    }
    return MP3_ERR;
}

} // namespace

int InitMP3(mpstr* mp)
{
    if (!mp)
        return 0;
    ExitMP3(mp);
    DecoderState S = {};
    S.Handle = NewFeedDecoder();
    if (!S.Handle) {
        StoreState(mp, S);
        return 0;
    }
    S.Magic = StateMagic;
    StoreState(mp, S);
    return 1;
}

void ExitMP3(mpstr* mp)
{
    if (!mp)
        return;
    DecoderState S = LoadState(mp);
    if (S.Magic == StateMagic && S.Handle)
        mpg123_delete(S.Handle);
    StoreState(mp, DecoderState{});
}

int decodeMP3(mpstr* mp, const char* In, int InSize, char* Out, int OutSize, int* Done)
{
    int Ignored = 0;
    if (!Done)
        Done = &Ignored;
    *Done = 0;
    if (!mp || !Out || OutSize < 0)
        return MP3_ERR;
    DecoderState S = LoadState(mp);
    if (S.Magic != StateMagic || !S.Handle)
        return MP3_ERR;
    if (In && InSize > 0 &&
        mpg123_feed(S.Handle, reinterpret_cast<const unsigned char*>(In), static_cast<size_t>(InSize)) !=
            MPG123_OK)
        return MP3_ERR;
    int Result = MP3_OK;
    if (S.PendingBytes == 0)
        Result = DecodeNextFrame(&S);
    if (Result == MP3_OK)
        TakePending(&S, Out, OutSize, Done);
    StoreState(mp, S);
    return Result;
}
