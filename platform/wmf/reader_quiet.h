// FFmpeg's log messages about the module's own work are dropped: while a
// QuietFFmpeg lives on a thread, FFmpeg logs nothing from that thread.
// Messages of other threads go to FFmpeg's default output as before.
#pragma once

class QuietFFmpeg {
public:
    QuietFFmpeg();
    ~QuietFFmpeg();
    QuietFFmpeg(const QuietFFmpeg&) = delete;
    QuietFFmpeg& operator=(const QuietFFmpeg&) = delete;
};
