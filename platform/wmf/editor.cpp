// The module's editor entry point.
#include "editor_session.h"

extern "C" __attribute__((visibility("default"))) WMStatus WMCreateEditor(IWMMetadataEditor** ppEditor)
{
    if (!ppEditor)
        return WM_E_POINTER;
    *ppEditor = CreateASFEditor();
    return *ppEditor ? WM_S_OK : WM_E_OUTOFMEMORY;
}
