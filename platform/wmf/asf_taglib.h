// Conversions between the module's attribute records and TagLib's ASF
// attributes, shared by reading a header and saving an edited file.
#pragma once

#include "asf_attributes.h"

#include <asfattribute.h>
#include <asftag.h>
#include <tstring.h>

#include <string>
#include <vector>

std::u16string ToWide(const TagLib::String& S);
TagLib::String ToTagString(const std::u16string& S);
// The text of a string value's bytes (UTF-16LE, up to its terminator).
TagLib::String StringValueText(const std::vector<uint8_t>& Value);
// A TagLib attribute of stream 0 for A's type, value and language.
bool ToTagAttribute(const ASFAttribute& A, TagLib::ASF::Attribute& Out);
// The five Content Description fields of Tag, in the runtime's names.
struct ContentField {
    const char16_t* Name;
    TagLib::String (TagLib::ASF::Tag::*Get)() const;
    void (TagLib::ASF::Tag::*Set)(const TagLib::String&);
};
extern const ContentField ContentFields[5];
