// SHA-256 (FIPS 180-4), streamed: start, update with the bytes in any
// pieces, finish.
#pragma once

#include <cstddef>
#include <cstdint>

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
