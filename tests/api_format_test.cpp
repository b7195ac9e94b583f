// ZEBAudioFormatErrorString and the queries that need no player.
#include "zeb-audio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Format(int Cmd, int Error)
{
    char Buffer[ZEB_ERROR_STRING_SIZE];
    memset(Buffer, 'x', sizeof Buffer);
    ZEBAudioFormatErrorString(Cmd, Error, Buffer);
    return Buffer;
}

TEST(FormatErrorString, NamesCommandAndError)
{
    EXPECT_EQ(Format(0x8004, 6),
              "Audio core error on ommand 'Seek', error: Invalid Parameters - invalid parameters passed for command");
    EXPECT_EQ(Format(0x8010, 13), "Audio core error on ommand 'Set Ouput Frequency', error: General command failure");
    EXPECT_EQ(Format(0x8000, 0), "Audio core error on ommand 'Input Open', error: Unknown error");
    EXPECT_EQ(Format(0x8014, 2),
              "Audio core error on ommand 'Get Main Volume', error: Output Open Error - error opening ouput device/media");
}

TEST(FormatErrorString, OutOfRangeCodes)
{
    for (int Cmd : {0x7FFF, 0x8015, 0x83E8, -1})
        EXPECT_EQ(Format(Cmd, 1), "Audio core error on ommand 'Unknown Command', error: Input Open Error - "
                                  "file not found or unsupported file format")
            << Cmd;
    EXPECT_NE(Format(0x8001, -1).find("error: Invalid Error Code"), std::string::npos);
    EXPECT_NE(Format(0x8001, 14).find("error: Invalid Error Code"), std::string::npos);
}

TEST(FormatErrorString, LongestTextFitsTheDocumentedBuffer)
{
    std::string Longest = Format(0x8009, 7);
    EXPECT_EQ(Longest.size(), static_cast<size_t>(ZEB_ERROR_STRING_SIZE - 1));
    EXPECT_EQ(Longest, "Audio core error on ommand 'Set Input Position Range', error: Input Not Open Error - "
                       "attempt to perform command with no input media open");
}

TEST(FormatErrorString, UnderscoreNameIsTheSameFunction)
{
    char A[ZEB_ERROR_STRING_SIZE], B[ZEB_ERROR_STRING_SIZE];
    ZEBAudioFormatErrorString(0x8002, 13, A);
    _ZEBAudioFormatErrorString(0x8002, 13, B);
    EXPECT_STREQ(A, B);
    EXPECT_EQ(reinterpret_cast<void*>(&ZEBAudioPlayerCreate), reinterpret_cast<void*>(&_ZEBAudioPlayerCreate));
}

TEST(TrackQueries, RefuseMissingArguments)
{
    MPEGTrackInfoType Info{};
    EXPECT_EQ(ZEBAudioGetMP3TrackInfo("/nonexistent/file.mp3", nullptr), 0);
    EXPECT_EQ(ZEBAudioGetMP3TrackInfo("/nonexistent/file.mp3", &Info), 0);
    EXPECT_EQ(ZEBAudioGetMP3TrackLength("/nonexistent/file.wav"), 0u);
}

TEST(DeviceEnumeration, ArrayIsAlwaysReleasable)
{
    unsigned int Count = 12345;
    char** Devices = ZEBAudioEnumerateDevices(&Count);
    ASSERT_NE(Devices, nullptr);
    EXPECT_NE(Count, 12345u);
    for (unsigned int i = 0; i < Count; ++i)
        EXPECT_LT(strlen(Devices[i]), 80u);
    ZEBAudioFreeDeviceEnums(Devices);
}

} // namespace
