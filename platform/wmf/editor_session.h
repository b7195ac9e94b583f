// The metadata editor of the Windows Media module: opens an ASF file for
// editing, hands out a writable header-information view, and saves (Flush)
// or discards (Close) the changes.
#pragma once

#include "wm_interfaces.h"

// A new editor with one reference, or null when out of memory.
IWMMetadataEditor* CreateASFEditor();
