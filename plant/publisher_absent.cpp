// The publisher where the build has no MQTT client library (the Windows
// builds: Debian's MinGW packages have no libmosquitto): --mqtt is taken
// and its URL checked, and then refused before any board is taken.
#include "plant.h"

bool StartPublisher(PlantPublisher& publisher, const PlantOptions&, const char*, const PlantImage*, char (&)[400],
                    Failure& failure)
{
    publisher.client = nullptr;
    return Fail(failure, "this quorvane-cli was built without an MQTT client (libmosquitto), so --mqtt cannot be used");
}

void SetPublishedStation(PlantPublisher&, const Station&) {}

bool WaitUntilAcknowledged(PlantPublisher&, const std::atomic<bool>*, unsigned long (&counts)[2])
{
    counts[0] = counts[1] = 0;
    return false;
}

bool StopPublisher(PlantPublisher&, double, Failure&) { return true; }
