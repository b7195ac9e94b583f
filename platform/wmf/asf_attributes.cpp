// Placeholder until the ASF header attributes land: no file is readable.
#include "asf_attributes.h"

IWMHeaderInfo3* OpenASFHeaderInfo(const char*) { return nullptr; }
