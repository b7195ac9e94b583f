// One editing session: Open reads the file's header into a writable view
// and holds the file open read-write and locked; Flush saves through
// SaveASFEdits only when something changed; Close and Flush both end the
// session, detach the view and release the file.
#include "editor_session.h"

#include "editor_save.h"

#include <atomic>
#include <new>

namespace {

class ASFEditor final : public IWMMetadataEditor {
public:
    WMStatus QueryInterface(const WMGuid& Iid, void** Object) override
    {
        if (!Object)
            return WM_E_POINTER;
        *Object = nullptr;
        if (Iid == IID_IUnknown || Iid == IID_IWMMetadataEditor) {
            AddRef();
            *Object = static_cast<IWMMetadataEditor*>(this);
            return WM_S_OK;
        }
        if (Info && (Iid == IID_IWMHeaderInfo || Iid == IID_IWMHeaderInfo2 || Iid == IID_IWMHeaderInfo3))
            return Info->QueryInterface(Iid, Object);
        return WM_E_NOINTERFACE;
    }
    uint32_t AddRef() override { return ++Refs; }
    uint32_t Release() override
    {
        uint32_t Left = --Refs;
        if (Left == 0) {
            EndSession();
            delete this;
        }
        return Left;
    }

    WMStatus Open(const WMChar* pwszFilename) override
    {
        if (Info)
            return WM_E_INVALID_REQUEST;
        try {
            std::string Path;
            if (!pwszFilename || !NarrowWidenedPath(pwszFilename, Path))
                return WM_E_INVALIDARG;
            std::vector<ASFAttribute> Attributes;
            if (!LoadASFOriginal(Path.c_str(), Original, Attributes))
                return WM_E_INVALID_DATA;
            Info = new ASFHeaderInfo(std::move(Attributes), true);
        } catch (...) {
            ReleaseASFOriginal(Original);
            return WM_E_OUTOFMEMORY;
        }
        return WM_S_OK;
    }
    WMStatus Close() override
    {
        if (!Info)
            return WM_E_INVALID_REQUEST;
        EndSession();
        return WM_S_OK;
    }
    WMStatus Flush() override
    {
        if (!Info)
            return WM_E_INVALID_REQUEST;
        WMStatus Status = Info->Modified() ? SaveASFEdits(Original, Info->Attributes()) : WM_S_OK;
        EndSession();
        return Status;
    }

private:
    ~ASFEditor() = default;
    void EndSession()
    {
        if (!Info)
            return;
        Info->Detach();
        Info->Release();
        Info = nullptr;
        ReleaseASFOriginal(Original);
        Original = ASFOriginal();
    }

    std::atomic<uint32_t> Refs{1};
    ASFHeaderInfo* Info = nullptr; // the open session's view, null when closed
    ASFOriginal Original;
};

} // namespace

IWMMetadataEditor* CreateASFEditor() { return new (std::nothrow) ASFEditor(); }
