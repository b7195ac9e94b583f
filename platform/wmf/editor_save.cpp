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
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

std::atomic<ASFSaveStep> FailingStep{ASFSaveStep::None};
std::atomic<void (*)(ASFSaveStep)> StepHook{nullptr};

constexpr WMStatus ChangedOnDisk = WM_E_INVALID_REQUEST; // edited by someone else meanwhile
constexpr WMStatus SystemRefused = WM_E_FAIL;            // copy, sync or rename failed
constexpr WMStatus RewriteFailed = WM_E_INVALID_DATA;    // TagLib could not save or verify
constexpr size_t CopyChunk = 1u << 16;

bool Fails(ASFSaveStep Step)
{
    if (void (*Hook)(ASFSaveStep) = StepHook.load())
        Hook(Step);
    return FailingStep.load() == Step;
}

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

// Copies From into To at To's offset; Halfway runs once after the first
// chunk.
bool CopyFile(int From, int To, void (*Halfway)() = nullptr)
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
        if (At == 0 && Halfway)
            Halfway();
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

bool SameContent(int A, int B)
{
    struct stat SA, SB;
    return fstat(A, &SA) == 0 && fstat(B, &SB) == 0 && SA.st_size == SB.st_size && SameTail(A, 0, B, 0);
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

constexpr char NewVersion[] = ".wmedit-"; // a rewritten copy, not yet in place
constexpr char KeptOriginal[] = ".wmkeep-"; // the original during an in-place rewrite
constexpr size_t UniqueChars = 6;

// ".NAME" + Kind: the start of the temporary names of the file at Path.
std::string TempPrefix(const std::string& Path, const char* Kind)
{
    size_t Slash = Path.rfind('/');
    return "." + (Slash == std::string::npos ? Path : Path.substr(Slash + 1)) + Kind;
}

std::string TempTemplate(const std::string& Path, const char* Kind)
{
    return FolderOf(Path) + "/" + TempPrefix(Path, Kind) + std::string(UniqueChars, 'X');
}

// Regular files in Folder named Prefix plus the unique characters.
std::vector<std::string> TempFiles(const std::string& Folder, const std::string& Prefix)
{
    std::vector<std::string> Found;
    DIR* D = opendir(Folder.c_str());
    while (dirent* E = D ? readdir(D) : nullptr) {
        std::string Name = E->d_name;
        struct stat St;
        if (Name.size() == Prefix.size() + UniqueChars && Name.compare(0, Prefix.size(), Prefix) == 0 &&
            fstatat(dirfd(D), E->d_name, &St, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(St.st_mode))
            Found.push_back(Folder + "/" + Name);
    }
    if (D)
        closedir(D);
    return Found;
}

bool HoldsSameBytes(int Fd, const std::string& Path)
{
    int Other = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (Other < 0)
        return false;
    bool Same = SameContent(Fd, Other);
    close(Other);
    return Same;
}

// Removes what an interrupted save of the file left beside it. A kept
// original goes only when the file (Current) is whole: equal to it (the
// in-place rewrite had not begun) or to a new version (it had finished).
// Otherwise everything stays: the kept original is the way back.
void RemoveLeftovers(const std::string& Path, int Current)
{
    std::string Folder = FolderOf(Path);
    std::vector<std::string> New = TempFiles(Folder, TempPrefix(Path, NewVersion));
    std::vector<std::string> Kept = TempFiles(Folder, TempPrefix(Path, KeptOriginal));
    for (const std::string& K : Kept) {
        bool Whole = HoldsSameBytes(Current, K);
        for (size_t i = 0; i < New.size() && !Whole; ++i)
            Whole = HoldsSameBytes(Current, New[i]);
        if (!Whole)
            return;
    }
    for (const std::string& K : Kept)
        unlink(K.c_str());
    for (const std::string& N : New)
        unlink(N.c_str());
}

bool CopyXattr(int From, int To, const char* Name)
{
    ssize_t Size = fgetxattr(From, Name, nullptr, 0);
    if (Size < 0)
        return false;
    std::vector<char> Value(static_cast<size_t>(Size) + 1);
    Size = fgetxattr(From, Name, Value.data(), Value.size());
    if (Size < 0)
        return false;
    if (fsetxattr(To, Name, Value.data(), static_cast<size_t>(Size), 0) == 0)
        return true;
    // Not ours to set (a label the system gave the copy): it must match.
    std::vector<char> Have(Value.size());
    return fgetxattr(To, Name, Have.data(), Have.size()) == Size &&
           std::equal(Value.begin(), Value.begin() + Size, Have.begin());
}

// Every extended attribute (ACLs and security labels included).
bool CopyXattrs(int From, int To)
{
    ssize_t Size = flistxattr(From, nullptr, 0);
    if (Size < 0)
        return errno == ENOTSUP;
    std::vector<char> Names(static_cast<size_t>(Size) + 1);
    Size = flistxattr(From, Names.data(), Names.size());
    if (Size < 0)
        return false;
    for (ssize_t At = 0; At < Size; At += static_cast<ssize_t>(strlen(&Names[At])) + 1)
        if (!CopyXattr(From, To, &Names[At]))
            return false;
    return true;
}

// The copy takes the original's owner, group, extended attributes and
// mode. Chown first: it clears set-id bits and file capabilities.
bool KeepFileAttributes(int From, int To)
{
    struct stat Was, Now;
    if (fstat(From, &Was) != 0 || fstat(To, &Now) != 0)
        return false;
    if ((Was.st_uid != Now.st_uid || Was.st_gid != Now.st_gid) && fchown(To, Was.st_uid, Was.st_gid) != 0)
        return false;
    return CopyXattrs(From, To) && fchmod(To, Was.st_mode & 07777) == 0;
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

bool Unchanged(const ASFOriginal& Original)
{
    int Again = -1;
    if (!StillOriginal(Original, &Again))
        return false;
    close(Again);
    return true;
}

// Puts a complete copy of the open original (a write that reached it after
// the check) back at its path.
void PutBack(const ASFOriginal& Original)
{
    std::string Path = TempTemplate(Original.Path, NewVersion);
    int Fd = mkostemp(Path.data(), O_CLOEXEC);
    if (Fd < 0)
        return;
    bool Ok = CopyFile(Original.Fd, Fd) && KeepFileAttributes(Original.Fd, Fd) && fsync(Fd) == 0 &&
              rename(Path.c_str(), Original.Path.c_str()) == 0;
    close(Fd);
    if (!Ok)
        unlink(Path.c_str());
}

// Replaces the original by the synced copy. A write that reached the
// original between the last check and the rename is not lost: the
// original, still open here, is put back and the save fails.
WMStatus ReplaceByRename(const ASFOriginal& Original, const std::string& TempPath)
{
    if (!Unchanged(Original))
        return ChangedOnDisk;
    if (Fails(ASFSaveStep::Rename) || rename(TempPath.c_str(), Original.Path.c_str()) != 0)
        return SystemRefused;
    SyncFolder(FolderOf(Original.Path)); // the rename is done; a failed folder sync loses nothing
    struct stat Now;
    if (fstat(Original.Fd, &Now) != 0 || !SameFile(Now, Original.Stat)) {
        PutBack(Original);
        return ChangedOnDisk;
    }
    return WM_S_OK;
}

void HalfwayInPlace() { Fails(ASFSaveStep::InPlace); }

// Writes the new version over the original through the open descriptor, so
// every hard link sees it. *Touched tells whether the original was written.
WMStatus WriteOver(const ASFOriginal& Original, int Temp, bool* Touched)
{
    struct stat St;
    if (!Unchanged(Original) || fstat(Temp, &St) != 0)
        return ChangedOnDisk;
    *Touched = true;
    if (lseek(Original.Fd, 0, SEEK_SET) != 0 || !CopyFile(Temp, Original.Fd, HalfwayInPlace) ||
        ftruncate(Original.Fd, St.st_size) != 0 || fsync(Original.Fd) != 0)
        return SystemRefused;
    return WM_S_OK;
}

// The rewrite in place of a file with several links: a synced copy of the
// original stays beside it until the rewrite is synced. On a failure after
// the original was touched, the copy and the new version both stay.
WMStatus ReplaceInPlace(const ASFOriginal& Original, int Source, int Temp, bool* KeepTemp)
{
    std::string KeepPath = TempTemplate(Original.Path, KeptOriginal);
    int Keep = mkostemp(KeepPath.data(), O_CLOEXEC);
    if (Keep < 0)
        return SystemRefused;
    bool Kept = CopyFile(Source, Keep) && fsync(Keep) == 0 && SyncFolder(FolderOf(Original.Path));
    close(Keep);
    bool Touched = false;
    WMStatus Status = Kept ? WriteOver(Original, Temp, &Touched) : SystemRefused;
    if (Status < 0 && Touched) {
        *KeepTemp = true;
        return Status;
    }
    unlink(KeepPath.c_str());
    SyncFolder(FolderOf(Original.Path));
    return Status;
}

// Everything from the copy to the replacement; the temporary is removed by
// the caller unless *KeepTemp is set.
WMStatus WriteThrough(const ASFOriginal& Original, int Source, int Temp, const std::string& TempPath,
                      const std::vector<ASFAttribute>& Attributes, bool* KeepTemp)
{
    struct stat St;
    if (fstat(Source, &St) != 0)
        return SystemRefused;
    bool InPlace = St.st_nlink > 1;
    if (Fails(ASFSaveStep::Copy) || !CopyFile(Source, Temp))
        return SystemRefused;
    if (!InPlace && !KeepFileAttributes(Source, Temp))
        return SystemRefused; // the owner, group or an attribute cannot be kept
    if (!Rewrite(Temp, Attributes) || !Verify(Temp, Source, Original, Attributes))
        return RewriteFailed;
    if (Fails(ASFSaveStep::Sync) || fsync(Temp) != 0)
        return SystemRefused;
    return InPlace ? ReplaceInPlace(Original, Source, Temp, KeepTemp) : ReplaceByRename(Original, TempPath);
}

} // namespace

bool LoadASFOriginal(const char* Path, ASFOriginal& Original, std::vector<ASFAttribute>& Attributes)
{
    // Read-write: a file the caller may not write is not opened for editing.
    Original.Fd = OpenRegularFile(Path, O_RDWR, &Original.Stat);
    if (Original.Fd < 0)
        return false;
    if (flock(Original.Fd, LOCK_EX | LOCK_NB) != 0 ||
        !ReadASFHeader(Original.Fd, static_cast<uint64_t>(Original.Stat.st_size), Original.Header) ||
        !ReadASFAttributes(Original.Header, Attributes)) {
        ReleaseASFOriginal(Original);
        return false;
    }
    // The file itself, not a link to it: the saved copy replaces the file
    // and leaves every symbolic link pointing at it.
    char* Real = realpath(Path, nullptr);
    if (!Real) {
        ReleaseASFOriginal(Original);
        return false;
    }
    Original.Path = Real;
    free(Real);
    return true;
}

void ReleaseASFOriginal(ASFOriginal& Original)
{
    if (Original.Fd >= 0)
        close(Original.Fd); // and with it the lock
    Original.Fd = -1;
}

WMStatus SaveASFEdits(const ASFOriginal& Original, const std::vector<ASFAttribute>& Attributes)
{
    int Source = -1;
    if (!StillOriginal(Original, &Source))
        return ChangedOnDisk;
    RemoveLeftovers(Original.Path, Source);
    std::string TempPath = TempTemplate(Original.Path, NewVersion);
    int Temp = mkostemp(TempPath.data(), O_CLOEXEC);
    if (Temp < 0) {
        close(Source);
        return SystemRefused;
    }
    WMStatus Status;
    bool KeepTemp = false;
    try {
        Status = WriteThrough(Original, Source, Temp, TempPath, Attributes, &KeepTemp);
    } catch (...) { // allocation failure inside TagLib or here
        Status = RewriteFailed;
    }
    close(Temp);
    close(Source);
    if (!KeepTemp)
        unlink(TempPath.c_str()); // failed, or written in place; renamed away otherwise
    return Status;
}

void SimulateASFSaveFailure(ASFSaveStep Step) { FailingStep.store(Step); }
void SetASFSaveStepHook(void (*Hook)(ASFSaveStep)) { StepHook.store(Hook); }
