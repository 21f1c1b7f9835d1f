// The firmware read once into memory: every later look at it (the check,
// the frames, each port's job) sees exactly these bytes, whatever happens
// to the file meanwhile.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include <string>

#include "cli.h"
#include "image.h"
#include "sha256.h"

namespace {

constexpr size_t kFirstBlock = 1 << 20;

bool Refuse(char* error, size_t errorSize, const char* format, const char* name, const char* detail = "")
{
    std::snprintf(error, errorSize, format, name, detail);
    return false;
}

}  // namespace

bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, char* error, size_t errorSize)
{
    snapshot = {};
    bool fromStdin = std::strcmp(path, "-") == 0;
    const char* name = fromStdin ? "standard input" : path;
    struct stat status = {};
    if (!fromStdin && stat(path, &status) == 0 && S_ISDIR(status.st_mode))
        return Refuse(error, errorSize, "%s is a directory, not a firmware file", name);
    if (fromStdin) SetBinaryStdin();
    FILE* file = fromStdin ? stdin : std::fopen(path, "rb");
    if (!file) return Refuse(error, errorSize, "cannot open %s: %s", name, std::strerror(errno));
    size_t capacity = 0;
    bool ok = true;
    for (;;) {
        if (snapshot.size == capacity) {
            // One byte past the limit tells a file that is too large.
            capacity = capacity ? 2 * capacity : kFirstBlock;
            if (capacity > kMaxImageSize + 1) capacity = kMaxImageSize + 1;
            char* grown = static_cast<char*>(std::realloc(snapshot.bytes, capacity));
            if (!grown) {
                ok = Refuse(error, errorSize, "cannot read %s: %s", name, "not enough memory");
                break;
            }
            snapshot.bytes = grown;
        }
        size_t got = std::fread(snapshot.bytes + snapshot.size, 1, capacity - snapshot.size, file);
        snapshot.size += got;
        if (snapshot.size > kMaxImageSize) {
            ok = Refuse(error, errorSize, "%s is larger than %s: no firmware image is; nothing was read further", name,
                        "256 MiB");
            break;
        }
        if (got == 0) {
            if (std::ferror(file)) ok = Refuse(error, errorSize, "cannot read %s: %s", name, std::strerror(errno));
            break;
        }
    }
    if (!fromStdin) std::fclose(file);
    if (!ok) ReleaseSnapshot(snapshot);
    return ok;
}

void ReleaseSnapshot(FirmwareSnapshot& snapshot)
{
    std::free(snapshot.bytes);
    snapshot = {};
}

const CommandOption kImageOptions[2] = {{"base", 0, true}, {"record-size", 0, true}};

bool TakeImageOption(ImageOptions& image, int which, const char* value, char* error, size_t errorSize)
{
    char* end = nullptr;
    unsigned long long number = std::strtoull(value, &end, 0);
    bool digits = *value >= '0' && *value <= '9' && end != value && *end == '\0';
    if (which == 0) {
        image.hasBase = digits && number <= 0xFFFFFFFFull;
        image.base = uint32_t(number);
        if (image.hasBase) return true;
        std::snprintf(error, errorSize, "--base takes an address from 0 to 0xFFFFFFFF, not '%s'", value);
        return false;
    }
    image.recordSize = digits && number >= 1 && number <= kMaxRecordSize ? unsigned(number) : 0;
    if (image.recordSize) return true;
    std::snprintf(error, errorSize, "--record-size takes 1 to %u data bytes, not '%s'", kMaxRecordSize, value);
    return false;
}

namespace {

// Text that is neither S-records nor Intel HEX (or an empty file) still goes
// to the check and the worker as the Windows program would take it: their
// reasons, line by line, say more than a refusal would. Binary bytes do not.
bool LooksLikeText(const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = (unsigned char)bytes[i];
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1A) || c == 0x7F)
            return false;
    }
    return true;
}

// The file as S-records: its own text, or what it converts to.
bool ConvertToSRecords(const char* name, const ImageOptions& image, FirmwareSnapshot& firmware, char* error,
                       size_t errorSize)
{
    ImageFormat format = image.hasBase ? ImageFormat::Unknown : DetectImageFormat(firmware.bytes, firmware.size);
    if (format == ImageFormat::Unknown && !image.hasBase && LooksLikeText(firmware.bytes, firmware.size))
        format = ImageFormat::SRecord;
    if (format == ImageFormat::SRecord) {
        if (!image.recordSize) return true;
        return Refuse(error, errorSize, "%s is S-records already: --record-size is for Intel HEX and raw binary images",
                      name);
    }
    if (format == ImageFormat::Elf || (format == ImageFormat::Unknown && !image.hasBase))
        return Refuse(error, errorSize, "%s is %s", name, ImageFormatAdvice(format));
    ConversionOptions conversion;
    if (image.recordSize) conversion.recordSize = image.recordSize;
    conversion.maxTextSize = kMaxImageSize;
    std::string text;
    char why[240];
    bool ok = format == ImageFormat::IntelHex
                  ? ConvertIntelHex(firmware.bytes, firmware.size, conversion, text, why, sizeof why)
                  : ConvertBinary(firmware.bytes, firmware.size, image.base, conversion, text, why, sizeof why);
    if (!ok) return Refuse(error, errorSize, "%s: %s", name, why);
    char* bytes = static_cast<char*>(std::malloc(text.size() ? text.size() : 1));
    if (!bytes) return Refuse(error, errorSize, "cannot convert %s: %s", name, "not enough memory");
    std::memcpy(bytes, text.data(), text.size());
    std::free(firmware.bytes);
    firmware.bytes = bytes;
    firmware.size = text.size();
    firmware.converted = true;
    return true;
}

}  // namespace

bool LoadFirmware(const char* path, const ImageOptions& image, bool withDigest, FirmwareSnapshot& firmware,
                  char* error, size_t errorSize)
{
    if (!TakeSnapshot(path, firmware, error, errorSize)) return false;
    firmware.fileSha256[0] = '\0';
    if (withDigest) Sha256Hex(firmware.bytes, firmware.size, firmware.fileSha256);
    const char* name = std::strcmp(path, "-") == 0 ? "standard input" : path;
    if (ConvertToSRecords(name, image, firmware, error, errorSize)) return true;
    ReleaseSnapshot(firmware);
    return false;
}
