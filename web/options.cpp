// Where the station's server listens: "[ADDRESS:]PORT", on loopback unless
// an address is given, and on another address only with a token.
#include <cstdlib>
#include <cstring>

#include "web.h"

namespace {

bool IsLoopback(const char* address)
{
    return std::strncmp(address, "127.", 4) == 0 || std::strcmp(address, "::1") == 0 ||
           std::strcmp(address, "localhost") == 0;
}

}  // namespace

bool CheckWebOptions(WebOptions& options, Failure& failure)
{
    if (!options.listen) return true;
    const char* text = options.listen;
    const char* colon = std::strrchr(text, ':');
    const char* port = colon ? colon + 1 : text;
    size_t length = colon ? size_t(colon - text) : 0;
    if (length >= 2 && text[0] == '[' && text[length - 1] == ']') {  // [::1]:8080
        ++text;
        length -= 2;
    }
    if (length >= sizeof options.address) return Fail(failure, "--http: the address %s is too long", options.listen);
    std::snprintf(options.address, sizeof options.address, "%.*s", int(length), text);
    if (!length) std::snprintf(options.address, sizeof options.address, "127.0.0.1");
    char* end = nullptr;
    long number = std::strtol(port, &end, 10);
    if (*port < '0' || *port > '9' || *end || number > 65535)
        return Fail(failure, "--http takes [ADDRESS:]PORT with a port from 0 (any free one) to 65535, not '%s'",
                    options.listen);
    options.port = int(number);
    if (options.token && !options.token[0]) return Fail(failure, "--http-token: the token is empty");
    if (!IsLoopback(options.address) && !options.token)
        return Fail(failure, "--http on %s, which other machines reach, needs --http-token TOKEN", options.address);
    return true;
}
