// Debug trace and the console aid.
#include "zeb_platform.h"

#include <cstdarg>
#include <cstdio>

#ifdef ZEB_DEBUG_TRACE
void db_printf(const char* Format, ...)
{
    va_list Args;
    va_start(Args, Format);
    vfprintf(stderr, Format, Args);
    va_end(Args);
}
#endif

// Traces already go to standard error; there is no console window to open.
void RedirectIOToConsole(void) {}
