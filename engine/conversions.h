// The small things every part of the system shares, each written once:
// hexadecimal digits, the C library's white space, ASCII letter case, text
// from outside as JSON, and the shape of a failure's reason. Portable: none
// of them depends on the user's locale or the char signedness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// A function that takes a printf format at FORMAT and its values from
// FIRST: the compiler checks each call as the C99 printf every build uses
// (MinGW's "printf" is Microsoft's, which lacks %zu; clang knows only "printf").
#if defined(__clang__)
#define QUORVANE_PRINTF(FORMAT, FIRST) __attribute__((format(printf, FORMAT, FIRST)))
#else
#define QUORVANE_PRINTF(FORMAT, FIRST) __attribute__((format(gnu_printf, FORMAT, FIRST)))
#endif

// Why an operation failed, for every function that returns false and a
// reason: what was attempted and why, as a sentence the front end shows as
// it is. Owned by the caller; written only on failure.
struct Failure {
    char text[320];
};

// Formats the reason into `failure` and returns false, so that a function
// can end with `return Fail(failure, ...)`.
bool Fail(Failure& failure, const char* format, ...) QUORVANE_PRINTF(2, 3);

// 0..15 for '0'..'9', 'a'..'f', 'A'..'F'; -1 for every other character.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// White space as scanf skips it in the "C" locale; nothing above 0x7F.
constexpr bool IsScanfSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// `text` begins with `prefix`, ASCII letters compared without case. A
// shorter text stops at its NUL, which matches no prefix character.
bool StartsWithIgnoringCase(const char* text, const char* prefix);

// The first `count` characters of both are equal without case (ASCII).
bool EqualIgnoringCase(const char* a, const char* b, size_t count);


// ---- text from outside --------------------------------------------------------

constexpr bool IsAsciiControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The length of the well-formed UTF-8 sequence at `text` (shortest form,
// no surrogates, at most U+10FFFF); 0 when the byte begins none.
size_t Utf8Length(const unsigned char* text);

// `text` as a JSON string, quotes included: control characters escaped,
// bytes that are not UTF-8 taken as Latin-1, so the JSON is always valid
// (the tools' events and the job log alike).
void PrintJsonString(FILE* out, const char* text);

// The same, appended to `out` (a line built whole before it is written).
void AppendJsonString(std::string& out, const char* text);
