// SHA-256 as FIPS 180-4 describes it, one 64-byte block at a time.
#include "image.h"

#include <cstring>

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

uint32_t RotateRight(uint32_t value, int bits) { return (value >> bits) | (value << (32 - bits)); }

void HashBlock(uint32_t (&state)[8], const uint8_t* block)
{
    uint32_t schedule[64];
    for (int i = 0; i < 16; ++i) {
        schedule[i] = uint32_t(block[4 * i]) << 24 | uint32_t(block[4 * i + 1]) << 16 |
                      uint32_t(block[4 * i + 2]) << 8 | uint32_t(block[4 * i + 3]);
    }
    for (int i = 16; i < 64; ++i) {
        uint32_t w15 = schedule[i - 15], w2 = schedule[i - 2];
        uint32_t s0 = RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3);
        uint32_t s1 = RotateRight(w2, 17) ^ RotateRight(w2, 19) ^ (w2 >> 10);
        schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t s1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        uint32_t choice = (e & f) ^ (~e & g);
        uint32_t t1 = h + s1 + choice + kRoundConstants[i] + schedule[i];
        uint32_t s0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + s0 + majority;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

}  // namespace

void StartSha256(Sha256& hash)
{
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(hash.state, initial, sizeof initial);
    hash.length = 0;
}

void UpdateSha256(Sha256& hash, const void* bytes, size_t size)
{
    const uint8_t* in = static_cast<const uint8_t*>(bytes);
    size_t held = size_t(hash.length % 64);
    hash.length += size;
    if (held > 0) {
        size_t take = size < 64 - held ? size : 64 - held;
        std::memcpy(hash.block + held, in, take);
        in += take;
        size -= take;
        if (held + take < 64) return;
        HashBlock(hash.state, hash.block);
    }
    for (; size >= 64; in += 64, size -= 64) HashBlock(hash.state, in);
    std::memcpy(hash.block, in, size);
}

void FinishSha256(Sha256& hash, uint8_t (&digest)[32])
{
    // A 1 bit, zeros up to 8 bytes short of a block's end, the length in bits.
    uint64_t bits = hash.length * 8;
    uint8_t padding[72] = {0x80};
    size_t held = size_t(hash.length % 64);
    size_t zeros = (held < 56 ? 56 : 120) - held;
    for (int i = 0; i < 8; ++i) padding[zeros + size_t(i)] = uint8_t(bits >> (56 - 8 * i));
    UpdateSha256(hash, padding, zeros + 8);
    for (int i = 0; i < 32; ++i) digest[i] = uint8_t(hash.state[i / 4] >> (24 - 8 * (i % 4)));
}

void DigestHex(const uint8_t (&digest)[32], char (&hex)[65])
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0xF];
    }
    hex[64] = '\0';
}

void Sha256Hex(const void* bytes, size_t size, char (&hex)[65])
{
    Sha256 hash;
    StartSha256(hash);
    UpdateSha256(hash, bytes, size);
    uint8_t digest[32];
    FinishSha256(hash, digest);
    DigestHex(digest, hex);
}

namespace {

bool HashSent(void* hash, const uint8_t* bytes, size_t count)
{
    UpdateSha256(*static_cast<Sha256*>(hash), bytes, count);
    return true;
}

}  // namespace

void DigestOfSentBytes(const FirmwareSnapshot& firmware, char (&hex)[65])
{
    static WriteJob job;  // one at a time, on the main thread
    Sha256 hash;
    StartSha256(hash);
    RunWriteJobOverSink(job, firmware.bytes, firmware.size, HashSent, &hash);
    uint8_t digest[32];
    FinishSha256(hash, digest);
    DigestHex(digest, hex);
}
