// The Windows build has no HTTP server: Debian's cpp-httplib is built for
// Linux alone (its header declares what libcpp-httplib.so implements), so
// there is nothing to link a MinGW build against. station has no --http here.
#include "web.h"

int WebOptionRows(WebOptions&, CommandOption*) { return 0; }

WebServer* StartWebServer(const WebOptions&, const WebImage&, char (&)[96], Failure& failure)
{
    Fail(failure, "this build has no HTTP server");
    return nullptr;
}

void PublishStation(WebServer*, const Station&) {}
void PublishJob(WebServer*, const Station&, int) {}
void ApplyWebRequests(WebServer*, Station&) {}
void StopWebServer(WebServer*) {}
