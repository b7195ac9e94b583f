// The copy, rewrite, verify, sync and rename of an edited ASF file.
#include "editor_save.h"

#include "asf_taglib.h"

#include <asffile.h>
#include <tfilestream.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<ASFSaveStep> FailingStep{ASFSaveStep::None};

constexpr WMStatus ChangedOnDisk = WM_E_INVALID_REQUEST; // edited by someone else meanwhile
constexpr WMStatus SystemRefused = WM_E_FAIL;            // copy, sync or rename failed
constexpr WMStatus RewriteFailed = WM_E_INVALID_DATA;    // TagLib could not save or verify
constexpr size_t CopyChunk = 1u << 16;

bool Fails(ASFSaveStep Step) { return FailingStep.load() == Step; }

bool WriteAll(int Fd, const uint8_t* Buf, size_t Sz)
{
    while (Sz > 0) {
        ssize_t N = write(Fd, Buf, Sz);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false;
        Buf += N;
        Sz -= static_cast<size_t>(N);
    }
    return true;
}

ssize_t ReadSome(int Fd, uint8_t* Buf, size_t Sz, off_t At)
{
    ssize_t N;
    do
        N = pread(Fd, Buf, Sz, At);
    while (N < 0 && errno == EINTR);
    return N;
}

bool CopyFile(int From, int To)
{
    std::vector<uint8_t> Buf(CopyChunk);
    off_t At = 0;
    for (;;) {
        ssize_t N = ReadSome(From, Buf.data(), Buf.size(), At);
        if (N < 0)
            return false;
        if (N == 0)
            return true;
        if (!WriteAll(To, Buf.data(), static_cast<size_t>(N)))
            return false;
        At += N;
    }
}

// The two files hold the same bytes from their offsets to their ends.
bool SameTail(int A, off_t AAt, int B, off_t BAt)
{
    std::vector<uint8_t> BufA(CopyChunk), BufB(CopyChunk);
    for (;;) {
        ssize_t NA = ReadSome(A, BufA.data(), BufA.size(), AAt);
        if (NA < 0)
            return false;
        ssize_t NB = NA == 0 ? ReadSome(B, BufB.data(), 1, BAt) : ReadSome(B, BufB.data(), NA, BAt);
        if (NA == 0)
            return NB == 0;
        if (NB != NA || !std::equal(BufA.begin(), BufA.begin() + NA, BufB.begin()))
            return false;
        AAt += NA;
        BAt += NB;
    }
}

bool SameFile(const struct stat& A, const struct stat& B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino && A.st_size == B.st_size &&
           A.st_mtim.tv_sec == B.st_mtim.tv_sec && A.st_mtim.tv_nsec == B.st_mtim.tv_nsec;
}

// The original at its path is still the file that was opened: same inode,
// size, modification time and header bytes. Fd receives it, open.
bool StillOriginal(const ASFOriginal& Original, int* Fd)
{
    struct stat St;
    *Fd = OpenRegularFile(Original.Path.c_str(), O_RDONLY, &St);
    if (*Fd < 0)
        return false;
    std::vector<uint8_t> Header;
    if (SameFile(St, Original.Stat) && ReadASFHeader(*Fd, static_cast<uint64_t>(St.st_size), Header) &&
        Header == Original.Header)
        return true;
    close(*Fd);
    *Fd = -1;
    return false;
}

// The attributes a reader of the saved file must find: every live one the
// file holds (derived values and empty Content Description fields aside).
std::vector<ASFAttribute> Expected(const std::vector<ASFAttribute>& Attributes)
{
    std::vector<ASFAttribute> Out;
    for (const ASFAttribute& A : Attributes) {
        bool EmptyText = A.Origin == ASFOrigin::ContentDescription && A.Value.size() <= 2;
        if (!A.Deleted && A.Origin != ASFOrigin::Derived && !EmptyText)
            Out.push_back(A);
    }
    return Out;
}

bool SameAttributes(std::vector<ASFAttribute> A, std::vector<ASFAttribute> B)
{
    auto Key = [](const ASFAttribute& X) { return std::tie(X.Name, X.Type, X.Language, X.Value); };
    auto Less = [&](const ASFAttribute& X, const ASFAttribute& Y) { return Key(X) < Key(Y); };
    std::sort(A.begin(), A.end(), Less);
    std::sort(B.begin(), B.end(), Less);
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [&](const ASFAttribute& X, const ASFAttribute& Y) { return Key(X) == Key(Y); });
}

void ApplyContentDescription(TagLib::ASF::Tag& Tag, const std::vector<ASFAttribute>& Attributes)
{
    for (const ContentField& F : ContentFields) {
        TagLib::String Text;
        for (const ASFAttribute& A : Attributes)
            if (!A.Deleted && A.Origin == ASFOrigin::ContentDescription && A.Name == F.Name)
                Text = StringValueText(A.Value);
        (Tag.*F.Set)(Text);
    }
}

bool IsDirty(const ASFAttribute& A)
{
    return A.Origin == ASFOrigin::Stored && !A.ReadOnly && (A.Changed || A.Deleted || A.SourcePos < 0);
}

// Rebuilds the list of one changed name: untouched attributes keep TagLib's
// own record (GUID values included), attributes of other streams stay.
bool ApplyName(TagLib::ASF::Tag& Tag, const std::u16string& Name, const std::vector<ASFAttribute>& Attributes)
{
    TagLib::String Key = ToTagString(Name);
    TagLib::ASF::AttributeList Old = Tag.attribute(Key);
    std::vector<TagLib::ASF::Attribute> FileLevel, OtherStreams;
    for (const TagLib::ASF::Attribute& T : Old)
        (T.stream() == 0 ? FileLevel : OtherStreams).push_back(T);
    TagLib::ASF::AttributeList New;
    for (const ASFAttribute& A : Attributes) {
        if (A.Deleted || A.Name != Name || A.Origin != ASFOrigin::Stored)
            continue;
        if (!A.Changed && A.SourcePos >= 0 && static_cast<size_t>(A.SourcePos) < FileLevel.size()) {
            New.append(FileLevel[A.SourcePos]);
            continue;
        }
        TagLib::ASF::Attribute T;
        if (!ToTagAttribute(A, T))
            return false;
        New.append(T);
    }
    for (const TagLib::ASF::Attribute& T : OtherStreams)
        New.append(T);
    if (New.isEmpty())
        Tag.removeItem(Key);
    else
        Tag.setAttribute(Key, New);
    return true;
}

bool Rewrite(int Fd, const std::vector<ASFAttribute>& Attributes)
{
    // TagLib reads from the descriptor's offset, which the copy left at the end.
    int Own = lseek(Fd, 0, SEEK_SET) == 0 ? dup(Fd) : -1;
    if (Own < 0)
        return false;
    TagLib::FileStream Stream(Own, false); // closes Own
    TagLib::ASF::File File(&Stream, false);
    if (!File.isValid() || !File.tag())
        return false;
    ApplyContentDescription(*File.tag(), Attributes);
    std::vector<std::u16string> Done;
    for (const ASFAttribute& A : Attributes) {
        if (!IsDirty(A) || std::find(Done.begin(), Done.end(), A.Name) != Done.end())
            continue;
        Done.push_back(A.Name);
        if (!ApplyName(*File.tag(), A.Name, Attributes))
            return false;
    }
    return !Fails(ASFSaveStep::Rewrite) && File.save();
}

// The rewritten copy reads back with the edited attributes, and its bytes
// after the header are the original's.
bool Verify(int Copy, int Source, const ASFOriginal& Original, const std::vector<ASFAttribute>& Attributes)
{
    struct stat St;
    std::vector<uint8_t> Header;
    std::vector<ASFAttribute> Saved;
    if (fstat(Copy, &St) != 0 || !ReadASFHeader(Copy, static_cast<uint64_t>(St.st_size), Header) ||
        !ReadASFAttributes(Header, Saved))
        return false;
    return SameAttributes(Expected(Attributes), Expected(Saved)) &&
           SameTail(Source, static_cast<off_t>(Original.Header.size()), Copy, static_cast<off_t>(Header.size()));
}

std::string FolderOf(const std::string& Path)
{
    size_t Slash = Path.rfind('/');
    if (Slash == std::string::npos)
        return ".";
    return Slash == 0 ? "/" : Path.substr(0, Slash);
}

std::string TempTemplate(const std::string& Path)
{
    size_t Slash = Path.rfind('/');
    std::string Base = Slash == std::string::npos ? Path : Path.substr(Slash + 1);
    return FolderOf(Path) + "/." + Base + ".wmedit-XXXXXX";
}

bool SyncFolder(const std::string& Folder)
{
    int Fd = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0)
        return false;
    bool Ok = fsync(Fd) == 0 || errno == EINVAL;
    close(Fd);
    return Ok;
}

// Everything from the copy to the rename; the temporary is removed by the
// caller on failure.
WMStatus WriteThrough(const ASFOriginal& Original, int Source, int Temp, const std::string& TempPath,
                      const std::vector<ASFAttribute>& Attributes)
{
    if (Fails(ASFSaveStep::Copy) || !CopyFile(Source, Temp))
        return SystemRefused;
    if (fchmod(Temp, Original.Stat.st_mode & 07777) != 0)
        return SystemRefused;
    if (fchown(Temp, Original.Stat.st_uid, Original.Stat.st_gid) != 0) {
        // Keeping the owner needs privileges; a changed owner is accepted.
    }
    if (!Rewrite(Temp, Attributes) || !Verify(Temp, Source, Original, Attributes))
        return RewriteFailed;
    if (Fails(ASFSaveStep::Sync) || fsync(Temp) != 0)
        return SystemRefused;
    int Again = -1;
    if (!StillOriginal(Original, &Again))
        return ChangedOnDisk;
    close(Again);
    if (Fails(ASFSaveStep::Rename) || rename(TempPath.c_str(), Original.Path.c_str()) != 0)
        return SystemRefused;
    SyncFolder(FolderOf(Original.Path)); // the rename is done; a failed folder sync loses nothing
    return WM_S_OK;
}

} // namespace

bool LoadASFOriginal(const char* Path, ASFOriginal& Original, std::vector<ASFAttribute>& Attributes)
{
    int Fd = OpenRegularFile(Path, O_RDONLY, &Original.Stat);
    if (Fd < 0)
        return false;
    bool Read = ReadASFHeader(Fd, static_cast<uint64_t>(Original.Stat.st_size), Original.Header);
    close(Fd);
    if (!Read || !ReadASFAttributes(Original.Header, Attributes))
        return false;
    // The file itself, not a link to it: the saved copy replaces the file
    // and leaves every symbolic link pointing at it.
    char* Real = realpath(Path, nullptr);
    if (!Real)
        return false;
    Original.Path = Real;
    free(Real);
    return true;
}

WMStatus SaveASFEdits(const ASFOriginal& Original, const std::vector<ASFAttribute>& Attributes)
{
    int Source = -1;
    if (!StillOriginal(Original, &Source))
        return ChangedOnDisk;
    std::string TempPath = TempTemplate(Original.Path);
    int Temp = mkostemp(TempPath.data(), O_CLOEXEC);
    if (Temp < 0) {
        close(Source);
        return SystemRefused;
    }
    WMStatus Status;
    try {
        Status = WriteThrough(Original, Source, Temp, TempPath, Attributes);
    } catch (...) { // allocation failure inside TagLib or here
        Status = RewriteFailed;
    }
    close(Temp);
    close(Source);
    if (Status < 0)
        unlink(TempPath.c_str());
    return Status;
}

void SimulateASFSaveFailure(ASFSaveStep Step) { FailingStep.store(Step); }
