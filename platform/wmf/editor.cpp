// Placeholder until the metadata editor lands: no editor can be created.
#include "wm_interfaces.h"

extern "C" __attribute__((visibility("default"))) WMStatus WMCreateEditor(IWMMetadataEditor** ppEditor)
{
    if (ppEditor)
        *ppEditor = nullptr;
    return WM_E_NOTIMPL;
}
