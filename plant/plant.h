// The plant: every job's record, as the station appended it to its log, on
// an MQTT broker that the plant's other systems read, and the station's
// status beside it. The log itself is the spool: a record is read from the
// log, published at QoS 1 and counted as sent only when the broker has
// acknowledged it (PUBACK); how far that is stays in a small state file
// beside the log (LOG.acked, written durably), so that a broker that is
// away, or a station that restarts, loses nothing: the records not yet
// acknowledged go first when the broker is back.
//
// Each record goes to PREFIX/STATION/jobs as
//   {"id":{"station":"STATION","seq":N},"record":<the log's line N as written>}
// (N counts the log's lines from 1), so that a consumer drops the
// duplicates QoS 1 may deliver by their id. The status goes to
// PREFIX/STATION/status, retained: online with the image and the tally,
// offline when the station ends, and offline by the broker (the last will)
// when the station dies.
//
// Calling sequence (the station):
//   PlantOptions options;                          // bound to MqttUrlRow and TextRows
//   PlantPublisher publisher;
//   if (!StartPublisher(publisher, options, logPath, &image, failure)) ... exit 2, no board taken
//   ... SetPublishedStation(publisher, station) at each turn of the station ...
//   StopPublisher(publisher, seconds)              // drains what it can, offline, disconnected
// `log replay` is the same with no image (no status, no will), then
// WaitUntilAcknowledged before StopPublisher.
//
// StartPublisher fills every field; after it, the publisher's own threads
// (the library's network thread and the feeder that reads the log) own the
// fields below `lock`, read and written only under it. The caller touches
// the publisher only through these functions.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "cmdline.h"
#include "production.h"

struct mosquitto;

// What the command line says of the broker; the texts are argv's.
struct PlantOptions {
    const char* url = nullptr;           // mqtt://HOST[:PORT]/PREFIX or mqtts://...; null: no broker
    const char* caFile = nullptr;        // TLS, the broker's certificate checked against this CA
    const char* user = nullptr;
    const char* passwordFile = nullptr;  // its first line is the password
    const char* name = nullptr;          // the station's name in topics and ids; default: the log's
};

// --mqtt URL, its form checked as it is given.
CommandOption MqttUrlRow(PlantOptions& options);

// The options go together: the others only with a URL, and a URL only with
// a log to publish. False, with the reason, otherwise.
bool MqttOptionsFit(const PlantOptions& options, const char* log, Failure& failure);

// The broker's address, from the URL.
struct PlantTarget {
    char host[256];
    int port;          // 1883 (8883 with TLS) unless given
    char prefix[256];  // the topics' first levels, without a trailing '/'
    bool tls;          // mqtts://, or a CA file given
};

// False, with the reason, for a URL that is not mqtt[s]://HOST[:PORT]/PREFIX.
bool ParseMqttUrl(const char* url, PlantTarget& target, Failure& failure);

// The image a station writes, for its status.
struct PlantImage {
    const char* file;
    const char* sha256;
    const char* recipe;  // the recipe's name, or null
};

constexpr int kPlantWindow = 64;  // records published and not yet acknowledged, at most

struct PlantRecord {
    int messageId;         // the library's, for its PUBACK
    unsigned long seq;     // the log's line number
    long long begin, end;  // its first byte in the log, and the byte after its line feed
    bool acknowledged;
};

struct PlantPublisher {
    // Set by StartPublisher, read only after it.
    PlantTarget target;
    char station[64];
    char jobsTopic[400], statusTopic[400];
    char logPath[1024], statePath[1040];
    char host[128];
    PlantImage image;  // file null: a replay, with no status and no will
    mosquitto* client;
    std::thread feeder;

    std::mutex lock;
    std::condition_variable changed;
    bool connected;            // the broker has taken our CONNECT
    bool resend;               // connected again: what is in flight goes out again
    bool stopping;
    std::chrono::steady_clock::time_point stopBy;  // while stopping: how long the records in flight are waited for
    bool wake;                 // something for the feeder to look at
    int refused;               // the broker's CONNACK code when it refused us; 0 otherwise
    StationTally tally;
    std::string slots;         // the slots as JSON: name, state, board_serial
    bool statusDue;
    std::vector<int> acknowledgedIds;  // PUBACKs the feeder has not matched to records yet
    unsigned long acknowledgedAtStart;
    unsigned long acknowledged;  // the log's lines 1..acknowledged are the broker's
    long long acknowledgedEnd;   // the byte after the last of them
    PlantRecord window[kPlantWindow];  // in flight, oldest first
    int inFlight;
    unsigned long read;        // lines read from the log (acknowledged or in flight)
    long long readEnd;
    bool atEnd;                // the last look found no whole line after readEnd
    Failure stateFailure;      // the last state file that could not be written ("" if none)
};

// Connects (the password and the CA are checked here: a refusal is a
// failure) and starts publishing the log's records not yet acknowledged,
// then each line appended to it. A broker that cannot be reached now is no
// failure: `note` says so and the publisher keeps trying. `image` null: a
// replay.
bool StartPublisher(PlantPublisher& publisher, const PlantOptions& options, const char* logPath,
                    const PlantImage* image, char (&note)[400], Failure& failure);

// The tally and the slots for the next status message, where they changed.
void SetPublishedStation(PlantPublisher& publisher, const Station& station);

// Waits until every line the log holds now is acknowledged (true), or until
// `*stop` (false). `counts`: records acknowledged before and by this run.
bool WaitUntilAcknowledged(PlantPublisher& publisher, const std::atomic<bool>* stop, unsigned long (&counts)[2]);

// Gives the records in flight up to `seconds` to be acknowledged (none when
// the broker is away), says offline, disconnects; the state is saved. False
// with the reason when the state file could not be written.
bool StopPublisher(PlantPublisher& publisher, double seconds, Failure& failure);

// `text` as the whole of `path`, durably: written beside it, flushed to
// the disk, renamed over it; a crash leaves the old file or the new one.
bool ReplaceFileDurably(const char* path, const char* text, Failure& failure);
