/* --wm-list, --wm-get, --wm-set and --wm-del: Windows Media header
   attributes through the library's editor. */
#include "zebplay.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

/* The library reads attributes by name and returns neither their type nor
   their length, so the tool reads the well-known names with the types the
   format gives them; any other name is read as text. */
typedef struct KnownAttribute {
    const char* Name;
    uint32_t Type;
} KnownAttribute;

static const KnownAttribute KnownAttributes[] = {
    {"Duration", ZEB_WMT_TYPE_QWORD},       {"Bitrate", ZEB_WMT_TYPE_DWORD},
    {"IsVBR", ZEB_WMT_TYPE_BOOL},           {"Title", ZEB_WMT_TYPE_STRING},
    {"Author", ZEB_WMT_TYPE_STRING},        {"Copyright", ZEB_WMT_TYPE_STRING},
    {"Description", ZEB_WMT_TYPE_STRING},   {"Rating", ZEB_WMT_TYPE_STRING},
    {"WM/AlbumTitle", ZEB_WMT_TYPE_STRING}, {"WM/AlbumArtist", ZEB_WMT_TYPE_STRING},
    {"WM/Genre", ZEB_WMT_TYPE_STRING},      {"WM/Year", ZEB_WMT_TYPE_STRING},
    {"WM/Composer", ZEB_WMT_TYPE_STRING},   {"WM/Conductor", ZEB_WMT_TYPE_STRING},
    {"WM/Writer", ZEB_WMT_TYPE_STRING},     {"WM/Publisher", ZEB_WMT_TYPE_STRING},
    {"WM/PartOfSet", ZEB_WMT_TYPE_STRING},  {"WM/SubTitle", ZEB_WMT_TYPE_STRING},
    {"WM/Mood", ZEB_WMT_TYPE_STRING},       {"WM/ISRC", ZEB_WMT_TYPE_STRING},
    {"WM/Lyrics", ZEB_WMT_TYPE_STRING},     {"WM/EncodedBy", ZEB_WMT_TYPE_STRING},
    {"WM/EncodingSettings", ZEB_WMT_TYPE_STRING}, {"WM/ToolName", ZEB_WMT_TYPE_STRING},
};

enum { WM_NAME_MAX = 1024, WM_VALUE_MAX = 0xFFFF, HUNDRED_NS_PER_MS = 10000, BINARY_SHOWN = 32 };

static uint32_t KnownType(const char* Name)
{
    for (size_t I = 0; I < sizeof KnownAttributes / sizeof KnownAttributes[0]; I++)
        if (strcmp(KnownAttributes[I].Name, Name) == 0)
            return KnownAttributes[I].Type;
    return ZEB_WMT_TYPE_STRING;
}

static const char* TypeName(uint32_t Type)
{
    static const char* const Names[] = {"DWORD", "STRING", "BINARY", "BOOL", "QWORD", "WORD", "GUID"};
    return Type <= ZEB_WMT_TYPE_GUID ? Names[Type] : "?";
}

/* UTF-8 Text into UTF-16 code units (Out holds Max units, terminator
   included); the count of units without the terminator, or -1 when Text is
   not UTF-8 or does not fit. */
static long Utf8ToUtf16(const char* Text, uint16_t* Out, size_t Max)
{
    const unsigned char* P = (const unsigned char*)Text;
    size_t N = 0;
    while (*P) {
        uint32_t C;
        int More;
        if (*P < 0x80) { C = *P; More = 0; }
        else if ((*P & 0xE0) == 0xC0) { C = *P & 0x1F; More = 1; }
        else if ((*P & 0xF0) == 0xE0) { C = *P & 0x0F; More = 2; }
        else if ((*P & 0xF8) == 0xF0) { C = *P & 0x07; More = 3; }
        else return -1;
        P++;
        for (int I = 0; I < More; I++, P++) {
            if ((*P & 0xC0) != 0x80)
                return -1;
            C = (C << 6) | (*P & 0x3F);
        }
        if (C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF))
            return -1;
        if (N + (C >= 0x10000 ? 2 : 1) >= Max)
            return -1;
        if (C >= 0x10000) {
            C -= 0x10000;
            Out[N++] = (uint16_t)(0xD800 | (C >> 10));
            Out[N++] = (uint16_t)(0xDC00 | (C & 0x3FF));
        } else {
            Out[N++] = (uint16_t)C;
        }
    }
    Out[N] = 0;
    return (long)N;
}

static void PutUtf8(uint32_t C)
{
    if (C < 0x80) {
        putchar((int)C);
    } else if (C < 0x800) {
        putchar((int)(0xC0 | (C >> 6)));
        putchar((int)(0x80 | (C & 0x3F)));
    } else if (C < 0x10000) {
        putchar((int)(0xE0 | (C >> 12)));
        putchar((int)(0x80 | ((C >> 6) & 0x3F)));
        putchar((int)(0x80 | (C & 0x3F)));
    } else {
        putchar((int)(0xF0 | (C >> 18)));
        putchar((int)(0x80 | ((C >> 12) & 0x3F)));
        putchar((int)(0x80 | ((C >> 6) & 0x3F)));
        putchar((int)(0x80 | (C & 0x3F)));
    }
}

/* A UTF-16 name into UTF-8 (Out holds Size bytes); lone surrogates become
   U+FFFD, and a name too long for Out is cut at a whole character. */
static void Utf16ToUtf8(const uint16_t* Name, char* Out, size_t Size)
{
    size_t N = 0;
    for (size_t I = 0; Name[I]; I++) {
        uint32_t C = Name[I];
        if (C >= 0xD800 && C <= 0xDBFF && Name[I + 1] >= 0xDC00 && Name[I + 1] <= 0xDFFF)
            C = 0x10000 + ((C - 0xD800) << 10) + (Name[++I] - 0xDC00);
        else if (C >= 0xD800 && C <= 0xDFFF)
            C = 0xFFFD;
        unsigned char B[4];
        int Len = C < 0x80 ? 1 : C < 0x800 ? 2 : C < 0x10000 ? 3 : 4;
        static const unsigned char Lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (int K = Len - 1; K > 0; K--, C >>= 6)
            B[K] = (unsigned char)(0x80 | (C & 0x3F));
        B[0] = (unsigned char)(Lead[Len] | C);
        if (N + (size_t)Len >= Size)
            break;
        memcpy(Out + N, B, (size_t)Len);
        N += (size_t)Len;
    }
    Out[N] = '\0';
}

static uint64_t ValueLE(const uint8_t* Value, int Bytes)
{
    uint64_t X = 0;
    for (int I = 0; I < Bytes; I++)
        X |= (uint64_t)Value[I] << (8 * I);
    return X;
}

/* Prints a string value (UTF-16LE up to its terminator) as UTF-8; lone
   surrogates print as U+FFFD. */
static void PrintText(const uint8_t* Value)
{
    for (size_t I = 0;; I += 2) {
        uint32_t C = (uint32_t)ValueLE(Value + I, 2);
        if (C == 0)
            break;
        if (C >= 0xD800 && C <= 0xDBFF) {
            uint32_t Low = (uint32_t)ValueLE(Value + I + 2, 2);
            if (Low >= 0xDC00 && Low <= 0xDFFF) {
                C = 0x10000 + ((C - 0xD800) << 10) + (Low - 0xDC00);
                I += 2;
            } else {
                C = 0xFFFD;
            }
        } else if (C >= 0xDC00 && C <= 0xDFFF) {
            C = 0xFFFD;
        }
        PutUtf8(C);
    }
}

/* {00112233-4455-6677-8899-AABBCCDDEEFF} from the 16 bytes as stored. */
static void PrintGuid(const uint8_t* Value)
{
    printf("{%08X-%04X-%04X-", (unsigned)ValueLE(Value, 4), (unsigned)ValueLE(Value + 4, 2),
           (unsigned)ValueLE(Value + 6, 2));
    for (int I = 8; I < 16; I++)
        printf(I == 10 ? "-%02X" : "%02X", Value[I]);
    printf("}");
}

/* Up to BINARY_SHOWN bytes in hexadecimal, then the length. */
static void PrintBinary(const uint8_t* Value, uint32_t Length)
{
    for (uint32_t I = 0; I < Length && I < BINARY_SHOWN; I++)
        printf("%02x", Value[I]);
    printf("%s (%u bytes)", Length > BINARY_SHOWN ? "..." : "", (unsigned)Length);
}

static void PrintValue(const char* Name, uint32_t Type, const uint8_t* Value)
{
    switch (Type) {
    case ZEB_WMT_TYPE_STRING: PrintText(Value); break;
    case ZEB_WMT_TYPE_DWORD: printf("%u", (unsigned)ValueLE(Value, 4)); break;
    case ZEB_WMT_TYPE_BOOL: printf("%s", ValueLE(Value, 4) ? "true" : "false"); break;
    case ZEB_WMT_TYPE_QWORD:
        printf("%llu", (unsigned long long)ValueLE(Value, 8));
        if (strcmp(Name, "Duration") == 0)
            printf(" (%.3f s)", (double)(ValueLE(Value, 8) / HUNDRED_NS_PER_MS) / 1000.0);
        break;
    case ZEB_WMT_TYPE_WORD: printf("%u", (unsigned)ValueLE(Value, 2)); break;
    case ZEB_WMT_TYPE_GUID: PrintGuid(Value); break;
    default: break;
    }
}

static int WideName(const char* Name, uint16_t* Wide)
{
    if (Utf8ToUtf16(Name, Wide, WM_NAME_MAX) <= 0) {
        fprintf(stderr, "zebplay: invalid attribute name '%s'\n", Name);
        return 0;
    }
    return 1;
}

/* The editor opens a file only for a user who may write it. */
static void* OpenWMFile(const char* Path)
{
    if (ReportUnusableFile(Path))
        return NULL;
    void* Editor = _WMOpenMetaEditor(Path);
    if (Editor)
        return Editor;
    char Why[PATH_MAX + 256];
    FileKind Kind;
    ProbeFile(Path, &Kind);
    if (access(Path, W_OK) != 0 && (errno == EACCES || errno == EROFS))
        fprintf(stderr, "zebplay: %s: %s\n", Path, errno == EACCES ? "permission denied" : strerror(errno));
    else if (!Kind.Container || strcmp(Kind.Container, "ASF") != 0)
        fprintf(stderr, "zebplay: %s: not a Windows Media file\n", Path);
    else if (ExplainRefusal(Path, Why, sizeof Why))
        fprintf(stderr, "zebplay: %s: %s\n", Path, Why);
    else
        fprintf(stderr, "zebplay: %s: not an editable Windows Media file, or in use by another editor\n", Path);
    return NULL;
}

/* A value as stored, checked against the length its type needs. */
static void PrintStoredValue(const char* Name, uint32_t Type, const uint8_t* Value, uint32_t Length)
{
    static const uint32_t Needs[] = {4, 2, 0, 4, 8, 2, 16};
    int Terminated = Type != ZEB_WMT_TYPE_STRING || (Length >= 2 && Length % 2 == 0 &&
                                                     Value[Length - 1] == 0 && Value[Length - 2] == 0);
    if (Type == ZEB_WMT_TYPE_BINARY || Type > ZEB_WMT_TYPE_GUID || Length < Needs[Type] || !Terminated)
        PrintBinary(Value, Length);
    else
        PrintValue(Name, Type, Value);
}

/* Prints NAME<tab>TYPE<tab>VALUE for every attribute of the file, in its
   order, with the name and type it is stored under. */
static int ListAttributes(const char* Path)
{
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    uint32_t Count = _WMGetHeaderAttributeCount(Editor);
    for (uint32_t I = 0; I < Count; I++) {
        uint16_t* Wide = NULL;
        uint8_t* Value = NULL;
        uint32_t Type = 0, Length = 0;
        if (!_WMGetHeaderAttributeByIndex(Editor, I, &Wide, &Type, &Value, &Length))
            continue;
        char Name[WM_NAME_MAX * 3];
        Utf16ToUtf8(Wide, Name, sizeof Name);
        printf("%s\t%s\t", Name, TypeName(Type));
        PrintStoredValue(Name, Type, Value, Length);
        printf("\n");
        _WMFreeHeaderAttribute((uint8_t*)Wide);
        _WMFreeHeaderAttribute(Value);
    }
    return _WMCloseMetaEditor(Editor) ? 0 : EXIT_PLAY_FAILED;
}

static int GetAttribute(const char* Name, const char* Path)
{
    uint16_t Wide[WM_NAME_MAX];
    if (!WideName(Name, Wide))
        return EXIT_USAGE;
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    uint8_t* Value = NULL;
    int Found = _WMGetHeaderAttribute(Editor, Wide, &Value);
    if (Found) {
        PrintValue(Name, KnownType(Name), Value);
        printf("\n");
        _WMFreeHeaderAttribute(Value);
    } else {
        fprintf(stderr, "zebplay: %s: no attribute '%s'\n", Path, Name);
    }
    _WMCloseMetaEditor(Editor);
    return Found ? 0 : EXIT_PLAY_FAILED;
}

/* Sets NAME to the text VALUE (Assignment "NAME=VALUE"), or deletes every
   NAME when Assignment has no value part and Delete is set. */
static int ChangeAttribute(const char* Assignment, int Delete, const char* Path)
{
    static uint16_t Text[WM_VALUE_MAX / 2];
    char Name[WM_NAME_MAX];
    const char* Equals = Delete ? NULL : strchr(Assignment, '=');
    size_t NameLength = Equals ? (size_t)(Equals - Assignment) : strlen(Assignment);
    if (NameLength >= sizeof Name)
        return UsageError("attribute name too long: '%s'", Assignment);
    memcpy(Name, Assignment, NameLength);
    Name[NameLength] = '\0';
    uint16_t Wide[WM_NAME_MAX];
    if (!WideName(Name, Wide))
        return EXIT_USAGE;
    long Units = Equals ? Utf8ToUtf16(Equals + 1, Text, sizeof Text / sizeof Text[0]) : 0;
    if (Units < 0)
        return UsageError("value not UTF-8 or longer than an attribute holds: '%s'", Equals + 1);
    uint8_t* Bytes = (uint8_t*)Text; /* UTF-16LE on this little-endian platform */
    for (long I = 0; I <= Units; I++) {
        uint16_t U = Text[I];
        Bytes[2 * I] = (uint8_t)(U & 0xFF);
        Bytes[2 * I + 1] = (uint8_t)(U >> 8);
    }
    void* Editor = OpenWMFile(Path);
    if (!Editor)
        return EXIT_PLAY_FAILED;
    int Set = _WMSetHeaderAttribute(Editor, Wide, Delete ? NULL : Bytes, ZEB_WMT_TYPE_STRING,
                                    Delete ? 0 : (uint16_t)(2 * (Units + 1)));
    if (!Set)
        fprintf(stderr, "zebplay: %s: attribute '%s' cannot be %s\n", Path, Name, Delete ? "deleted" : "set");
    int Saved = _WMCloseMetaEditor(Editor);
    if (Set && !Saved)
        fprintf(stderr, "zebplay: %s: the change could not be saved; the file is unchanged\n", Path);
    return Set && Saved ? 0 : EXIT_PLAY_FAILED;
}

int EditAttributes(const Options* Opt)
{
    const char* Path = Opt->Files[0];
    switch (Opt->Mode) {
    case MODE_WM_LIST: return ListAttributes(Path);
    case MODE_WM_GET: return GetAttribute(Opt->WmArgument, Path);
    case MODE_WM_SET: return ChangeAttribute(Opt->WmArgument, 0, Path);
    default: return ChangeAttribute(Opt->WmArgument, 1, Path);
    }
}
