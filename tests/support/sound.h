// Test helpers for sound output: synthesised tones, tone detection and
// recording a PulseAudio source (the monitor of a null sink) with parec.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zebtest {

// Interleaved 16-bit sine tone, every channel alike.
std::vector<uint8_t> Tone(uint32_t Frames, uint16_t Channels, uint32_t Rate, double Frequency, double Amplitude);
// Samples of one channel out of interleaved 16-bit samples.
std::vector<int16_t> Channel(const std::vector<int16_t>& Interleaved, int Channels, int Which);
// Relative power of Frequency in Samples (Goertzel), normalised to the
// block's power: about 0.5 for a pure tone at that frequency, near 0 elsewhere.
double ToneShare(const std::vector<int16_t>& Samples, uint32_t Rate, double Frequency);
// Frequency from the count of rising zero crossings.
double ZeroCrossingFrequency(const std::vector<int16_t>& Samples, uint32_t Rate);
double Rms(const std::vector<int16_t>& Samples);
// Index of the first sample whose magnitude exceeds Threshold, or -1.
long FirstLoud(const std::vector<int16_t>& Samples, int Threshold);

// True when a PulseAudio server answers (pactl info).
bool PulseReachable();
// Output of a shell command, trailing newline removed.
std::string Capture(const std::string& Command);

// Records a source as s16le 44100 Hz stereo through parec, from Start until Stop.
class PulseRecorder {
public:
    ~PulseRecorder();
    // Starts recording and waits until the first samples arrive.
    bool Start(const std::string& Source);
    std::vector<int16_t> Stop();
    // Samples so far (copy), without stopping.
    std::vector<int16_t> Snapshot();
    size_t Frames();

private:
    void Reader();
    int Pid_ = -1;
    int Fd_ = -1;
    std::thread Thread_;
    std::mutex Lock_; // guards Samples_
    std::vector<int16_t> Samples_;
};

} // namespace zebtest
