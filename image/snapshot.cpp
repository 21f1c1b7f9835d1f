// The firmware read once into memory: every later look at it (the check,
// the frames, each port's job) sees exactly these bytes, whatever happens
// to the file meanwhile.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "image.h"

namespace {

constexpr size_t kFirstBlock = 1 << 20;

}  // namespace

bool TakeSnapshot(const char* path, FirmwareSnapshot& snapshot, Failure& failure)
{
    snapshot = {};
    bool fromStdin = std::strcmp(path, "-") == 0;
    const char* name = fromStdin ? "standard input" : path;
    if (!fromStdin && IsFolder(path)) return Fail(failure, "%s is a directory, not a firmware file", name);
    FILE* file = fromStdin ? stdin : OpenNamedFile(path, "rb");
    if (!file) return Fail(failure, "cannot open %s: %s", name, std::strerror(errno));
    // A regular file is read into one block of its own size (and a byte to
    // see its end): no copies as the block grows, no slack.
    size_t capacity = 0, known = RegularFileSize(file);
    bool ok = true;
    for (;;) {
        if (snapshot.size == capacity) {
            // One byte past the limit tells a file that is too large.
            capacity = capacity ? 2 * capacity : known >= kFirstBlock ? known + 1 : kFirstBlock;
            if (capacity > kMaxImageSize + 1) capacity = kMaxImageSize + 1;
            char* grown = static_cast<char*>(std::realloc(snapshot.bytes, capacity));
            if (!grown) {
                ok = Fail(failure, "cannot read %s: %s", name, "not enough memory");
                break;
            }
            snapshot.bytes = grown;
            AdviseLargePages(grown, capacity);
        }
        size_t got = std::fread(snapshot.bytes + snapshot.size, 1, capacity - snapshot.size, file);
        snapshot.size += got;
        if (snapshot.size > kMaxImageSize) {
            ok = Fail(failure, "%s is larger than %s: no firmware image is; nothing was read further", name,
                        "256 MiB");
            break;
        }
        if (got == 0) {
            if (std::ferror(file)) ok = Fail(failure, "cannot read %s: %s", name, std::strerror(errno));
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
bool ConvertToSRecords(const char* name, const ImageOptions& image, FirmwareSnapshot& firmware, Failure& failure)
{
    const ImageFormatRow* format = image.hasBase ? &ImageFormatOf(ImageFormat::Unknown)
                                                 : &DetectImageFormat(firmware.bytes, firmware.size);
    if (format->kind == ImageFormat::Unknown && !image.hasBase && LooksLikeText(firmware.bytes, firmware.size))
        format = &ImageFormatOf(ImageFormat::SRecord);
    if (format->kind == ImageFormat::SRecord) {
        if (!image.recordSize) return true;
        return Fail(failure, "%s is S-records already: --record-size is for Intel HEX and raw binary images", name);
    }
    if (!format->convert || (format->kind == ImageFormat::Unknown && !image.hasBase))
        return Fail(failure, "%s is %s", name, format->advice);
    ConversionOptions conversion;
    if (image.recordSize) conversion.recordSize = image.recordSize;
    conversion.maxTextSize = kMaxImageSize;
    conversion.base = image.base;
    std::string text;
    Failure why;
    if (!format->convert(firmware.bytes, firmware.size, conversion, text, why))
        return Fail(failure, "%s: %.240s", name, why.text);
    char* bytes = static_cast<char*>(std::malloc(text.size() ? text.size() : 1));
    if (!bytes) return Fail(failure, "cannot convert %s: %s", name, "not enough memory");
    std::memcpy(bytes, text.data(), text.size());
    std::free(firmware.bytes);
    firmware.bytes = bytes;
    firmware.size = text.size();
    firmware.converted = true;
    return true;
}

}  // namespace

bool LoadFirmware(const char* path, const ImageOptions& image, bool withDigest, FirmwareSnapshot& firmware,
                  Failure& failure)
{
    if (!TakeSnapshot(path, firmware, failure)) return false;
    firmware.fileSha256[0] = '\0';
    if (withDigest) Sha256Hex(firmware.bytes, firmware.size, firmware.fileSha256);
    const char* name = std::strcmp(path, "-") == 0 ? "standard input" : path;
    if (ConvertToSRecords(name, image, firmware, failure)) return true;
    ReleaseSnapshot(firmware);
    return false;
}
