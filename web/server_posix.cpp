// The station's HTTP server, cpp-httplib's (Debian's libcpp-httplib-dev):
// the page's files, /api/status, /api/jobs, the POSTs that pause, resume
// and stop the station or give a slot its next board, and /events, the
// live stream. The loop formats what it publishes on its own thread and
// swaps it in under `lock`; the server's threads copy it out under the
// same lock and never touch the Station.
//
// Built as the module quorvane-web.so, whose one entry is the table of
// these calls (server_module_posix.cpp opens it); what it uses of the
// station comes from the program that opens it.
#include "web.h"  // first: zlib's global `Byte`, which httplib.h brings, would shadow the engine's

#include <httplib.h>
#include <pthread.h>
#include <signal.h>

#include <cstdarg>
#include <ctime>
#include <deque>

namespace {

#include "page_files.inc"  // kPageFiles: the page, embedded at build time

constexpr int kMaxEventClients = 16;
constexpr int kServerThreads = kMaxEventClients + 8;  // requests are served while the streams are all taken
constexpr size_t kMaxRequestBody = 1024;               // no POST carries a body the station reads
constexpr time_t kClientSeconds = 2;                   // a client that does not read or write for this long is cut
constexpr size_t kKeptJobs = 200;                      // lines GET /api/jobs can give
constexpr unsigned long kJobsOnConnect = 50;           // the page's job list

struct JobLine {
    unsigned long n;  // 1 for the run's first job
    std::string json;
};

struct EventCursor {
    unsigned long version;  // of the status last sent
    unsigned long jobs;     // job lines sent
};

void Append(std::string& out, const char* format, ...) QUORVANE_PRINTF(2, 3);
void Append(std::string& out, const char* format, ...)
{
    char text[512];
    va_list values;
    va_start(values, format);
    int length = std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    if (length > 0) out.append(text, std::min(size_t(length), sizeof text - 1));
}

void AppendField(std::string& out, const char* key, const char* text)
{
    Append(out, ",\"%s\":", key);
    AppendJsonString(out, text);
}

// The recipe the station runs under, or null: its name, its digest and its
// traceability fields.
void AppendRecipe(std::string& out, const Station& station)
{
    if (!station.recipe) {
        out += ",\"recipe\":null";
        return;
    }
    const Recipe& recipe = *station.recipe->recipe;
    out += ",\"recipe\":{\"name\":";
    AppendJsonString(out, recipe.name.c_str());
    AppendField(out, "sha256", recipe.sha256);
    out += ",\"trace\":{";
    for (const TraceField& field : recipe.trace) {
        if (out.back() != '{') out += ',';
        AppendJsonString(out, field.key.c_str());
        out += ':';
        AppendJsonString(out, field.value.c_str());
    }
    out += "}}";
}

// The number the slot's board holds: "out" while its job runs, then how it
// ended; both null where it has none.
void AppendBoardSerial(std::string& out, const StationSlot& slot)
{
    if (!slot.hasSerial) {
        out += ",\"board_serial\":null,\"serial_state\":null";
        return;
    }
    Append(out, ",\"board_serial\":%llu", slot.serial);
    AppendField(out, "serial_state", slot.job >= 0 ? "out" : SerialOutcomeName(slot.serialState));
}

// Why the station takes no new board, or "" while it does; and the state in a word.
void DescribeStation(const Station& station, const char*& state, char (&banner)[400])
{
    state = "taking boards";
    banner[0] = '\0';
    if (station.stopRequested.load()) {
        state = "stopping";
        std::snprintf(banner, sizeof banner, "Stopping: the jobs under way end, no new board is taken");
    } else if (station.logFailed) {
        state = "log failed";
        std::snprintf(banner, sizeof banner, "No new board is taken: %s", station.logFailure.text);
    } else if (station.count && station.tally.written >= station.count) {
        state = "count reached";
        std::snprintf(banner, sizeof banner, "All %lu boards are written: no new board is taken", station.count);
    } else if (station.paused) {
        state = "paused";
        std::snprintf(banner, sizeof banner, "Paused: no new board is taken until the station is resumed");
    }
}

}  // namespace

struct WebServer {
    httplib::Server http;
    std::thread thread;
    std::string token;  // empty: none asked for
    WebImage image;
    std::chrono::steady_clock::time_point started;

    std::mutex lock;  // everything below
    std::condition_variable changed;
    std::string status;  // the station as JSON, without the time-dependent fields
    unsigned long version = 0;
    unsigned long turn = 0;
    StationTally tally = {0, 0, 0};
    std::vector<std::string> slotNames;
    std::vector<bool> slotWriting;  // the same slots': their job is under way
    std::deque<JobLine> jobs;
    unsigned long jobCount = 0;
    int eventClients = 0;
    bool stopping = false;
    // What clients asked for, until ApplyWebRequests takes it.
    int pauseRequest = -1;  // 1 pause, 0 resume, -1 neither
    bool stopRequest = false;
    std::vector<std::string> nextBoards;
};

namespace {

// The status as served: the loop's turn, the run's seconds and the rates
// per hour, then the published snapshot. Under `lock`.
std::string StatusNow(const WebServer& web)
{
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - web.started).count();
    double hours = std::max(seconds, 1.0) / 3600;
    std::string out;
    Append(out, "{\"turn\":%lu,\"seconds\":%.1f,\"written_per_hour\":%.1f,\"failed_per_hour\":%.1f,", web.turn,
           seconds, double(web.tally.written) / hours, double(web.tally.failed) / hours);
    out.append(web.status, 1, std::string::npos);
    return out;
}

// The events a stream has not had yet, waiting up to a second for one; a
// comment when none came, so that a client that has gone is found. False
// once the server stops.
bool NextEvents(WebServer& web, EventCursor& cursor, std::string& out)
{
    std::unique_lock<std::mutex> held(web.lock);
    web.changed.wait_for(held, std::chrono::seconds(1), [&] {
        return web.stopping || web.version != cursor.version || web.jobCount != cursor.jobs;
    });
    if (web.stopping) return false;
    for (const JobLine& line : web.jobs)
        if (line.n > cursor.jobs) out += "event: job\ndata: " + line.json + "\n\n";
    cursor.jobs = web.jobCount;
    if (web.version != cursor.version) out += "event: status\ndata: " + StatusNow(web) + "\n\n";
    cursor.version = web.version;
    if (out.empty()) out = ": still here\n\n";
    return true;
}

bool SameText(const std::string& a, const std::string& b)
{
    unsigned char differ = a.size() != b.size();
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) differ |= (unsigned char)(a[i] ^ b[i]);
    return !differ;  // every byte looked at: the time taken tells nothing of the token
}

bool Authorized(const WebServer& web, const httplib::Request& request, httplib::Response& response)
{
    if (web.token.empty() || SameText(request.get_header_value("Authorization"), "Bearer " + web.token)) return true;
    response.status = 401;
    response.set_content("{\"error\":\"this station takes POSTs with its token only\"}\n", "application/json");
    return false;
}

void Reply(httplib::Response& response, const char* json)
{
    response.set_content(json, "application/json");
}

// A POST's handler, called before its body is read: a bare POST (curl -X
// POST, no Content-Length) is taken, where httplib would refuse it for want
// of a length; a body, which no command needs, is read past, bounded.
template <class Handler>
void Post(httplib::Server& http, const char* pattern, Handler handle)
{
    http.Post(pattern, [handle](const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& body) {
        bool hasBody = request.has_header("Content-Length") || request.has_header("Transfer-Encoding");
        if (hasBody && !body([](const char*, size_t) { return true; })) return;  // too long (413) or cut short
        handle(request, response);
    });
}

void ServeEvents(WebServer& web, httplib::Response& response)
{
    auto cursor = std::make_shared<EventCursor>();
    cursor->version = 0;
    {
        std::lock_guard<std::mutex> held(web.lock);
        if (web.eventClients >= kMaxEventClients || web.stopping) {
            response.status = 503;
            return Reply(response, "{\"error\":\"the station's event streams are all taken\"}\n");
        }
        ++web.eventClients;
        cursor->jobs = web.jobCount > kJobsOnConnect ? web.jobCount - kJobsOnConnect : 0;
    }
    response.set_header("Cache-Control", "no-store");
    WebServer* server = &web;
    response.set_chunked_content_provider(
        "text/event-stream",
        [server, cursor](size_t offset, httplib::DataSink& sink) {
            std::string out = offset ? "" : "retry: 1000\n\n";
            return NextEvents(*server, *cursor, out) && sink.write(out.data(), out.size());
        },
        [server](bool) {
            std::lock_guard<std::mutex> held(server->lock);
            --server->eventClients;
        });
}

void Route(WebServer& web)
{
    httplib::Server& http = web.http;
    for (const PageFile& file : kPageFiles) {
        http.Get(file.path, [&file](const httplib::Request&, httplib::Response& response) {
            response.set_content(reinterpret_cast<const char*>(file.data), file.size, file.type);
        });
    }
    http.Get("/api/status", [&web](const httplib::Request&, httplib::Response& response) {
        std::lock_guard<std::mutex> held(web.lock);
        response.set_content(StatusNow(web) + "\n", "application/json");
    });
    http.Get("/api/jobs", [&web](const httplib::Request& request, httplib::Response& response) {
        std::string text = request.get_param_value("since");
        char* end = nullptr;
        unsigned long since = std::strtoul(text.c_str(), &end, 10);
        if (!text.empty() && (text[0] < '0' || text[0] > '9' || *end)) {
            response.status = 400;
            return Reply(response, "{\"error\":\"since takes a job's number\"}\n");
        }
        std::string out = "{\"jobs\":[";
        std::lock_guard<std::mutex> held(web.lock);
        for (const JobLine& line : web.jobs)
            if (line.n > since) out += (out.back() == '[' ? "" : ",") + line.json;
        Append(out, "],\"count\":%lu}\n", web.jobCount);
        response.set_content(out, "application/json");
    });
    http.Get("/events", [&web](const httplib::Request&, httplib::Response& response) { ServeEvents(web, response); });
    struct Command {
        const char* path;
        int pause;
        bool stop;
        const char* reply;
    };
    static const Command kCommands[] = {
        {"/api/pause", 1, false, "{\"paused\":true}\n"},
        {"/api/resume", 0, false, "{\"paused\":false}\n"},
        {"/api/stop", -1, true, "{\"stopping\":true}\n"},
    };
    for (const Command& command : kCommands) {
        Post(http, command.path, [&web, &command](const httplib::Request& request, httplib::Response& response) {
            if (!Authorized(web, request, response)) return;
            {
                std::lock_guard<std::mutex> held(web.lock);
                if (command.pause >= 0) web.pauseRequest = command.pause;
                web.stopRequest |= command.stop;
            }
            WakeStation();
            Reply(response, command.reply);
        });
    }
    Post(http, "/api/slots/(.+)/next", [&web](const httplib::Request& request, httplib::Response& response) {
        if (!Authorized(web, request, response)) return;
        std::string name = request.matches[1];
        std::lock_guard<std::mutex> held(web.lock);
        size_t slot = std::find(web.slotNames.begin(), web.slotNames.end(), name) - web.slotNames.begin();
        if (slot == web.slotNames.size()) {
            response.status = 404;
            return Reply(response, "{\"error\":\"the station has no such slot\"}\n");
        }
        if (web.slotWriting[slot]) {
            response.status = 409;
            return Reply(response, "{\"error\":\"the slot is still writing its board\"}\n");
        }
        if (web.nextBoards.size() < kMaxPorts) web.nextBoards.push_back(name);
        WakeStation();
        Reply(response, "{\"next\":true}\n");
    });
}

void Serve(WebServer* web)
{
    // A client gone mid-answer must not end the station as a closed
    // output pipe does: the server's threads (its pool starts from this
    // one) take SIGPIPE as EPIPE.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    web->http.listen_after_bind();
}

WebServer* StartServer(const WebOptions& options, const WebImage& image, char (&listening)[96], Failure& failure)
{
    WebServer* web = new WebServer;
    web->token = options.token ? options.token : "";
    web->image = image;
    web->started = std::chrono::steady_clock::now();
    web->http.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    web->http.set_payload_max_length(kMaxRequestBody);
    web->http.set_read_timeout(kClientSeconds, 0);
    web->http.set_write_timeout(kClientSeconds, 0);
    web->http.set_keep_alive_timeout(kClientSeconds);
    Route(*web);
    int port = options.port;
    bool bound = port ? web->http.bind_to_port(options.address, port) : (port = web->http.bind_to_any_port(options.address)) > 0;
    if (!bound) {
        delete web;
        Fail(failure, "cannot listen on %s:%d (the port is taken, or the address is not this machine's)",
             options.address, options.port);
        return nullptr;
    }
    std::snprintf(listening, sizeof listening, std::strchr(options.address, ':') ? "http://[%s]:%d/" : "http://%s:%d/",
                  options.address, port);
    web->thread = std::thread(Serve, web);
    return web;
}

void PublishStatus(WebServer* web, const Station& station)
{
    const char* state;
    char banner[400];
    DescribeStation(station, state, banner);
    const StationTally& tally = station.tally;
    std::string out = "{\"state\":";
    AppendJsonString(out, state);
    AppendField(out, "banner", banner);
    out += ",\"image\":{\"file\":";
    AppendJsonString(out, web->image.file);
    Append(out, ",\"sha256\":\"%s\",\"sent_sha256\":\"%s\",\"bytes\":%lld}", web->image.sha256,
           web->image.sentSha256, web->image.total);
    AppendRecipe(out, station);
    unsigned long judged = tally.written + tally.failed;
    Append(out, ",\"count\":%lu,\"tally\":{\"written\":%lu,\"failed\":%lu,\"aborted\":%lu,\"yield\":%.1f}",
           station.count, tally.written, tally.failed, tally.aborted,
           judged ? 100.0 * double(tally.written) / double(judged) : 100.0);
    out += ",\"slots\":[";
    for (int i = 0; i < station.slotCount; ++i) {
        const StationSlot& slot = station.slots[i];
        out += i ? ",{\"name\":" : "{\"name\":";
        AppendJsonString(out, slot.name);
        AppendField(out, "serial", slot.serialNumber);
        AppendField(out, "state", SlotState(slot));
        AppendField(out, "text", slot.job >= 0 ? "" : slot.last);
        AppendBoardSerial(out, slot);
        Append(out, ",\"sent\":%lld,\"total\":%lld}", slot.job >= 0 ? station.jobs[slot.job].sent.load() : 0,
               web->image.total);
    }
    out += "]}";
    std::lock_guard<std::mutex> held(web->lock);
    ++web->turn;
    web->tally = tally;
    web->slotNames.resize(size_t(station.slotCount));
    web->slotWriting.resize(size_t(station.slotCount));
    for (int i = 0; i < station.slotCount; ++i) {
        if (web->slotNames[size_t(i)] != station.slots[i].name) web->slotNames[size_t(i)] = station.slots[i].name;
        web->slotWriting[size_t(i)] = station.slots[i].job >= 0;
    }
    if (out == web->status) return;
    web->status.swap(out);
    ++web->version;
    web->changed.notify_all();
}

void PublishEndedJob(WebServer* web, const Station& station, int slot)
{
    const StationSlot& watched = station.slots[slot];
    const PortJob& job = station.jobs[watched.lastJob];
    char ended[32];
    std::time_t seconds = std::chrono::system_clock::to_time_t(job.endedAt);
    std::tm utc = {};
    if (const std::tm* broken = std::gmtime(&seconds)) utc = *broken;  // the loop's thread alone
    std::strftime(ended, sizeof ended, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::string out;
    Append(out, "{\"n\":%lu,\"ended\":\"%s\"", web->jobCount + 1, ended);  // jobCount: the loop's alone to change
    AppendField(out, "port", job.name);
    AppendField(out, "serial", job.serialNumber);
    AppendField(out, "result", ResultName(job.exitStatus));
    AppendField(out, "reason", job.reason);
    Append(out, ",\"exit\":%d,\"data_bytes\":%lld,\"frames\":%lu,\"seconds\":%.3f}", job.exitStatus, job.sent.load(),
           job.job.frames, job.seconds);
    std::lock_guard<std::mutex> held(web->lock);
    web->jobs.push_back({++web->jobCount, out});
    if (web->jobs.size() > kKeptJobs) web->jobs.pop_front();
    web->changed.notify_all();
}

void ApplyRequests(WebServer* web, Station& station)
{
    int pause;
    bool stop;
    std::vector<std::string> next;
    {
        std::lock_guard<std::mutex> held(web->lock);
        pause = web->pauseRequest;
        stop = web->stopRequest;
        next.swap(web->nextBoards);
        web->pauseRequest = -1;
        web->stopRequest = false;
    }
    if (stop) StopStation(station);
    if (pause >= 0) station.paused = pause;
    Failure ignored;  // the request was refused already if the slot was writing, as it could be still
    for (const std::string& name : next) TakeNextBoard(station, name.c_str(), ignored);
}

void StopServer(WebServer* web)
{
    {
        std::lock_guard<std::mutex> held(web->lock);
        web->stopping = true;
        web->changed.notify_all();
    }
    web->http.stop();
    if (web->thread.joinable()) web->thread.join();
    delete web;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const WebServerCalls* QuorvaneWebServerCalls()
{
    static const WebServerCalls calls = {StartServer, PublishStatus, PublishEndedJob, ApplyRequests, StopServer};
    return &calls;
}
