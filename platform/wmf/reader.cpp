// Placeholder until the reader lands: no reader can be created.
#include "wm_interfaces.h"

extern "C" __attribute__((visibility("default"))) WMStatus WMCreateReader(IUnknown*, uint32_t, IWMReader** ppReader)
{
    if (ppReader)
        *ppReader = nullptr;
    return WM_E_NOTIMPL;
}
