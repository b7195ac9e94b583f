// AAC fixtures made with ffmpeg's encoder, and the faad tool's decode of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zebtest {

// An AAC file in the fixture folder: a 440 Hz tone on the first channel and
// 660 Hz on the second, ADTS when Name ends in ".aac", else the container
// ffmpeg chooses by the extension. Empty on failure.
std::string MakeAac(const std::string& Name, uint32_t Rate, int Channels, double Seconds, int KbitPerSec = 96);
// The faad tool's decode of Path: raw signed 16-bit little-endian, as the
// decoder library delivers it (for MP4 files too: the tool applies no edit
// list and, like the library, yields nothing for the first frame).
std::vector<uint8_t> FaadPcm(const std::string& Path);
// Path's bytes behind Prefix, written to the fixture Name.
std::string PrefixedFixture(const std::string& Name, const std::vector<uint8_t>& Prefix, const std::string& Path);
// A 10-byte ID3v2.3 header announcing Padding bytes of zero padding, and them.
std::vector<uint8_t> Id3v2Tag(uint32_t Padding);

} // namespace zebtest
