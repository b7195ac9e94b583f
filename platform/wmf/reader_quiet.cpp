#include "reader_quiet.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <mutex>

namespace {

thread_local int QuietDepth = 0;

void FilterLog(void* Avcl, int Level, const char* Fmt, va_list Args)
{
    if (QuietDepth > 0)
        return;
    av_log_default_callback(Avcl, Level, Fmt, Args);
}

} // namespace

QuietFFmpeg::QuietFFmpeg()
{
    static std::once_flag Installed;
    std::call_once(Installed, [] { av_log_set_callback(FilterLog); });
    ++QuietDepth;
}

QuietFFmpeg::~QuietFFmpeg() { --QuietDepth; }
