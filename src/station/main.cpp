// z3gwd entry point: parse the command line, bring the modules up, then park the main
// thread for the life of the process. The daemon has no orderly shutdown; it runs
// until it is killed.
#include <syslog.h>
#include <unistd.h>

#include "runtime/CommonUtils.hpp"
#include "runtime/Log.hpp"
#include "station/GatewayOptions.hpp"
#include "station/StationStartUp.hpp"

int main(int argc, char *argv[])
{
    openlog("Rozezezid_ccu", LOG_PID | LOG_CONS, LOG_USER);

    // Logged at the built-in threshold: -l takes effect only inside start-up.
    GatewayCommandLine cl = kZ3GWSS_ParseCommandLine(argc, argv);

    int32_t big_endian = kUtilsIsBigEndian();
    Z3LOG(7, "CPU Arch %s-Endian, value(%d)!!!\r\n", big_endian ? "Big" : "Little", big_endian);

    int32_t rc = kZ3GWSS_StartUp(cl.options, cl.station_mode, cl.log_level_argument);
    if (rc != 0)
        Z3LOG(9, "Z3 gateway sevice station module init failed(%d)!!\r\n", rc);

    // The workers do everything from here; the main thread sleeps until a signal
    // ends the process, without waking up.
    for (;;)
        pause();
}
