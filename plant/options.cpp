// The broker's address as the command line gives it; the same in every
// build, with or without the publisher.
#include <cstdlib>
#include <cstring>

#include "plant.h"

namespace {

bool TakeMqttUrl(const CommandOption& row, const char* value, char* error, size_t errorSize)
{
    PlantTarget target;
    Failure failure;
    if (!ParseMqttUrl(value, target, failure)) {
        std::snprintf(error, errorSize, "%s", failure.text);
        return false;
    }
    *static_cast<const char**>(row.field) = value;
    return true;
}

}  // namespace

CommandOption MqttUrlRow(PlantOptions& options) { return ValueRow(0, "mqtt", &options.url, TakeMqttUrl); }

bool ParseMqttUrl(const char* url, PlantTarget& target, Failure& failure)
{
    const char* rest = url;
    target.tls = StartsWithIgnoringCase(url, "mqtts://");
    if (target.tls) rest += 8;
    else if (StartsWithIgnoringCase(url, "mqtt://")) rest += 7;
    else return Fail(failure, "--mqtt takes mqtt://HOST[:PORT]/PREFIX (or mqtts://), not '%s'", url);
    size_t hostLength = std::strcspn(rest, ":/");
    target.port = target.tls ? 8883 : 1883;
    const char* slash = std::strchr(rest, '/');
    if (rest[hostLength] == ':') {
        char* end = nullptr;
        long port = std::strtol(rest + hostLength + 1, &end, 10);
        if (end != slash || port < 1 || port > 65535)
            return Fail(failure, "--mqtt: the port of '%s' is not a number from 1 to 65535", url);
        target.port = int(port);
    }
    if (!hostLength || hostLength >= sizeof target.host || !slash || !slash[1] ||
        std::strlen(slash + 1) >= sizeof target.prefix)
        return Fail(failure, "--mqtt: '%s' needs a host and a topic prefix: mqtt://HOST[:PORT]/PREFIX", url);
    if (std::strpbrk(slash + 1, "+#"))
        return Fail(failure, "--mqtt: the topic prefix of '%s' may not hold the wildcards + or #", url);
    std::memcpy(target.host, rest, hostLength);
    target.host[hostLength] = '\0';
    std::snprintf(target.prefix, sizeof target.prefix, "%s", slash + 1);
    size_t length = std::strlen(target.prefix);
    while (length && target.prefix[length - 1] == '/') target.prefix[--length] = '\0';
    if (!length) return Fail(failure, "--mqtt: '%s' needs a topic prefix after the host", url);
    return true;
}

bool MqttOptionsFit(const PlantOptions& options, const char* log, Failure& failure)
{
    if (!options.url && (options.caFile || options.user || options.passwordFile || options.name))
        return Fail(failure, "--mqtt-ca, --mqtt-user, --mqtt-password-file and --mqtt-name go with --mqtt");
    if (options.url && !log) return Fail(failure, "--mqtt publishes the log: give --log FILE.jsonl too");
    if (options.passwordFile && !options.user) return Fail(failure, "--mqtt-password-file goes with --mqtt-user");
    return true;
}
