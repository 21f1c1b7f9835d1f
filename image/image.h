// The firmware as data: the file read once into memory, what kind of file
// it is and the S-records it becomes, the strict check of those records,
// and the digests a job's record keeps. No port, no terminal: every front
// end (the command line, the station, the fuzz targets) shares it.
//
// Calling sequence:
//   FirmwareSnapshot firmware;  Failure failure;
//   LoadFirmware(path, options, withDigest, firmware, failure)   // or refused
//   CheckFirmware(firmware, check)        // problems, and what a job will do
//   ... jobs read firmware.bytes, never the file again ...
//   ReleaseSnapshot(firmware)
// The snapshot's bytes are the caller's from LoadFirmware to ReleaseSnapshot
// and read-only in between, so any number of jobs may read them at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "conversions.h"
#include "transfer.h"

// Far above any image the device's line can carry in a day.
constexpr size_t kMaxImageSize = size_t(256) << 20;

// ---- the file, read once -----------------------------------------------------

// The firmware file's bytes, read once; read-only from then on. An Intel
// HEX file or a raw binary is held as the S-records it converts to.
struct FirmwareSnapshot {
    char* bytes;
    size_t size;
    bool converted;        // the bytes are S-records made from the file
    char fileSha256[65];   // of the file's own bytes, as read; "" unless asked for
};

// How a file that is not S-records becomes S-records.
struct ImageOptions {
    bool hasBase = false;       // the file is a raw binary loaded at `base`
    uint32_t base = 0;
    unsigned recordSize = 0;    // data bytes per S3 record; 0: the default
};

// TakeSnapshot, then the conversion an Intel HEX file (or, with a base, a
// raw binary) needs; a file of another kind (ELF, ...) is refused with what
// it looks like and what to do. The file's digest only `withDigest`: hashing
// costs more than encoding, and only a job's record shows it. "-" reads
// standard input, which the caller has put in binary mode.
bool LoadFirmware(const char* path, const ImageOptions& options, bool withDigest, FirmwareSnapshot& firmware,
                  Failure& failure);

// Reads all of `path` ("-": standard input) into `snapshot`; false with the
// reason (a directory, a read error, more than kMaxImageSize) otherwise.
bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, Failure& failure);
void ReleaseSnapshot(FirmwareSnapshot& snapshot);

// A file by its name as the tools are given it (UTF-8 on Windows), opened
// as std::fopen would open it; null with errno set when it cannot be.
FILE* OpenNamedFile(const char* path, const char* mode);

// `path` names a folder.
bool IsFolder(const char* path);

// The size of an open regular file; 0 for anything else (a pipe, a
// terminal), whose size is known only once it has been read.
size_t RegularFileSize(FILE* file);

// Asks for `bytes` to be backed by large pages where the platform has them:
// reading a large file into fresh memory otherwise faults on every 4 KiB.
void AdviseLargePages(void* bytes, size_t size);

// ---- the formats ---------------------------------------------------------------

enum class ImageFormat {
    SRecord,   // the first non-blank line begins with 'S' and a digit
    IntelHex,  // ... with ':' and a hexadecimal digit
    Elf,       // 0x7F 'E' 'L' 'F'
    Unknown,   // anything else: a raw binary only if the user says where it loads
};

// An S3 record's count byte holds the address, the data and the checksum.
constexpr unsigned kMaxRecordSize = 250;
constexpr unsigned kDefaultRecordSize = 32;

struct ConversionOptions {
    unsigned recordSize = kDefaultRecordSize;  // data bytes per S3 record, 1..kMaxRecordSize
    const char* header = "";                   // text of the S0 record (null: none), cut to what it holds
    size_t maxTextSize = 0;                    // refuse to produce more S-record text than this
    uint32_t base = 0;                         // where a raw binary loads
};

// One kind of file: how its first bytes give it away, how it becomes
// S-record text (null: it cannot), and one line for a user who gives it
// where it cannot be used. A new format is one more row of kImageFormats.
struct ImageFormatRow {
    ImageFormat kind;
    bool (*detect)(const char* bytes, size_t size);
    bool (*convert)(const char* bytes, size_t size, const ConversionOptions& options, std::string& text,
                    Failure& failure);
    const char* advice;
};

extern const ImageFormatRow kImageFormats[4];

// The row of the first format whose detect takes the bytes; the last row
// (Unknown) takes anything.
const ImageFormatRow& DetectImageFormat(const char* bytes, size_t size);
const ImageFormatRow& ImageFormatOf(ImageFormat kind);

// The text is an S0 header, S3 records in address order, an S5 (or, above
// 65535 records, S6) count record as srec_cat writes it, and an S7 record
// with the start address; lines end with LF. A count that does not fit in
// 24 bits is left out rather than written wrong.
//
// Records never cross an address that is a multiple of 1792, as srec_cat's
// never do (its memory is kept in blocks of that size); within such a block,
// each run of contiguous data is cut into records of recordSize bytes from
// its start. On failure `text` is left empty and the reason says what was
// wrong and where ("line 7: checksum is 3A, should be 3B").

// Intel HEX records 00 (data), 01 (end), 02 (extended segment address), 03
// (start segment address: CS * 16 + IP), 04 (extended linear address) and
// 05 (start linear address); the start address is 0 without 03 or 05. As
// the format has it, a record's data wraps within its 64 KiB segment after
// a 02 record, and within the 4 GiB address space after a 04 record. Data
// given twice, even with the same values, is refused.
bool ConvertIntelHex(const char* hexText, size_t size, const ConversionOptions& options, std::string& text,
                     Failure& failure);

// A raw binary image loaded at options.base; start address 0.
bool ConvertBinary(const char* bytes, size_t size, const ConversionOptions& options, std::string& text,
                   Failure& failure);

// ---- the strict check ------------------------------------------------------------

// The worker itself is lenient (it never verifies a record's checksum, for
// one), so the tools check what the device would otherwise be given
// blindly: the same lines the worker reads, through the same line reader.
constexpr int kMaxReportedProblems = 20;

struct FirmwareCheck {
    unsigned long lines = 0;
    unsigned long records[10] = {};      // by type digit S0..S9
    unsigned long long dataBytes = 0;    // of S1/S2/S3 records
    // Merged data ranges: first address -> one past the last.
    std::map<unsigned long long, unsigned long long> ranges;
    unsigned long dataRecords = 0;       // S1-S3 records, for the S5/S6 check
    bool terminated = false;             // a termination record was read
    unsigned long problems = 0;          // all problems found
    int reported = 0;                    // problems kept below
    struct Problem {
        unsigned long line;
        char text[120];
    } problem[kMaxReportedProblems];

    // What a write job does with these lines, as the worker would do it.
    unsigned long frames = 0;            // frames it sends
    unsigned long long frameBytes = 0;   // bytes of those frames
    unsigned long long frameData = 0;    // their LEN fields added up: what progress counts
    WriteFailure jobFailure = WriteFailure::None;  // None: it reaches its termination record
    unsigned long jobLine = 0;           // the line the job ends at, as the worker counts
    bool jobOver = false;                // the job stops at jobLine; later lines are only checked

    // Something worth saying that is no problem: a DOS end-of-file mark
    // (^Z) after the termination record, which the device never gets.
    unsigned long noteLine = 0;          // 0: nothing to say
    char note[120] = "";
};

// Looks at every line of the firmware and fills `check`.
void CheckFirmware(const FirmwareSnapshot& firmware, FirmwareCheck& check);

// Bytes on the wire for a whole job: start, frames, end, and one answer byte
// per frame when the device answers.
unsigned long long WireBytes(const FirmwareCheck& check, bool answered);

// ---- digests -------------------------------------------------------------------

// SHA-256 (FIPS 180-4), streamed: start, update with the bytes in any
// pieces, finish.
struct Sha256 {
    uint32_t state[8];
    uint64_t length;    // bytes taken so far
    uint8_t block[64];  // the bytes of the block not yet complete
};

void StartSha256(Sha256& hash);
void UpdateSha256(Sha256& hash, const void* bytes, size_t size);
void FinishSha256(Sha256& hash, uint8_t (&digest)[32]);

// A digest as 64 lower-case hexadecimal digits and a NUL.
void DigestHex(const uint8_t (&digest)[32], char (&hex)[65]);

// The digest of `size` bytes, in hexadecimal.
void Sha256Hex(const void* bytes, size_t size, char (&hex)[65]);

// SHA-256 of everything a job sends for the firmware, start to end sequence.
void DigestOfSentBytes(const FirmwareSnapshot& firmware, char (&hex)[65]);
