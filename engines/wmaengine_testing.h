// Test hooks of the Windows Media engine's run-time loading. Not part of the
// public surface.
#pragma once

#include "wmf/wm_interfaces.h"

// Forgets that loading was tried: the next CommonDllInit loads again (from
// the names SetSupportLibraryNames gave key "wmf", or in the zeb-audio folder beside the library).
void ResetWMARuntimeForTesting(void);
// Takes these entry points as the loaded runtime's (a fake reader and
// editor); both null makes the runtime count as missing. A later
// ResetWMARuntimeForTesting undoes it.
void SetWMARuntimeForTesting(WMCreateReaderFn CreateReader, WMCreateEditorFn CreateEditor);
