// The station on a screen: an operator's page, its live event stream and
// an API for the plant's own systems, served over HTTP from the station's
// process (`station --http`). The server runs on threads of its own and
// reads only what the station's loop publishes: a snapshot swapped in under
// a lock held for a copy, so that no client, slow or hostile, stalls a job.
//
// Calling sequence (the station's loop owns the Station and calls all of
// these on its own thread):
//   WebOptions options = {};             // filled by the rows of WebOptionRows
//   if (!CheckWebOptions(options, failure)) ... a usage error
//   WebServer* web = StartWebServer(options, image, failure);  // null: failure says why
//   each turn:
//     ApplyWebRequests(web, station);    // pause, resume, stop, a slot's next board
//     ... FinishNextBoard -> PublishJob(web, station, slot) ...
//     PublishStation(web, station);      // the snapshot the page and the API read
//   StopWebServer(web);                  // clients cut, threads joined
// Every call takes a null `web` (no --http) and does nothing.
// WebServer is the library's own; the caller keeps `image`'s text alive.
#pragma once

#include "cmdline.h"
#include "production.h"

struct WebOptions {
    const char* listen;        // "[ADDRESS:]PORT" as given; null: no server
    const char* token;         // what every POST must carry; null: none
    char address[64];          // set by CheckWebOptions; 127.0.0.1 unless given
    int port;                  // 0: any free port (the one taken is told)
};

// What the page shows of the image the station writes.
struct WebImage {
    const char* file;
    const char* sha256;        // of the file
    char sentSha256[65];       // of the bytes a job sends
    long long total;           // bytes a job sends as frame data
};

// The --http and --http-token rows, written into `rows`; returns how many
// (none where this build has no server).
int WebOptionRows(WebOptions& options, CommandOption* rows);
constexpr int kMaxWebOptionRows = 2;

// The address and port from `listen`; false with the reason for a bad one,
// or for an address other than loopback without a token.
bool CheckWebOptions(WebOptions& options, Failure& failure);

struct WebServer;

// Listening, on threads of its own; null with the reason (the port taken,
// no such address). `listening` is the page's address, to tell the user.
WebServer* StartWebServer(const WebOptions& options, const WebImage& image, char (&listening)[96],
                          Failure& failure);

void PublishStation(WebServer* web, const Station& station);

// The job that ended on `slot` (as FinishNextBoard returned it): a line of
// the page's job list and of GET /api/jobs.
void PublishJob(WebServer* web, const Station& station, int slot);

// What clients asked for since the last call, applied to the station.
void ApplyWebRequests(WebServer* web, Station& station);

void StopWebServer(WebServer* web);

// ---- the server's module (Linux) -------------------------------------------
// cpp-httplib loads and starts OpenSSL with itself, so the server is a module
// of its own, quorvane-web.so (beside quorvane-cli, or in lib/ARCH/quorvane of
// the prefix it is installed in), which StartWebServer opens the first time it is
// called; the calls above then go through the table the module returns. Its
// functions take no null `web`.
struct WebServerCalls {
    WebServer* (*start)(const WebOptions&, const WebImage&, char (&)[96], Failure&);
    void (*publishStation)(WebServer*, const Station&);
    void (*publishJob)(WebServer*, const Station&, int);
    void (*applyRequests)(WebServer*, Station&);
    void (*stop)(WebServer*);
};
extern "C" const WebServerCalls* QuorvaneWebServerCalls();  // the module's one entry
