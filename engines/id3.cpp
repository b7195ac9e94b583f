// Skipping the ID3v2 tag at the start of a file.
#include "id3.h"

#include <cstring>
#include <sys/stat.h>

namespace {

// Bytes in the file, or -1 when the stream has no size.
off_t StreamSize(FILE* Fi)
{
    struct stat St;
    if (fstat(fileno(Fi), &St) == 0 && S_ISREG(St.st_mode))
        return St.st_size;
    off_t Here = ftello(Fi);
    if (Here < 0 || fseeko(Fi, 0, SEEK_END) != 0)
        return -1;
    off_t End = ftello(Fi);
    fseeko(Fi, Here, SEEK_SET);
    return End;
}

uint32_t NoTag(FILE* Fi)
{
    fseeko(Fi, 0, SEEK_SET);
    return 0;
}

} // namespace

uint32_t ParseID3Tag(FILE* Fi)
{
    uint8_t Hdr[ID3HeaderSize];
    if (fread(Hdr, 1, sizeof Hdr, Fi) != sizeof Hdr || std::memcmp(Hdr, "ID3", 3) != 0)
        return NoTag(Fi);
    uint32_t Size = (static_cast<uint32_t>(Hdr[6]) << 21) | (static_cast<uint32_t>(Hdr[7]) << 14) |
                    (static_cast<uint32_t>(Hdr[8]) << 7) | Hdr[9];
    off_t FileSize = StreamSize(Fi);
    if (FileSize >= 0 && static_cast<off_t>(Size) + ID3HeaderSize > FileSize)
        return NoTag(Fi);
    if (fseeko(Fi, static_cast<off_t>(ID3HeaderSize) + Size, SEEK_SET) != 0)
        return NoTag(Fi);
    return Size + ID3HeaderSize;
}
