// The station's HTTP server is a module of its own (quorvane-web.so),
// opened when the station is first asked to serve: cpp-httplib, which the
// server links, loads and starts OpenSSL with itself, some 4 MiB and 3,000
// allocations that check, frames and write would pay for on every run.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "web.h"

namespace {

const WebServerCalls* theServer = nullptr;

constexpr const char* kModule = "quorvane-web.so";
// Where the module is: beside the program (a build tree), else in the
// folder install puts it in, from the program's folder.
constexpr const char* kModuleFolders[] = {"", "/" QUORVANE_MODULE_FOLDER};

bool OpenServerModule(Failure& failure)
{
    if (theServer) return true;
    char folder[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", folder, sizeof folder - 1);
    if (length <= 0) return Fail(failure, "cannot find this program's file, beside which %s is: %s", kModule,
                                 std::strerror(errno));
    folder[length] = '\0';
    *std::strrchr(folder, '/') = '\0';
    for (const char* below : kModuleFolders) {
        char path[PATH_MAX + 64];
        std::snprintf(path, sizeof path, "%s%s/%s", folder, below, kModule);
        if (access(path, F_OK) != 0) continue;
        void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!module) return Fail(failure, "cannot open the station's web server %s: %s", path, dlerror());
        auto entry = reinterpret_cast<const WebServerCalls* (*)()>(dlsym(module, "QuorvaneWebServerCalls"));
        if (!entry) return Fail(failure, "%s is not the station's web server: %s", path, dlerror());
        theServer = entry();
        return true;
    }
    return Fail(failure, "the station's web server %s is neither in %s nor in %s/%s", kModule, folder, folder,
                QUORVANE_MODULE_FOLDER);
}

}  // namespace

int WebOptionRows(WebOptions& options, CommandOption* rows)
{
    rows[0] = TextRow(0, "http", options.listen);
    rows[1] = TextRow(0, "http-token", options.token);
    return kMaxWebOptionRows;
}

WebServer* StartWebServer(const WebOptions& options, const WebImage& image, char (&listening)[96],
                          Failure& failure)
{
    return OpenServerModule(failure) ? theServer->start(options, image, listening, failure) : nullptr;
}

void PublishStation(WebServer* web, const Station& station)
{
    if (web) theServer->publishStation(web, station);
}

void PublishJob(WebServer* web, const Station& station, int slot)
{
    if (web) theServer->publishJob(web, station, slot);
}

void ApplyWebRequests(WebServer* web, Station& station)
{
    if (web) theServer->applyRequests(web, station);
}

void StopWebServer(WebServer* web)
{
    if (web) theServer->stop(web);
}
