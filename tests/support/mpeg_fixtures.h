// MPEG audio fixtures: encoded with lame or ffmpeg from synthesised PCM,
// cached in the fixture directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zebtest {

// 16-bit PCM whose character changes every half second (silence, a tone,
// noise, a chord), so that a variable-bit-rate encoder varies its frames.
std::vector<uint8_t> VariedPcm(uint32_t Frames, uint16_t Channels, uint32_t Rate);

// Encodes Seconds of VariedPcm with `lame --quiet LameOptions`. The file is
// made once and reused; the result is its path, or empty when lame is missing
// or fails.
std::string LameFixture(const std::string& Name, double Seconds, uint16_t Channels, uint32_t Rate,
                        const std::string& LameOptions);
// The same through `ffmpeg -i in FfmpegOptions out`, for example
// "-c:a mp2 -b:a 192k -f mp2" (the options name the output format).
std::string FfmpegFixture(const std::string& Name, double Seconds, uint16_t Channels, uint32_t Rate,
                          const std::string& FfmpegOptions);
// ffprobe's duration of the file's first audio stream (its container's
// when the stream has none), in milliseconds; negative when unknown. With
// CountFrames (ADTS, which carries no length) its 1024-sample frames at
// 44.1 kHz are counted instead.
double ProbeDurationMs(const std::string& Path, bool CountFrames);

// Synthetic MPEG streams: Count frames of FrameLen bytes, each the 4 header
// bytes followed by zeros.
std::vector<uint8_t> SyntheticFrames(const uint8_t Header[4], uint32_t FrameLen, uint32_t Count);
// An ID3v2.3 tag header announcing Size bytes, followed by Size zero bytes.
std::vector<uint8_t> ID3TagBytes(uint32_t Size);
void PutBE32(std::vector<uint8_t>& V, size_t At, uint32_t X);
void PutBE16(std::vector<uint8_t>& V, size_t At, uint16_t X);

} // namespace zebtest
