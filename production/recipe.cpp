// The recipe file: read with toml++ (header-only, no exceptions: its
// parse_result carries the error), each key checked against the rows of
// kKeys for its table and type, each value for its range, with the line.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <toml++/toml.h>

#include "recipe.h"

namespace {

enum class KeyKind { Text, Whole, Number, TextList, Table };

const char* KindName(KeyKind kind)
{
    static const char* const kNames[] = {"a string", "an integer", "a number", "an array of strings", "a table"};
    return kNames[int(kind)];
}

// Every key a recipe may have: its table ("" for the top), its name, its kind.
struct KeyRow {
    const char* table;
    const char* key;
    KeyKind kind;
};

const KeyRow kKeys[] = {
    {"", "name", KeyKind::Text},
    {"", "image", KeyKind::Table},
    {"", "line", KeyKind::Table},
    {"", "station", KeyKind::Table},
    {"", "serial", KeyKind::Table},
    {"", "trace", KeyKind::Table},
    {"", "mqtt", KeyKind::Table},
    {"", "http", KeyKind::Table},
    {"image", "file", KeyKind::Text},
    {"image", "sha256", KeyKind::Text},
    {"image", "base", KeyKind::Whole},
    {"line", "baud", KeyKind::Whole},
    {"line", "mode", KeyKind::Text},
    {"line", "answer_timeout", KeyKind::Number},
    {"station", "slots", KeyKind::TextList},
    {"station", "retries", KeyKind::Whole},
    {"station", "boards", KeyKind::Whole},
    {"station", "log", KeyKind::Text},
    {"station", "next_board_line", KeyKind::Table},
    {"serial", "address", KeyKind::Whole},
    {"serial", "width", KeyKind::Whole},
    {"serial", "format", KeyKind::Text},
    {"serial", "first", KeyKind::Whole},
    {"serial", "last", KeyKind::Whole},
    {"serial", "state", KeyKind::Text},
    {"mqtt", "url", KeyKind::Text},
    {"mqtt", "name", KeyKind::Text},
    {"mqtt", "user", KeyKind::Text},
    {"mqtt", "password_file", KeyKind::Text},
    {"mqtt", "ca", KeyKind::Text},
    {"http", "listen", KeyKind::Text},
    {"http", "token_file", KeyKind::Text},
};

bool IsKind(const toml::node& node, KeyKind kind)
{
    switch (kind) {
    case KeyKind::Text: return node.is_string();
    case KeyKind::Whole: return node.is_integer();
    case KeyKind::Number: return node.is_integer() || node.is_floating_point();
    case KeyKind::Table: return node.is_table();
    case KeyKind::TextList: {
        const toml::array* list = node.as_array();
        if (!list) return false;
        for (const toml::node& item : *list)
            if (!item.is_string()) return false;
        return true;
    }
    }
    return false;
}

const char* TypeName(const toml::node& node)
{
    switch (node.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "a date or time";
    }
}

// What the parse is about: the recipe's name for reasons, its folder.
struct Reading {
    const char* path;
    std::string folder;  // with its separator; "" for the current folder
    Failure& failure;
};

unsigned LineOf(const toml::node& node) { return (unsigned)node.source().begin.line; }

std::string KeyName(const char* table, const std::string& key) { return table[0] ? table + ("." + key) : key; }

// A value out of its range: the line, the key and why.
bool Refuse(Reading& reading, const toml::node& node, const char* table, const char* key, const char* why)
{
    return Fail(reading.failure, "%s: line %u: %s %s", reading.path, LineOf(node), KeyName(table, key).c_str(), why);
}

// Every key of `table` is a row of kKeys for `tableName`, of the row's kind;
// [trace] takes any key whose value is a string.
bool CheckKeys(Reading& reading, const toml::table& table, const char* tableName)
{
    for (auto&& [key, node] : table) {
        std::string name(key.str());
        const KeyRow* row = nullptr;
        for (const KeyRow& candidate : kKeys)
            if (std::strcmp(candidate.table, tableName) == 0 && name == candidate.key) row = &candidate;
        // [trace] and a slot's line take keys of the user's own.
        bool trace = std::strcmp(tableName, "trace") == 0 || std::strcmp(tableName, "next_board_line") == 0;
        if (!row && !trace)
            return Fail(reading.failure, "%s: line %u: unknown key %s", reading.path, LineOf(node),
                        KeyName(tableName, name).c_str());
        KeyKind kind = row ? row->kind : KeyKind::Text;
        if (!IsKind(node, kind))
            return Fail(reading.failure, "%s: line %u: %s must be %s, not %s", reading.path, LineOf(node),
                        KeyName(tableName, name).c_str(), KindName(kind), TypeName(node));
        if (kind == KeyKind::Table && !CheckKeys(reading, *node.as_table(), name.c_str())) return false;
    }
    return true;
}

std::string Resolve(const Reading& reading, const std::string& path)
{
    bool absolute = !path.empty() && (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
    return absolute ? path : reading.folder + path;
}

// Text without control characters: it goes into the state file's lines.
bool IsPlainText(const std::string& text)
{
    for (unsigned char c : text)
        if (IsAsciiControl(c)) return false;
    return true;
}

bool ReadImage(Reading& reading, const toml::table& top, Recipe& recipe)
{
    const toml::node* image = top.get("image");
    if (!image) return Fail(reading.failure, "%s: no [image] table: which image does the station write?", reading.path);
    const toml::table& table = *image->as_table();
    const toml::node* file = table.get("file");
    const toml::node* sha256 = table.get("sha256");
    if (!file || !sha256)
        return Fail(reading.failure, "%s: line %u: [image] needs both file and sha256", reading.path,
                    LineOf(*image));
    recipe.imageFile = Resolve(reading, **file->as_string());
    const std::string& digest = **sha256->as_string();
    bool hex = digest.size() == 64;
    for (char c : digest) hex = hex && HexDigitValue(c) >= 0;
    if (!hex) return Refuse(reading, *sha256, "image", "sha256", "must be 64 hexadecimal digits");
    for (size_t i = 0; i < 64; ++i) recipe.imageSha256[i] = LowerAscii(digest[i]);
    recipe.imageSha256[64] = '\0';
    if (const toml::node* base = table.get("base")) {
        int64_t value = **base->as_integer();
        if (value < 0 || value > 0xFFFFFFFFll) return Refuse(reading, *base, "image", "base", "must be 0 to 0xFFFFFFFF");
        recipe.image.hasBase = true;
        recipe.image.base = uint32_t(value);
    }
    return true;
}

bool ReadLineSettings(Reading& reading, const toml::table& table, Recipe& recipe)
{
    if (const toml::node* baud = table.get("baud")) {
        int64_t value = **baud->as_integer();
        if (value <= 0 || value > 1000000 || BaudRateOf(SelectorOfBaud((unsigned long)value)) != (unsigned long)value)
            return Refuse(reading, *baud, "line", "baud", "must be 4800, 9600, 19200 or 38400");
        recipe.hasBaud = true;
        recipe.baud = (unsigned long)value;
    }
    if (const toml::node* mode = table.get("mode")) {
        static const char* const kModes[] = {"auto", "ack", "silent"};
        recipe.hasMode = false;
        for (int i = 0; i < 3; ++i)
            if (**mode->as_string() == kModes[i]) recipe.hasMode = true, recipe.mode = AnswerMode(i);
        if (!recipe.hasMode) return Refuse(reading, *mode, "line", "mode", "must be \"auto\", \"ack\" or \"silent\"");
    }
    if (const toml::node* timeout = table.get("answer_timeout")) {
        double seconds = timeout->value<double>().value_or(-1);
        if (!(seconds == 0 || (seconds >= 0.001 && seconds <= 86400)))
            return Refuse(reading, *timeout, "line", "answer_timeout", "must be 0 (for ever) or 0.001 to 86400 seconds");
        recipe.hasAnswerTimeout = true;
        recipe.answerTimeoutSeconds = seconds;
    }
    return true;
}

// Each a slot of the recipe's, with DSR, CTS or DCD.
bool ReadNextBoardLines(Reading& reading, const toml::table& lines, Recipe& recipe)
{
    for (auto&& [key, node] : lines) {
        SlotLine slot = {std::string(key.str()), ModemLine::Dsr};
        if (!ParseModemLine(node.as_string()->get().c_str(), slot.line))
            return Refuse(reading, node, "station.next_board_line", slot.slot.c_str(), "must be \"DSR\", \"CTS\" or \"DCD\"");
        if (std::find(recipe.slots.begin(), recipe.slots.end(), slot.slot) == recipe.slots.end())
            return Refuse(reading, node, "station.next_board_line", slot.slot.c_str(), "is not one of station.slots");
        recipe.nextBoardLines.push_back(slot);
    }
    return true;
}

bool ReadStation(Reading& reading, const toml::table& table, Recipe& recipe)
{
    if (const toml::node* slots = table.get("slots")) {
        for (const toml::node& slot : *slots->as_array()) recipe.slots.push_back(**slot.as_string());
        if (recipe.slots.size() > kMaxRecipeSlots)
            return Refuse(reading, *slots, "station", "slots", "names more than 32 ports");
    }
    if (const toml::node* retries = table.get("retries")) {
        int64_t value = **retries->as_integer();
        if (value < 0 || value > kMaxRetries) return Refuse(reading, *retries, "station", "retries", "must be 0 to 100");
        recipe.retries = unsigned(value);
    }
    if (const toml::node* boards = table.get("boards")) {
        int64_t value = **boards->as_integer();
        if (value < 1 || value > 0x7FFFFFFFll) return Refuse(reading, *boards, "station", "boards", "must be 1 or more");
        recipe.boards = (unsigned long)value;
    }
    if (const toml::node* log = table.get("log")) recipe.log = Resolve(reading, **log->as_string());
    const toml::node* lines = table.get("next_board_line");
    return !lines || ReadNextBoardLines(reading, *lines->as_table(), recipe);
}

// The largest number the width holds in the format (all of 64 bits beyond).
unsigned long long LargestSerial(SerialFormat format, unsigned width)
{
    unsigned long long largest = 0;
    unsigned long long base = format == SerialFormat::Decimal ? 10 : format == SerialFormat::Hex ? 16 : 256;
    for (unsigned i = 0; i < width; ++i) {
        if (largest > (~0ull - (base - 1)) / base) return ~0ull;
        largest = largest * base + (base - 1);
    }
    return largest;
}

bool ReadSerial(Reading& reading, const toml::node& node, Recipe& recipe)
{
    const toml::table& table = *node.as_table();
    static const char* const kNeeded[] = {"address", "width", "format", "first", "last", "state"};
    for (const char* key : kNeeded)
        if (!table.get(key))
            return Fail(reading.failure, "%s: line %u: [serial] needs %s", reading.path,
                        LineOf(node), key);
    SerialScheme& serial = recipe.serial;
    serial.present = true;
    const toml::node& address = *table.get("address");
    int64_t value = **address.as_integer();
    if (value < 0 || value > 0xFFFFFFFFll) return Refuse(reading, address, "serial", "address", "must be 0 to 0xFFFFFFFF");
    serial.address = uint32_t(value);
    const toml::node& width = *table.get("width");
    value = **width.as_integer();
    if (value < 1 || value > kMaxSerialWidth) return Refuse(reading, width, "serial", "width", "must be 1 to 16 bytes");
    serial.width = unsigned(value);
    if (serial.address + (unsigned long long)serial.width - 1 > 0xFFFFFFFFull)
        return Refuse(reading, width, "serial", "width", "runs past the address 0xFFFFFFFF");
    const toml::node& format = *table.get("format");
    static const char* const kFormats[] = {"be", "le", "dec", "hex"};
    int found = -1;
    for (int i = 0; i < 4; ++i)
        if (**format.as_string() == kFormats[i]) found = i;
    if (found < 0) return Refuse(reading, format, "serial", "format", "must be \"be\", \"le\", \"dec\" or \"hex\"");
    serial.format = SerialFormat(found);
    const toml::node& first = *table.get("first");
    const toml::node& last = *table.get("last");
    if (**first.as_integer() < 0) return Refuse(reading, first, "serial", "first", "must be 0 or more");
    serial.first = (unsigned long long)**first.as_integer();
    serial.last = (unsigned long long)**last.as_integer();
    if (**last.as_integer() < 0 || serial.first > serial.last)
        return Refuse(reading, last, "serial", "last", "is below serial.first: the block is empty");
    unsigned long long largest = LargestSerial(serial.format, serial.width);
    if (serial.last > largest) {
        char why[120];
        std::snprintf(why, sizeof why, "(%llu) does not fit in %u bytes of format \"%s\" (at most %llu)", serial.last,
                      serial.width, kFormats[found], largest);
        return Refuse(reading, last, "serial", "last", why);
    }
    serial.statePath = Resolve(reading, **table.get("state")->as_string());
    return true;
}

// The text of `key` in `table`, or "" where it is absent.
std::string TextOf(const toml::table& table, const char* key)
{
    const toml::node* node = table.get(key);
    return node ? std::string(**node->as_string()) : std::string();
}

// The broker's URL is checked for its scheme here; the station checks the
// rest of it as it does --mqtt's.
bool ReadMqtt(Reading& reading, const toml::node& node, Recipe& recipe)
{
    const toml::table& table = *node.as_table();
    const toml::node* url = table.get("url");
    if (!url) return Fail(reading.failure, "%s: line %u: [mqtt] needs url", reading.path, LineOf(node));
    RecipeMqtt& mqtt = recipe.mqtt;
    mqtt.url = **url->as_string();
    if (!StartsWithIgnoringCase(mqtt.url.c_str(), "mqtt://") && !StartsWithIgnoringCase(mqtt.url.c_str(), "mqtts://"))
        return Refuse(reading, *url, "mqtt", "url", "must be mqtt://HOST[:PORT]/PREFIX or mqtts://...");
    mqtt.name = TextOf(table, "name");
    mqtt.user = TextOf(table, "user");
    if (const toml::node* password = table.get("password_file")) {
        if (mqtt.user.empty()) return Refuse(reading, *password, "mqtt", "password_file", "goes with mqtt.user");
        mqtt.passwordFile = Resolve(reading, **password->as_string());
    }
    if (table.get("ca")) mqtt.caFile = Resolve(reading, TextOf(table, "ca"));
    return true;
}

bool ReadHttp(Reading& reading, const toml::node& node, Recipe& recipe)
{
    const toml::table& table = *node.as_table();
    recipe.http.listen = TextOf(table, "listen");
    if (recipe.http.listen.empty())
        return Fail(reading.failure, "%s: line %u: [http] needs listen ([ADDRESS:]PORT)", reading.path, LineOf(node));
    if (table.get("token_file")) recipe.http.tokenFile = Resolve(reading, TextOf(table, "token_file"));
    return true;
}

}  // namespace

bool ParseRecipe(const char* text, size_t size, const char* path, Recipe& recipe, Failure& failure)
{
    recipe = Recipe{};
    recipe.path = path;
    Reading reading = {path, "", failure};
    const char* slash = std::strrchr(path, '/');
    if (const char* backslash = std::strrchr(path, '\\')) slash = backslash > slash ? backslash : slash;
    if (slash) reading.folder.assign(path, size_t(slash - path) + 1);
    toml::parse_result parsed = toml::parse(std::string_view(text, size), std::string_view(path));
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        return Fail(failure, "%s: line %u: %.*s", path, (unsigned)error.source().begin.line,
                    int(error.description().size()), error.description().data());
    }
    const toml::table& top = parsed.table();
    if (!CheckKeys(reading, top, "")) return false;
    if (const toml::node* name = top.get("name")) recipe.name = **name->as_string();
    if (recipe.name.empty() || !IsPlainText(recipe.name))
        return Fail(failure, "%s: the recipe needs a name (one line of text): it is logged", path);
    if (!ReadImage(reading, top, recipe)) return false;
    if (const toml::node* line = top.get("line"); line && !ReadLineSettings(reading, *line->as_table(), recipe))
        return false;
    if (const toml::node* station = top.get("station"); station && !ReadStation(reading, *station->as_table(), recipe))
        return false;
    if (const toml::node* serial = top.get("serial")) {
        if (!ReadSerial(reading, *serial, recipe)) return false;
        if (recipe.log.empty())
            return Fail(failure, "%s: a recipe with [serial] needs station.log: the log proves which board got which number",
                        path);
    }
    if (const toml::node* trace = top.get("trace"))
        for (auto&& [key, value] : *trace->as_table()) recipe.trace.push_back({std::string(key.str()), **value.as_string()});
    if (const toml::node* mqtt = top.get("mqtt"); mqtt && !ReadMqtt(reading, *mqtt, recipe)) return false;
    if (const toml::node* http = top.get("http"); http && !ReadHttp(reading, *http, recipe)) return false;
    return true;
}

bool LoadRecipe(const char* path, Recipe& recipe, Failure& failure)
{
    FirmwareSnapshot file;
    if (!TakeSnapshot(path, file, failure)) return false;
    bool parsed = ParseRecipe(file.bytes, file.size, path, recipe, failure);
    Sha256Hex(file.bytes, file.size, recipe.sha256);
    ReleaseSnapshot(file);
    return parsed;
}

bool CheckRecipeImage(const Recipe& recipe, const FirmwareSnapshot& firmware, const FirmwareCheck& check,
                      Failure& failure)
{
    if (std::strcmp(firmware.fileSha256, recipe.imageSha256) != 0)
        return Fail(failure, "%s has the SHA-256 %s, but the recipe %s expects %s", recipe.imageFile.c_str(),
                    firmware.fileSha256, recipe.path.c_str(), recipe.imageSha256);
    const SerialScheme& serial = recipe.serial;
    if (!serial.present) return true;
    unsigned long long begin = serial.address, end = begin + serial.width;
    auto range = check.ranges.upper_bound(begin);
    if (range == check.ranges.begin() || (--range)->second < end)
        return Fail(failure, "%s: serial.address 0x%08llX and its %u bytes are not inside the image's data (a "
                    "reserved region the image already has)", recipe.path.c_str(), begin, serial.width);
    // The records a job sends hold them: not data after the termination record.
    BoardImage board;
    if (!PatchSerial(firmware, serial, serial.first, board, failure)) return false;
    return true;
}

bool PrepareRecipe(const char* path, Recipe& recipe, FirmwareSnapshot& firmware, FirmwareCheck& check,
                   Failure& failure)
{
    if (!LoadRecipe(path, recipe, failure) || !LoadFirmware(recipe.imageFile.c_str(), recipe.image, true, firmware, failure))
        return false;
    CheckFirmware(firmware, check);
    bool ok = check.problems == 0 || Fail(failure, "%s has problems (quorvane-cli check %s tells them)",
                                          recipe.imageFile.c_str(), recipe.imageFile.c_str());
    if (ok && CheckRecipeImage(recipe, firmware, check, failure)) return true;
    ReleaseSnapshot(firmware);
    return false;
}
