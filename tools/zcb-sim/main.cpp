// zcb-sim: serves the simulated coordinator coprocessor on a pseudo-terminal.
//
// Prints the slave device name on the first line of standard output (and, with
// --link, makes a symlink to it), then serves until SIGINT or SIGTERM. The gateway
// is pointed at the slave, e.g. `z3gwd --uart-port /dev/pts/7`.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "ZcbSim.hpp"

namespace {

void Usage(const char *program)
{
    fprintf(stderr,
            "usage: %s [options]\n"
            "  -c, --config FILE     devices and coordinator in JSON\n"
            "  -L, --link PATH       symlink PATH to the pseudo-terminal's slave\n"
            "      --pan-id HEX      PAN id (0: no network)\n"
            "      --ieee HEX        coordinator IEEE address\n"
            "      --channel N       channel\n"
            "      --power N         transmit power\n"
            "      --firmware HEX    firmware byte\n"
            "  -v, --verbose         print every frame in and out on standard error\n",
            program);
}

bool ParseHex(const char *text, uint64_t &out)
{
    char *end = nullptr;
    errno     = 0;
    out       = strtoull(text, &end, 16);
    return errno == 0 && end != text && *end == '\0';
}

bool ParseDec(const char *text, long &out)
{
    char *end = nullptr;
    errno     = 0;
    out       = strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

} // namespace

int main(int argc, char **argv)
{
    enum
    {
        kOptPan = 256,
        kOptIeee,
        kOptChannel,
        kOptPower,
        kOptFirmware
    };
    static const struct option kOptions[] = {
        {"config", required_argument, nullptr, 'c'},   {"link", required_argument, nullptr, 'L'},
        {"pan-id", required_argument, nullptr, kOptPan}, {"ieee", required_argument, nullptr, kOptIeee},
        {"channel", required_argument, nullptr, kOptChannel}, {"power", required_argument, nullptr, kOptPower},
        {"firmware", required_argument, nullptr, kOptFirmware}, {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
    };

    zcbsim::SimConfig config;
    std::string       link;
    bool              verbose = false;
    // Command-line values override the file, whatever their order.
    std::string config_path;
    struct Override
    {
        int         option;
        const char *value;
    };
    std::vector<Override> overrides;

    int opt;
    while ((opt = getopt_long(argc, argv, "c:L:vh", kOptions, nullptr)) != -1)
    {
        switch (opt)
        {
        case 'c':
            config_path = optarg;
            break;
        case 'L':
            link = optarg;
            break;
        case 'v':
            verbose = true;
            break;
        case kOptPan:
        case kOptIeee:
        case kOptChannel:
        case kOptPower:
        case kOptFirmware:
            overrides.push_back({opt, optarg});
            break;
        default:
            Usage(argv[0]);
            return opt == 'h' ? 0 : 2;
        }
    }

    if (!config_path.empty())
    {
        int32_t rc = zcbsim::LoadConfigFile(config_path, config);
        if (rc != 0)
        {
            fprintf(stderr, "zcb-sim: cannot use %s (%d)\n", config_path.c_str(), rc);
            return 1;
        }
    }
    for (const Override &o : overrides)
    {
        uint64_t hex = 0;
        long     dec = 0;
        bool     ok  = false;
        switch (o.option)
        {
        case kOptPan:
            ok = ParseHex(o.value, hex) && hex <= 0xFFFF;
            config.pan_id = static_cast<uint16_t>(hex);
            break;
        case kOptIeee:
            ok = ParseHex(o.value, hex);
            config.ieee = hex;
            break;
        case kOptFirmware:
            ok = ParseHex(o.value, hex) && hex <= 0xFF;
            config.firmware = static_cast<uint8_t>(hex);
            break;
        case kOptChannel:
            ok = ParseDec(o.value, dec) && dec >= 0 && dec <= 26;
            config.channel = static_cast<uint8_t>(dec);
            break;
        case kOptPower:
            ok = ParseDec(o.value, dec) && dec >= -128 && dec <= 127;
            config.power = static_cast<int8_t>(dec);
            break;
        }
        if (!ok)
        {
            fprintf(stderr, "zcb-sim: bad value '%s'\n", o.value);
            return 2;
        }
    }

    // Signals are taken synchronously by this thread; the worker never sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    zcbsim::ZcbSim sim(config);
    if (verbose)
        sim.SetTraceSink([](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });
    if (sim.Start() != 0)
    {
        fprintf(stderr, "zcb-sim: cannot open a pseudo-terminal\n");
        return 1;
    }
    if (!link.empty())
    {
        // Replace an old link, never a file.
        struct stat st;
        if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            unlink(link.c_str());
        if (symlink(sim.SlavePath().c_str(), link.c_str()) != 0)
        {
            fprintf(stderr, "zcb-sim: cannot link %s: %s\n", link.c_str(), strerror(errno));
            return 1;
        }
    }
    printf("%s\n", sim.SlavePath().c_str());
    fflush(stdout);

    int signal_number = 0;
    sigwait(&signals, &signal_number);
    sim.Stop();
    if (!link.empty())
        unlink(link.c_str());
    return 0;
}
