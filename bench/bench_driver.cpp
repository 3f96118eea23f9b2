// Message driver against the simulated coprocessor on a pseudo-terminal, with the
// driver's four tasks running.
//
//   BM_MsgSendRoundTrip   kZZcbDri_MsgSend of "<zvsper-dLocalInfoV2Req>" waiting for its
//                         answer; counters median_us and p99_us.
//   BM_IdleCpu/0          whole-process CPU over 30 s with nothing to do, every task
//                         sleeping its fixed 1-2 ms tick (the baseline);
//   BM_IdleCpu/1          the same with idle tasks blocking. Counter cpu_pct is the
//                         percentage of one core, from utime+stime of /proc/self/stat.
//
// Run: bench_driver --benchmark_filter=RoundTrip, or =IdleCpu.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ZcbSim.hpp"
#include "runtime/Log.hpp"
#include "zcb/MsgDriver.hpp"
#include "zcb/ZcbAdapter.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

using Clock = std::chrono::steady_clock;

void Consume(const ZcbIncomingMsg &) {}

// Driver tasks on a fresh simulator, torn down at scope exit.
class Rig
{
public:
    explicit Rig(bool blocking)
    {
        kLogSetThreshold(12);
        kZZcbDri_Reset();
        kZZcbDri_SetIdleBlocking(blocking);
        ok_ = sim_.Start() == 0 && kZZcbDri_Init(sim_.SlavePath().c_str(), Consume, true) == 0;
    }
    ~Rig()
    {
        kZZcbDri_Reset();
        sim_.Stop();
    }
    bool Ok() const { return ok_; }

private:
    zcbsim::ZcbSim sim_;
    bool           ok_ = false;
};

// utime + stime of this process, in clock ticks.
long ProcessCpuTicks()
{
    std::ifstream stat("/proc/self/stat");
    std::string   text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string        field;
    long               utime = 0, stime = 0;
    for (int i = 3; rest >> field; ++i)
    {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
        {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

void BM_MsgSendRoundTrip(benchmark::State &state)
{
    Rig rig(true);
    if (!rig.Ok())
    {
        state.SkipWithError("simulator or driver did not start");
        return;
    }
    std::vector<double> micros;
    char                answer[kZcbDriAnswerSize];
    for (auto _ : state)
    {
        ZcbFrameBuf buf(128);
        uint8_t     seq = kZcbNoSeq;
        kZZcbMsg_Begin(kZcbMsg_dLocalInfoV2Req, buf);
        kZZcbMsg_Finish(kZcbMsg_dLocalInfoV2Req, buf, &seq);
        auto    start = Clock::now();
        int32_t ret   = kZZcbDri_MsgSend(buf.c_str(), seq, answer, 1000, false);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (ret != 0)
        {
            state.SkipWithError("no answer");
            return;
        }
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"]    = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}
BENCHMARK(BM_MsgSendRoundTrip)->Iterations(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_IdleCpu(benchmark::State &state)
{
    const bool blocking = state.range(0) != 0;
    Rig        rig(blocking);
    if (!rig.Ok())
    {
        state.SkipWithError("simulator or driver did not start");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // start-up settles
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (auto _ : state)
    {
        long before = ProcessCpuTicks();
        auto start  = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(30));
        double seconds              = std::chrono::duration<double>(Clock::now() - start).count();
        double cpu                  = static_cast<double>(ProcessCpuTicks() - before) / hz;
        state.counters["cpu_pct"]   = 100.0 * cpu / seconds;
        state.counters["cpu_s"]     = cpu;
    }
}
BENCHMARK(BM_IdleCpu)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
