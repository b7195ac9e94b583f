// A library never prints: when the module loads, FFmpeg's log level is set
// to quiet unless the host already chose a level of its own (the default is
// AV_LOG_INFO). A host's log callback is never replaced.
extern "C" {
#include <libavutil/log.h>
}

namespace {

__attribute__((constructor)) void QuietDefaultLogLevel()
{
    if (av_log_get_level() == AV_LOG_INFO)
        av_log_set_level(AV_LOG_QUIET);
}

} // namespace
