// Fuzzes the Windows Media module's ASF header view from memory: the header
// is located and bounds-checked against the input's size and parsed by
// TagLib; every attribute is then listed and read by index and by name, and
// a writable view over the same attributes takes a change, an addition and
// a deletion.
#include "asf_attributes.h"

#include <vector>

namespace {

void ReadAll(IWMHeaderInfo3* Info)
{
    uint16_t Slots = 0;
    if (Info->GetAttributeCountEx(0, &Slots) < 0)
        return;
    for (uint16_t i = 0; i < Slots; ++i) {
        uint16_t NameLen = 0;
        uint32_t Len = 0;
        WMT_ATTR_DATATYPE Type{};
        uint16_t Lang = 0;
        if (Info->GetAttributeByIndexEx(0, i, nullptr, &NameLen, &Type, &Lang, nullptr, &Len) < 0)
            continue;
        std::vector<WMChar> Name(NameLen);
        std::vector<uint8_t> Value(Len);
        if (Info->GetAttributeByIndexEx(0, i, Name.data(), &NameLen, &Type, &Lang, Value.data(), &Len) < 0)
            __builtin_trap();
        uint16_t Count = 0;
        Info->GetAttributeIndices(0, Name.data(), &Lang, nullptr, &Count);
        uint16_t Short = 0;
        Info->GetAttributeByName(nullptr, Name.data(), &Type, nullptr, &Short);
    }
}

void EditInMemory(IWMHeaderInfo3* Info)
{
    // A writable view over the attributes just read, rebuilt by index.
    std::vector<ASFAttribute> Copy;
    uint16_t Slots = 0;
    Info->GetAttributeCountEx(0, &Slots);
    for (uint16_t i = 0; i < Slots; ++i) {
        ASFAttribute A;
        uint16_t NameLen = 0;
        uint32_t Len = 0;
        if (Info->GetAttributeByIndexEx(0, i, nullptr, &NameLen, &A.Type, &A.Language, nullptr, &Len) < 0)
            continue;
        std::vector<WMChar> Name(NameLen);
        A.Value.resize(Len);
        Info->GetAttributeByIndexEx(0, i, Name.data(), &NameLen, nullptr, nullptr, A.Value.data(), &Len);
        A.Name = WideName(Name.data());
        A.ReadOnly = IsReadOnlyASFName(A.Name);
        Copy.push_back(std::move(A));
    }
    ASFHeaderInfo* Edit = new ASFHeaderInfo(std::move(Copy), true);
    for (uint16_t i = 0; i < Slots; ++i)
        Edit->DeleteAttribute(0, i);
    const WMChar Name[] = {'W', 'M', '/', 'X', 0};
    const uint8_t Value[4] = {1, 0, 0, 0};
    uint16_t Index = 0;
    Edit->AddAttribute(0, Name, &Index, WMT_TYPE_DWORD, 0, Value, 4);
    Edit->ModifyAttribute(0, Index, WMT_TYPE_STRING, 0, Value, 4);
    Edit->DeleteAttribute(0, Index);
    Edit->Release();
}

} // namespace

// TagLib is built without frame pointers: the fast unwinder records a
// garbage stack at every allocation, each one new to the stack depot, which
// then grows without end and slows every allocation. One frame (the caller)
// is exact and bounded. TagLib makes many small allocations per header: a
// smaller quarantine recycles them sooner and still catches a use shortly
// after a free.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16:malloc_context_size=1"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (IWMHeaderInfo3* Info = OpenASFHeaderInfoFromMemory(Data, Size)) {
        ReadAll(Info);
        EditInMemory(Info);
        Info->Release();
    }
    return 0;
}
