// Windows Media fixtures and checks: an ffmpeg-made WMA file, private
// copies to edit, ffmpeg's decode and ffprobe's tags for comparison, and
// UTF-16 names and values as the attribute interfaces take them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zebtest {

// 3 s of WMA (wmav2, 44.1 kHz stereo) made once by ffmpeg with the title
// "T", artist "A", comment "C" and album "Al"; empty without ffmpeg.
std::string WmaFixture();
// A copy of Path under a name of this test and process; the caller edits it.
std::string WorkCopy(const std::string& Path, const std::string& Name);
// `ffmpeg -i Path -f s16le -` of the whole file; empty on failure.
std::vector<uint8_t> FfmpegPcm(const std::string& Path);
// The format-level tag Key as ffprobe reports it ("" when absent).
std::string ProbeTag(const std::string& Path, const std::string& Key);
// Every .wma, .asf and .wmv file of the shared corpus (none when absent).
std::vector<std::string> CorpusWindowsMediaFiles();

// A null-terminated UTF-16 name.
std::vector<uint16_t> Utf16(const std::string& Ascii);
// A string value as stored: UTF-16LE with the 2-byte terminator.
std::vector<uint8_t> StringBytes(const std::string& Ascii);
std::vector<uint8_t> DwordBytes(uint32_t X);

} // namespace zebtest
