// A production recipe: one TOML file that pins what a station does (the
// image and its digest, the line settings, the slots, the serial-number
// scheme, retries, a quota, the log, free-form traceability fields, and
// the station's broker and page);
// the serial numbers it hands out, each exactly once, through a state file
// made durable before a job starts; and each board's own image, the
// snapshot with the number's bytes changed. Decides; never prints.
//
// Calling sequence:
//   Recipe recipe;  FirmwareSnapshot firmware;  FirmwareCheck check;  Failure failure;
//   LoadRecipe(path, recipe, failure)                      // or refused, with the line and key
//   LoadFirmware(recipe.imageFile, recipe.image, true, firmware, failure), CheckFirmware(firmware, check)
//   CheckRecipeImage(recipe, firmware, check, failure)     // digest, the number inside the image's data
//   SerialState state;  std::vector<unsigned long long> unknown;
//   OpenSerialState(recipe, state, unknown, failure)       // the numbers a crash left handed out: `unknown`
//   ... log each unknown number, then SaveSerialState: they are spent ...
//   per board:  HandOutSerial(state, number), SaveSerialState   // durable before the job starts
//               PatchSerial(firmware, recipe.serial, number, board, failure)
//               ... the job over board.bytes ...
//               SettleSerial(state, number, outcome), SaveSerialState
// Recipe, SerialState and BoardImage are plain values the caller owns;
// nothing here keeps a pointer into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image.h"
#include "port.h"

constexpr unsigned kMaxSerialWidth = 16;
constexpr unsigned kMaxRecipeSlots = 32;
constexpr unsigned kMaxRetries = 100;

enum class SerialFormat {
    BigEndian,     // "be": unsigned binary, most significant byte first
    LittleEndian,  // "le"
    Decimal,       // "dec": ASCII digits, zero-padded to the width
    Hex,           // "hex": ASCII upper-case hexadecimal digits, zero-padded
};

struct SerialScheme {
    bool present;                   // false: every board gets the same bytes
    uint32_t address;               // the first patched byte
    unsigned width;                 // bytes patched, 1..kMaxSerialWidth
    SerialFormat format;
    unsigned long long first, last; // this station's block, both ends included
    std::string statePath;          // resolved against the recipe's folder
};

// A slot whose port stays while boards are swapped behind it, and the modem
// line its fixture raises when the next board is in.
struct SlotLine {
    std::string slot;
    ModemLine line;
};

struct TraceField {
    std::string key, value;
};

// The station's MQTT broker, as station --mqtt and its options; "" where
// not given. The files are resolved against the recipe's folder.
struct RecipeMqtt {
    std::string url;                // mqtt://HOST[:PORT]/PREFIX or mqtts://...; "": no [mqtt]
    std::string name, user, passwordFile, caFile;
};

// The station's page, as station --http; the token is in a file of its own
// (its first line), so that the recipe itself can be shared.
struct RecipeHttp {
    std::string listen;             // "[ADDRESS:]PORT"; "": no [http]
    std::string tokenFile;          // resolved; "": no token
};

struct Recipe {
    std::string path;               // as given
    char sha256[65];                // of the recipe file's bytes
    std::string name;
    std::string imageFile;          // resolved against the recipe's folder
    char imageSha256[65];           // lower case
    ImageOptions image;             // base, as --base
    bool hasBaud, hasMode, hasAnswerTimeout;
    unsigned long baud;
    AnswerMode mode;
    double answerTimeoutSeconds;
    std::vector<std::string> slots; // as --port
    std::vector<SlotLine> nextBoardLines;  // [station.next_board_line], slots of `slots`
    unsigned retries;
    unsigned long boards;           // quota; 0: none
    std::string log;                // resolved; "" when not given
    SerialScheme serial;
    std::vector<TraceField> trace;  // in the file's order
    RecipeMqtt mqtt;                // station only
    RecipeHttp http;                // station only
};

// The recipe in `text`: every key known and of its type, every value in
// its range ("recipe.toml: line 7: unknown key serial.widht"). `path` names
// it in reasons and is the folder relative paths start from.
bool ParseRecipe(const char* text, size_t size, const char* path, Recipe& recipe, Failure& failure);

// Reads `path`, digests it and parses it.
bool LoadRecipe(const char* path, Recipe& recipe, Failure& failure);

// The image is the one the recipe names (its digest), and the serial
// number's bytes lie inside data the image already has, in records a job
// sends, for every number of the block.
bool CheckRecipeImage(const Recipe& recipe, const FirmwareSnapshot& firmware, const FirmwareCheck& check,
                      Failure& failure);

// LoadRecipe, then its image loaded (with its digest), checked without a
// problem, and CheckRecipeImage: all a command needs before its first job.
// The caller releases `firmware` on success.
bool PrepareRecipe(const char* path, Recipe& recipe, FirmwareSnapshot& firmware, FirmwareCheck& check,
                   Failure& failure);

// ---- the per-board image ---------------------------------------------------------

// The bytes `number` becomes at the scheme's address; false when it does
// not fit the width.
bool FormatSerial(const SerialScheme& scheme, unsigned long long number, uint8_t (&bytes)[kMaxSerialWidth],
                  Failure& failure);

struct BoardImage {
    std::string bytes;            // S-record text: the snapshot's, with the number's records changed
    unsigned long firstLine;      // the first line (from 1) whose record holds a byte of the number
};

// The snapshot's text with the data bytes of the records that hold the
// number changed, and their checksums made again; every other byte as it
// was, so the job's encoder makes the same frames but those.
bool PatchSerial(const FirmwareSnapshot& firmware, const SerialScheme& scheme, unsigned long long number,
                 BoardImage& board, Failure& failure);

// A snapshot that reads the board's bytes (owned by `board`), for the jobs.
FirmwareSnapshot SnapshotOfBoard(const BoardImage& board);

// ---- handing numbers out exactly once -----------------------------------------------

enum class SerialOutcome {
    Written,   // the board took the whole image
    Returned,  // the job ended before the record holding it was read: the next board gets it
    Spent,     // it may have gone out: never handed out again
    Unknown,   // it was handed out when the station stopped without an outcome: spent
};

// "written", "returned", "spent", "unknown".
const char* SerialOutcomeName(SerialOutcome outcome);

// The outcome of a job whose worker read up to `linesRead` (the job's
// `line`): returned only when it never reached the number's first line.
SerialOutcome OutcomeOfJob(bool written, unsigned long linesRead, unsigned long firstLine);

// What the state file keeps: which recipe and block it belongs to, the
// lowest number never handed out, the numbers given back (handed out again
// first, lowest first), the numbers out with no outcome yet, and the boards
// written under this recipe (the quota counts them across restarts).
struct SerialState {
    std::string recipeName;
    unsigned long long first, last;
    unsigned long long next;
    std::vector<unsigned long long> returned, out;
    unsigned long written;
};

// A fresh state for the recipe's block.
SerialState NewSerialState(const Recipe& recipe);

// The next number (returned ones first) into `number`, now out; false when
// the block is used up.
bool HandOutSerial(SerialState& state, unsigned long long& number);

// The number, out until now, ends as `outcome`.
void SettleSerial(SerialState& state, unsigned long long number, SerialOutcome outcome);

// The state file's text, and back; ParseSerialState refuses a corrupt file
// (with its line) and one of another recipe or block.
std::string SerialStateText(const SerialState& state);
bool ParseSerialState(const char* text, size_t size, const Recipe& recipe, SerialState& state, Failure& failure);

// A log's text shows serial numbers handed out under the recipe named `name`.
bool LogShowsSerials(const char* text, size_t size, const std::string& name);

// Reads the recipe's state file into `state` without changing it; where
// there is none (`fresh`), a new state, unless the log shows numbers handed
// out under this recipe.
bool ReadSerialState(const Recipe& recipe, SerialState& state, bool& fresh, Failure& failure);

// Reads the recipe's state file into `state`, or, where there is none and
// the log shows no number handed out under this recipe, starts a fresh one
// and saves it. Every number a stopped station left out is moved into
// `unknown` (and out of `state.out`): the caller logs each, then saves.
bool OpenSerialState(const Recipe& recipe, SerialState& state, std::vector<unsigned long long>& unknown,
                     Failure& failure);

// Writes the state through a new file beside it, flushed to the disk, then
// renamed over it: a crash leaves the old state or the new, never half.
bool SaveSerialState(const Recipe& recipe, const SerialState& state, Failure& failure);

// `text` written to `path` as SaveSerialState does (platform code).
bool ReplaceFileDurably(const char* path, const std::string& text, Failure& failure);
