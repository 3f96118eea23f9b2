// Writer process for the crash test: saves device i = 0, 1, 2, ... and writes "i\n"
// to standard output after each save that returned 0, until it is killed.
//
// usage: zdb_save_child <database file> <number of devices>
#include "devices/Database.hpp"
#include "runtime/Log.hpp"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    kLogSetThreshold(12);
    if (kZDB_Init(argv[1], 1 << 30) != 0)
        return 1;
    long total = std::atol(argv[2]);
    for (long i = 0; i < total; ++i)
    {
        // The crash test checks these values for every acknowledged i.
        LogicDevice device;
        device.ieee_addr  = 0x00124B0000000000ULL + static_cast<uint64_t>(i);
        device.endpoint   = 1;
        device.short_addr = static_cast<uint16_t>(i);
        std::snprintf(device.model_id, sizeof device.model_id, "crash-%ld", i);
        device.prop.reset(cJSON_CreateObject());
        cJSON_AddNumberToObject(device.prop.get(), "Seq", static_cast<double>(i));
        device.eps.reset(cJSON_CreateObject());
        if (kZDB_SaveDevice(&device) != 0)
            return 3;
        char line[32];
        int  length = std::snprintf(line, sizeof line, "%ld\n", i);
        if (write(STDOUT_FILENO, line, static_cast<size_t>(length)) != length)
            return 4;
    }
    return 0;
}
