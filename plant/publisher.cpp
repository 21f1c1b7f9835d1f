// The publisher over the Eclipse Mosquitto client library: its network
// thread (mosquitto_loop_start) connects, reconnects with back-off and
// takes the broker's acknowledgements; the feeder thread reads the log from
// the first record not yet acknowledged, publishes at most kPlantWindow
// records ahead of the broker, and saves how far it has acknowledged. The
// station's thread only starts, tells the tally and stops: a broker that is
// away never holds it up.
//
// libmosquitto is opened when the first publisher starts, not with the
// program: it brings OpenSSL, whose loading and start-up would cost every
// command (check, frames, write) some 4 MiB and 3,000 allocations.
#include <dlfcn.h>
#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "plant.h"

namespace {

using Clock = std::chrono::steady_clock;

// The library's calls this publisher makes, by their own names.
#define QUORVANE_MOSQUITTO_CALLS(call)                                                                          \
    call(mosquitto_lib_init) call(mosquitto_lib_cleanup) call(mosquitto_new) call(mosquitto_destroy)            \
    call(mosquitto_int_option) call(mosquitto_reconnect_delay_set) call(mosquitto_connect_callback_set)         \
    call(mosquitto_disconnect_callback_set) call(mosquitto_publish_callback_set) call(mosquitto_username_pw_set) \
    call(mosquitto_tls_set) call(mosquitto_will_set) call(mosquitto_connect) call(mosquitto_disconnect)         \
    call(mosquitto_loop) call(mosquitto_loop_start) call(mosquitto_loop_stop) call(mosquitto_publish)           \
    call(mosquitto_strerror) call(mosquitto_connack_string)

struct Mosquitto {
#define QUORVANE_DECLARE(name) decltype(&::name) name;
    QUORVANE_MOSQUITTO_CALLS(QUORVANE_DECLARE)
#undef QUORVANE_DECLARE
};

Mosquitto theMosquitto;  // filled once, kept for the life of the process

bool OpenMosquitto(Failure& failure)
{
    static std::mutex opening;
    static bool opened = false;
    std::lock_guard<std::mutex> once(opening);
    if (opened) return true;
    const char* library = "libmosquitto.so.1";
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return Fail(failure, "cannot load the MQTT client library %s (Debian's libmosquitto1): %s", library, dlerror());
#define QUORVANE_FIND(name)                                                                               \
    theMosquitto.name = reinterpret_cast<decltype(theMosquitto.name)>(dlsym(handle, #name));              \
    if (!theMosquitto.name) return Fail(failure, "the MQTT client library %s has no %s", library, #name);
    QUORVANE_MOSQUITTO_CALLS(QUORVANE_FIND)
#undef QUORVANE_FIND
    opened = true;
    return true;
}

// The retained status: online with the tally, or offline (the last will
// has no tally: it is fixed when the station connects).
std::string StatusText(const PlantPublisher& publisher, const char* state, const StationTally* tally)
{
    std::string json = "{\"station\":\"" + std::string(publisher.station) + "\",\"state\":\"" + state + "\",\"host\":";
    AppendJsonString(json, publisher.host);
    json += ",\"image\":";
    AppendJsonString(json, publisher.image.file);
    json += ",\"sha256\":\"" + std::string(publisher.image.sha256) + "\",\"recipe\":";
    if (publisher.image.recipe) AppendJsonString(json, publisher.image.recipe);
    else json += "null";
    if (tally) {
        char counts[160];
        std::snprintf(counts, sizeof counts, ",\"tally\":{\"written\":%lu,\"failed\":%lu,\"aborted\":%lu}",
                      tally->written, tally->failed, tally->aborted);
        json += counts;
        json += ",\"slots\":" + (publisher.slots.empty() ? std::string("[]") : publisher.slots);
    }
    return json + "}";
}

std::string SlotsText(const Station& station)
{
    std::string json = "[";
    for (int i = 0; i < station.slotCount; ++i) {
        const StationSlot& slot = station.slots[i];
        json += i ? ",{\"name\":" : "{\"name\":";
        AppendJsonString(json, slot.name);
        json += ",\"state\":\"" + std::string(SlotState(slot)) + "\",\"board_serial\":";
        json += (slot.hasSerial ? std::to_string(slot.serial) : "null") + "}";
    }
    return json + "]";
}

void Wake(PlantPublisher& publisher)
{
    publisher.wake = true;
    publisher.changed.notify_all();
}

void OnConnect(mosquitto*, void* context, int code)
{
    PlantPublisher& publisher = *static_cast<PlantPublisher*>(context);
    std::lock_guard<std::mutex> hold(publisher.lock);
    publisher.connected = code == 0;
    publisher.resend = publisher.statusDue = code == 0;  // a broker that restarted may have lost both
    publisher.refused = code;
    Wake(publisher);
}

void OnDisconnect(mosquitto*, void* context, int)
{
    PlantPublisher& publisher = *static_cast<PlantPublisher*>(context);
    std::lock_guard<std::mutex> hold(publisher.lock);
    publisher.connected = false;
    Wake(publisher);
}

// Only noted here: the feeder matches it to its record, which it may not
// have stored yet when a quick PUBACK comes.
void OnPublish(mosquitto*, void* context, int messageId)
{
    PlantPublisher& publisher = *static_cast<PlantPublisher*>(context);
    std::lock_guard<std::mutex> hold(publisher.lock);
    publisher.acknowledgedIds.push_back(messageId);
    Wake(publisher);
}

// The whole line at `offset`, without its line feed; false when the log
// holds no whole line there (yet).
bool ReadLine(FILE* log, long long offset, std::string& line)
{
    line.clear();
    std::clearerr(log);
    if (std::fseek(log, long(offset), SEEK_SET) != 0) return false;
    for (int c; (c = std::getc(log)) != EOF;) {
        if (c == '\n') return true;
        line += char(c);
    }
    return false;
}

bool SaveState(PlantPublisher& publisher, unsigned long acknowledged, long long end, Failure& failure)
{
    char text[96];
    std::snprintf(text, sizeof text, "{\"acknowledged\":%lu,\"end\":%lld}\n", acknowledged, end);
    return ReplaceFileDurably(publisher.statePath, text, failure);
}

// How far the broker has acknowledged, from the state file; from the start
// when there is none, or when it does not fit the log (one begun anew).
void LoadState(PlantPublisher& publisher, FILE* log)
{
    publisher.acknowledged = 0;
    publisher.acknowledgedEnd = 0;
    FILE* state = OpenNamedFile(publisher.statePath, "rb");
    if (!state) return;
    unsigned long acknowledged = 0;
    long long end = 0;
    bool read = std::fscanf(state, "{\"acknowledged\":%lu,\"end\":%lld}", &acknowledged, &end) == 2;
    std::fclose(state);
    if (!read || end < 1 || std::fseek(log, long(end - 1), SEEK_SET) != 0 || std::getc(log) != '\n') return;
    publisher.acknowledged = acknowledged;
    publisher.acknowledgedEnd = end;
}

// Under the lock: the acknowledgements taken, the window's acknowledged
// head let go; the state saved (unlocked) when it moved.
void TakeAcknowledgements(PlantPublisher& publisher, std::unique_lock<std::mutex>& hold)
{
    for (int messageId : publisher.acknowledgedIds)
        for (int i = 0; i < publisher.inFlight; ++i)
            if (publisher.window[i].messageId == messageId) publisher.window[i].acknowledged = true;
    publisher.acknowledgedIds.clear();
    int done = 0;
    while (done < publisher.inFlight && publisher.window[done].acknowledged) ++done;
    if (!done) return;
    publisher.acknowledged = publisher.window[done - 1].seq;
    publisher.acknowledgedEnd = publisher.window[done - 1].end;
    publisher.inFlight -= done;
    std::memmove(publisher.window, publisher.window + done, publisher.inFlight * sizeof publisher.window[0]);
    unsigned long acknowledged = publisher.acknowledged;
    long long end = publisher.acknowledgedEnd;
    hold.unlock();
    Failure failure;
    bool saved = SaveState(publisher, acknowledged, end, failure);
    hold.lock();
    if (!saved) publisher.stateFailure = failure;
}

std::string Envelope(const PlantPublisher& publisher, unsigned long seq, const std::string& line)
{
    return "{\"id\":{\"station\":\"" + std::string(publisher.station) + "\",\"seq\":" + std::to_string(seq) +
           "},\"record\":" + line + "}";
}

// Publishes (unlocked) and returns the message id, or 0 when the library
// did not take it.
int Publish(PlantPublisher& publisher, std::unique_lock<std::mutex>& hold, const char* topic, const std::string& text,
            bool retain)
{
    hold.unlock();
    int messageId = 0;
    int code = theMosquitto.mosquitto_publish(publisher.client, &messageId, topic, int(text.size()), text.data(), 1,
                                              retain);
    hold.lock();
    return code == MOSQ_ERR_SUCCESS ? messageId : 0;
}

void Feed(PlantPublisher* publisherPointer)
{
    PlantPublisher& publisher = *publisherPointer;
    FILE* log = OpenNamedFile(publisher.logPath, "rb");
    std::string line;
    std::unique_lock<std::mutex> hold(publisher.lock);
    while (log) {
        TakeAcknowledgements(publisher, hold);
        if (publisher.connected && publisher.resend) {
            publisher.resend = false;
            for (int i = 0; i < publisher.inFlight; ++i) {
                PlantRecord& record = publisher.window[i];
                if (ReadLine(log, record.begin, line))
                    record.messageId =
                        Publish(publisher, hold, publisher.jobsTopic, Envelope(publisher, record.seq, line), false);
            }
        }
        if (publisher.connected && publisher.statusDue && publisher.image.file) {
            publisher.statusDue = false;
            StationTally tally = publisher.tally;
            Publish(publisher, hold, publisher.statusTopic, StatusText(publisher, "online", &tally), true);
        }
        while (publisher.connected && publisher.inFlight < kPlantWindow) {
            publisher.atEnd = !ReadLine(log, publisher.readEnd, line);
            if (publisher.atEnd) break;
            unsigned long seq = publisher.read + 1;
            int messageId = Publish(publisher, hold, publisher.jobsTopic, Envelope(publisher, seq, line), false);
            if (!messageId) break;  // not taken: read again next time
            long long end = publisher.readEnd + (long long)line.size() + 1;
            publisher.window[publisher.inFlight++] = {messageId, seq, publisher.readEnd, end, false};
            publisher.read = seq;
            publisher.readEnd = end;
        }
        bool drained = publisher.inFlight == 0 && publisher.atEnd;  // looked at after the last read
        if (publisher.stopping && (!publisher.connected || drained || Clock::now() >= publisher.stopBy)) break;
        publisher.changed.wait_for(hold, std::chrono::milliseconds(100), [&] { return publisher.wake; });
        publisher.wake = false;
    }
    hold.unlock();
    if (log) std::fclose(log);
}

// The station's name: given, or the log's file name without its extension.
bool TakeStationName(PlantPublisher& publisher, const PlantOptions& options, const char* logPath, Failure& failure)
{
    const char* name = options.name;
    if (!name) {
        const char* base = logPath;
        for (const char* at = logPath; *at; ++at)
            if (*at == '/' || *at == '\\') base = at + 1;
        size_t length = std::strcspn(base, ".");
        std::snprintf(publisher.station, sizeof publisher.station, "%.*s", int(length), base);
    } else {
        std::snprintf(publisher.station, sizeof publisher.station, "%s", name);
    }
    bool good = publisher.station[0] && std::strlen(publisher.station) < sizeof publisher.station - 1;
    for (const char* at = publisher.station; *at; ++at)
        good &= (*at >= 'a' && *at <= 'z') || (*at >= 'A' && *at <= 'Z') || (*at >= '0' && *at <= '9') ||
                *at == '-' || *at == '_' || *at == '.';
    if (good) return true;
    return Fail(failure, "the station's name '%s' (--mqtt-name, or the log's file name) may hold only letters, digits, "
                "'-', '_' and '.'", publisher.station);
}

bool ReadPassword(const char* path, char (&password)[256], Failure& failure)
{
    FILE* file = OpenNamedFile(path, "rb");
    if (!file) return Fail(failure, "cannot read the password file %s: %s", path, std::strerror(errno));
    if (!std::fgets(password, sizeof password, file)) password[0] = '\0';
    std::fclose(file);
    password[std::strcspn(password, "\r\n")] = '\0';
    return true;
}

// Connects and waits for the broker's CONNACK (bounded); false with the
// reason for what a user must put right: a password or CA the broker does
// not take. One that cannot be reached now is only a note.
bool Connect(PlantPublisher& publisher, const PlantOptions& options, char (&note)[400], Failure& failure)
{
    const PlantTarget& target = publisher.target;
    int code = theMosquitto.mosquitto_connect(publisher.client, target.host, target.port, 30);
    if (code == MOSQ_ERR_TLS)
        return Fail(failure, "TLS with the broker at %s:%d failed: its certificate does not check out against %s",
                    target.host, target.port, options.caFile ? options.caFile : "the system's CAs");
    const char* why = code == MOSQ_ERR_ERRNO ? std::strerror(errno) : theMosquitto.mosquitto_strerror(code);
    for (Clock::time_point until = Clock::now() + std::chrono::seconds(10); code == MOSQ_ERR_SUCCESS;) {
        code = theMosquitto.mosquitto_loop(publisher.client, 100, 1);
        std::lock_guard<std::mutex> hold(publisher.lock);
        if (publisher.refused)
            return Fail(failure, "the broker at %s:%d refused the connection: %s", target.host, target.port,
                        theMosquitto.mosquitto_connack_string(publisher.refused));
        if (publisher.connected || Clock::now() >= until) break;
        if (code == MOSQ_ERR_TLS)
            return Fail(failure, "TLS with the broker at %s:%d failed", target.host, target.port);
        if (code != MOSQ_ERR_SUCCESS)
            why = code == MOSQ_ERR_ERRNO ? std::strerror(errno) : theMosquitto.mosquitto_strerror(code);
    }
    std::lock_guard<std::mutex> hold(publisher.lock);
    if (publisher.connected)
        std::snprintf(note, sizeof note, "publishing to %.200s:%d on %.170s", target.host, target.port, publisher.jobsTopic);
    else
        std::snprintf(note, sizeof note, "the broker at %.200s:%d cannot be reached now (%.100s); the records wait in the log",
                      target.host, target.port, why);
    return true;
}

}  // namespace

bool StartPublisher(PlantPublisher& publisher, const PlantOptions& options, const char* logPath,
                    const PlantImage* image, char (&note)[400], Failure& failure)
{
    publisher.client = nullptr;
    publisher.connected = publisher.resend = publisher.stopping = publisher.statusDue = publisher.wake = false;
    publisher.refused = 0;
    publisher.tally = {0, 0, 0};
    publisher.inFlight = 0;
    publisher.atEnd = false;
    publisher.stateFailure.text[0] = '\0';
    publisher.image = image ? *image : PlantImage{nullptr, nullptr, nullptr};
    publisher.slots.clear();
    HostName(publisher.host, sizeof publisher.host);
    char password[256] = "";
    if (!ParseMqttUrl(options.url, publisher.target, failure) || !TakeStationName(publisher, options, logPath, failure) ||
        (options.passwordFile && !ReadPassword(options.passwordFile, password, failure)))
        return false;
    publisher.target.tls |= options.caFile != nullptr;
    std::snprintf(publisher.jobsTopic, sizeof publisher.jobsTopic, "%s/%s/jobs", publisher.target.prefix, publisher.station);
    std::snprintf(publisher.statusTopic, sizeof publisher.statusTopic, "%s/%s/status", publisher.target.prefix,
                  publisher.station);
    std::snprintf(publisher.logPath, sizeof publisher.logPath, "%s", logPath);
    std::snprintf(publisher.statePath, sizeof publisher.statePath, "%s.acked", logPath);
    FILE* log = OpenNamedFile(logPath, "rb");
    if (!log) return Fail(failure, "cannot read the log %s: %s", logPath, std::strerror(errno));
    LoadState(publisher, log);
    std::fclose(log);
    publisher.acknowledgedAtStart = publisher.read = publisher.acknowledged;
    publisher.readEnd = publisher.acknowledgedEnd;

    if (!OpenMosquitto(failure)) return false;
    theMosquitto.mosquitto_lib_init();
    char clientId[96];
    std::snprintf(clientId, sizeof clientId, "quorvane-%s%s", image ? "" : "replay-", publisher.station);
    publisher.client = theMosquitto.mosquitto_new(clientId, true, &publisher);
    mosquitto* client = publisher.client;
    if (!client) {
        theMosquitto.mosquitto_lib_cleanup();
        return Fail(failure, "cannot set up an MQTT client: %s", std::strerror(errno));
    }
    theMosquitto.mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    theMosquitto.mosquitto_reconnect_delay_set(client, 1, 10, true);
    theMosquitto.mosquitto_connect_callback_set(client, OnConnect);
    theMosquitto.mosquitto_disconnect_callback_set(client, OnDisconnect);
    theMosquitto.mosquitto_publish_callback_set(client, OnPublish);
    bool ready = true;
    if (options.user)
        ready = theMosquitto.mosquitto_username_pw_set(client, options.user, password) == MOSQ_ERR_SUCCESS;
    if (ready && publisher.target.tls &&
        theMosquitto.mosquitto_tls_set(client, options.caFile, options.caFile ? nullptr : "/etc/ssl/certs", nullptr,
                                       nullptr, nullptr) != MOSQ_ERR_SUCCESS) {
        Fail(failure, "cannot use the CA file %s", options.caFile ? options.caFile : "/etc/ssl/certs");
        ready = false;
    } else if (!ready) {
        Fail(failure, "the MQTT user name is not valid UTF-8");
    }
    if (ready && image) {
        std::string will = StatusText(publisher, "offline", nullptr);
        theMosquitto.mosquitto_will_set(client, publisher.statusTopic, int(will.size()), will.data(), 1, true);
    }
    if (!ready || !Connect(publisher, options, note, failure)) {
        theMosquitto.mosquitto_destroy(client);
        theMosquitto.mosquitto_lib_cleanup();
        publisher.client = nullptr;
        return false;
    }
    theMosquitto.mosquitto_loop_start(client);
    publisher.feeder = std::thread(Feed, &publisher);
    return true;
}

void SetPublishedStation(PlantPublisher& publisher, const Station& station)
{
    if (!publisher.client) return;
    std::string slots = SlotsText(station);
    std::lock_guard<std::mutex> hold(publisher.lock);
    if (std::memcmp(&station.tally, &publisher.tally, sizeof station.tally) == 0 && slots == publisher.slots) return;
    publisher.tally = station.tally;
    publisher.slots = slots;
    publisher.statusDue = true;
    Wake(publisher);
}

bool WaitUntilAcknowledged(PlantPublisher& publisher, const std::atomic<bool>* stop, unsigned long (&counts)[2])
{
    long long target = 0;
    if (FILE* log = OpenNamedFile(publisher.logPath, "rb")) {
        std::string line;
        while (ReadLine(log, target, line)) target += (long long)line.size() + 1;
        std::fclose(log);
    }
    std::unique_lock<std::mutex> hold(publisher.lock);
    while (publisher.acknowledgedEnd < target && !stop->load())
        publisher.changed.wait_for(hold, std::chrono::milliseconds(100));
    counts[0] = publisher.acknowledgedAtStart;
    counts[1] = publisher.acknowledged - publisher.acknowledgedAtStart;
    return publisher.acknowledgedEnd >= target;
}

bool StopPublisher(PlantPublisher& publisher, double seconds, Failure& failure)
{
    if (!publisher.client) return true;
    std::unique_lock<std::mutex> hold(publisher.lock);
    publisher.stopping = true;
    publisher.stopBy = Clock::now() + std::chrono::milliseconds(long(seconds * 1000));
    Wake(publisher);
    hold.unlock();
    publisher.feeder.join();
    hold.lock();
    // The last status, offline with the final tally, waited for as long as
    // the records were: a clean disconnect sends no last will.
    if (publisher.connected && publisher.image.file) {
        StationTally tally = publisher.tally;
        int messageId = Publish(publisher, hold, publisher.statusTopic, StatusText(publisher, "offline", &tally), true);
        auto taken = [&] {
            for (int id : publisher.acknowledgedIds)
                if (id == messageId) return true;
            return !publisher.connected;
        };
        publisher.changed.wait_until(hold, std::max(publisher.stopBy, Clock::now() + std::chrono::seconds(1)), taken);
    }
    hold.unlock();
    theMosquitto.mosquitto_disconnect(publisher.client);
    theMosquitto.mosquitto_loop_stop(publisher.client, false);
    theMosquitto.mosquitto_destroy(publisher.client);
    theMosquitto.mosquitto_lib_cleanup();
    publisher.client = nullptr;
    if (!publisher.stateFailure.text[0]) return true;
    failure = publisher.stateFailure;
    return false;
}
