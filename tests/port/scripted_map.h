// A device map as the enumeration hands it out, for the tests of the rules
// that walk one.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "port_rules.h"

namespace quorvane_test {

// A value marked `fails` stands for a call that fails there (a value too
// long for the buffers).
struct MapEntry {
    std::string name;
    unsigned long type;
    std::string data;  // bytes as returned, terminating NUL included if any
    bool fails;
};

struct ScriptedMap {
    std::vector<MapEntry> entries;
    unsigned long calls;
};

inline bool NextScriptedValue(void* map, unsigned long index, DeviceMapValue& value)
{
    ScriptedMap& scripted = *static_cast<ScriptedMap*>(map);
    EXPECT_EQ(scripted.calls, index) << "indices go 0, 1, 2, ...";
    ++scripted.calls;
    if (index >= scripted.entries.size() || scripted.entries[index].fails) return false;
    const MapEntry& entry = scripted.entries[index];
    value = {entry.name.c_str(), entry.type, entry.data.data(), entry.data.size()};
    return true;
}

inline MapEntry FailingCall() { return {"", 0, "", true}; }

}  // namespace quorvane_test
