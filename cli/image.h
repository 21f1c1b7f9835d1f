// Firmware images that are not S-records yet: what a file looks like, and
// Intel HEX or a raw binary at a load address turned into S-record text, in
// memory. The records are split the way srec_cat splits them, so a converted
// image goes out as the same frames as srec_cat's conversion of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class ImageFormat {
    SRecord,   // the first non-blank line begins with 'S' and a digit
    IntelHex,  // ... with ':' and a hexadecimal digit
    Elf,       // 0x7F 'E' 'L' 'F'
    Unknown,   // anything else: a raw binary only if the user says where it loads
};

ImageFormat DetectImageFormat(const char* bytes, size_t size);

// One line for refusing such a file: what it looks like and what to do
// ("an ELF file: convert it with objcopy -O srec, ...").
const char* ImageFormatAdvice(ImageFormat format);

// An S3 record's count byte holds the address, the data and the checksum.
constexpr unsigned kMaxRecordSize = 250;
constexpr unsigned kDefaultRecordSize = 32;

struct ConversionOptions {
    unsigned recordSize = kDefaultRecordSize;  // data bytes per S3 record, 1..kMaxRecordSize
    const char* header = "";                   // text of the S0 record (null: none), cut to what it holds
    size_t maxTextSize = 0;                    // refuse to produce more S-record text than this
};

// The text is an S0 header, S3 records in address order, an S5 (or, above
// 65535 records, S6) count record as srec_cat writes it, and an S7 record
// with the start address; lines end with LF. A count that does not fit in
// 24 bits is left out rather than written wrong.
//
// Records never cross an address that is a multiple of 1792, as srec_cat's
// never do (its memory is kept in blocks of that size); within such a block,
// each run of contiguous data is cut into records of recordSize bytes from
// its start.
//
// On failure `text` is left empty and `error` says what was wrong and
// where ("line 7: checksum is 3A, should be 3B").

// Intel HEX records 00 (data), 01 (end), 02 (extended segment address), 03
// (start segment address: CS * 16 + IP), 04 (extended linear address) and
// 05 (start linear address); the start address is 0 without 03 or 05. As
// the format has it, a record's data wraps within its 64 KiB segment after
// a 02 record, and within the 4 GiB address space after a 04 record. Data
// given twice, even with the same values, is refused.
bool ConvertIntelHex(const char* hexText, size_t size, const ConversionOptions& options, std::string& text,
                     char* error, size_t errorSize);

// A raw binary image loaded at `base`; start address 0.
bool ConvertBinary(const char* bytes, size_t size, uint32_t base, const ConversionOptions& options,
                   std::string& text, char* error, size_t errorSize);
