// Run-time loading of the outside decoder libraries.
#include "zeb_platform.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

std::mutex OverrideLock; // guards Overrides
std::map<std::string, const char* const*>& Overrides()
{
    static std::map<std::string, const char* const*> Table;
    return Table;
}

const char* const* NamesFor(const char* Key, const char* const* Names)
{
    std::lock_guard<std::mutex> Guard(OverrideLock);
    auto Found = Overrides().find(Key);
    return Found == Overrides().end() ? Names : Found->second;
}

// The absolute folder of this library, with its trailing slash; set once
// when the library loads.
std::string& LibraryFolder()
{
    static std::string Folder;
    return Folder;
}

} // namespace

void* LoadSupportLibrary(const char* Key, const char* const* Names)
{
    for (const char* const* Name = NamesFor(Key, Names); Name && *Name; ++Name) {
        // Never unmapped, even after the last close: a decoder library may
        // leave threads or exit handlers behind, and leak reports at exit
        // still name it.
        void* Library = dlopen(*Name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (Library)
            return Library;
    }
    return nullptr;
}

void RememberLibraryFolder(void)
{
    std::string& Folder = LibraryFolder();
    if (!Folder.empty())
        return;
    Dl_info Info{};
    if (!dladdr(reinterpret_cast<void*>(&RememberLibraryFolder), &Info) || !Info.dli_fname)
        return;
    // A library loaded by a relative name is found by that name from the
    // working folder the host had then; the host may change it later.
    char* Resolved = realpath(Info.dli_fname, nullptr);
    std::string Path(Resolved ? Resolved : Info.dli_fname);
    free(Resolved);
    size_t Slash = Path.rfind('/');
    Folder = Slash == std::string::npos ? std::string("./") : Path.substr(0, Slash + 1);
}

// The project's private modules live in this folder under the library's own.
const char* const ModuleFolder = "zeb-audio/";

void* LoadModuleBesideLibrary(const char* Key, const char* FileName)
{
    const char* const* Names = NamesFor(Key, nullptr);
    if (Names)
        return LoadSupportLibrary(Key, Names);
    RememberLibraryFolder();
    std::string Path = LibraryFolder() + ModuleFolder + FileName;
    const char* const Beside[] = {Path.c_str(), nullptr};
    return LoadSupportLibrary(Key, Beside);
}

void* GetSupportSymbol(void* Library, const char* Name)
{
    return Library ? dlsym(Library, Name) : nullptr;
}

void FreeSupportLibrary(void* Library)
{
    if (Library)
        dlclose(Library);
}

void SetSupportLibraryNames(const char* Key, const char* const* Names)
{
    std::lock_guard<std::mutex> Guard(OverrideLock);
    if (Names)
        Overrides()[Key] = Names;
    else
        Overrides().erase(Key);
}
