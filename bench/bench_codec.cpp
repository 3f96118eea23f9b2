// Frame codec cost: parsing a 4 KB read burst of attribute reports, and building one
// request frame.
//
// The serial link at 115200 baud 8N1 carries 11,520 bytes/s, about 140 frames/s of
// 80 bytes; "core_pct_at_140fps" is the share of one core the parser needs at that
// rate (the link's ceiling), the figure that must stay well under 1%.
#include <benchmark/benchmark.h>

#include <string>
#include <time.h>
#include <vector>

#include "runtime/Log.hpp"
#include "zcb/ZcbMsg.hpp"

namespace {

constexpr double kLinkFramesPerSecond = 140.0;

// One attribute report as the coprocessor sends it: short address, endpoint, cluster,
// direction, manufacturer code, the records (voltage, current, active power) as a byte
// array, the ZCL transaction number, then sequence number and CRC. About 88 bytes.
std::string AttrReport(uint16_t short_addr, uint8_t zcl_seq, uint16_t volts)
{
    const uint8_t records[] = {0x05, 0x05, 0x21, static_cast<uint8_t>(volts >> 8), static_cast<uint8_t>(volts),
                               0x05, 0x08, 0x21, 0x00, 0x32,
                               0x05, 0x0b, 0x29, 0x01, 0x65};
    ZcbFrameBuf buf(256);
    uint8_t     seq = zcl_seq;
    kZZcbMsg_Begin(kZcbMsg_uAttrReport, buf);
    kZZcbMsg_PutU16(buf, short_addr, true);
    kZZcbMsg_PutU8(buf, 1, true);
    kZZcbMsg_PutU16(buf, 0x0b04, true);
    kZZcbMsg_PutU8(buf, 1, true);
    kZZcbMsg_PutU16(buf, 0, true);
    kZZcbMsg_PutBytes(buf, records, sizeof(records), true);
    kZZcbMsg_PutU8(buf, zcl_seq, true);
    kZZcbMsg_Finish(kZcbMsg_uAttrReport, buf, &seq);
    return buf.text;
}

// Whole frames separated by CR LF, up to 4096 bytes.
std::string Burst(int *frame_count)
{
    std::string burst;
    int         n = 0;
    for (;;)
    {
        std::string frame = AttrReport(static_cast<uint16_t>(0x1a00 + n), static_cast<uint8_t>(n),
                                       static_cast<uint16_t>(2300 + n));
        if (burst.size() + frame.size() + 2 > 4096)
            break;
        burst += frame + "\r\n";
        ++n;
    }
    *frame_count = n;
    return burst;
}

double ThreadCpuSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

int CountFrame(const ZcbIncomingMsg &msg, void *context)
{
    *static_cast<int64_t *>(context) += msg.payload[0] != '\0' ? 1 : 0;
    return 1;
}

void ParseBurst(benchmark::State &state, int log_threshold)
{
    int               per_burst = 0;
    const std::string burst     = Burst(&per_burst);
    int64_t           seen      = 0;
    kZZcbMsg_SetDispatch(CountFrame, &seen);
    LogSink quiet;
    quiet.console = [](std::string_view) {};
    quiet.system  = [](int, const char *) {};
    kLogSetSink(std::move(quiet));
    kLogSetThreshold(log_threshold);

    int64_t frames = 0;
    double  cpu0   = ThreadCpuSeconds();
    for (auto _ : state)
    {
        int32_t n = kZZcbMsg_Parse(burst.c_str());
        benchmark::DoNotOptimize(n);
        frames += n;
    }
    double cpu = ThreadCpuSeconds() - cpu0;
    kLogResetSink();
    kLogSetThreshold(0);
    kZZcbMsg_SetDispatch(nullptr, nullptr);
    if (frames != static_cast<int64_t>(state.iterations()) * per_burst || seen != frames)
    {
        state.SkipWithError("not every frame of the burst was dispatched");
        return;
    }

    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * burst.size()));
    state.SetItemsProcessed(frames);
    state.counters["frames_per_burst"] = per_burst;
    state.counters["frame_bytes"]      = static_cast<double>(burst.size()) / per_burst;
    // CPU seconds per frame x 140 frames/s x 100 = percent of one core at link saturation
    state.counters["core_pct_at_140fps"] = cpu / static_cast<double>(frames) * kLinkFramesPerSecond * 100.0;
}

// The daemon's default threshold (8): the per-frame statements (levels 5, 6) are skipped.
void BM_ParseAttrReportBurst(benchmark::State &state) { ParseBurst(state, 8); }
BENCHMARK(BM_ParseAttrReportBurst);

// With every statement formatted (debug threshold 0) but written nowhere.
void BM_ParseAttrReportBurstLogged(benchmark::State &state) { ParseBurst(state, 0); }
BENCHMARK(BM_ParseAttrReportBurstLogged);

// A write-attribute request as the Zigbee procedures build it (1024-character buffer).
void BM_BuildWriteAttrFrame(benchmark::State &state)
{
    const uint8_t value[] = {0x00, 0x00, 0x10, 0x01};
    size_t        length  = 0;
    for (auto _ : state)
    {
        ZcbFrameBuf buf(1023);
        uint8_t     seq = kZcbNoSeq;
        kZZcbMsg_Begin(kZcbMsg_dWriteAttrReq, buf);
        kZZcbMsg_PutU16(buf, 0x1a2b, true);
        kZZcbMsg_PutU8(buf, 1, true);
        kZZcbMsg_PutU16(buf, 0x0006, true);
        kZZcbMsg_PutU8(buf, 1, true);
        kZZcbMsg_PutU16(buf, 0, true);
        kZZcbMsg_PutBytes(buf, value, sizeof(value), true);
        int32_t rc = kZZcbMsg_Finish(kZcbMsg_dWriteAttrReq, buf, &seq);
        benchmark::DoNotOptimize(rc);
        length = buf.text.size();
        benchmark::DoNotOptimize(buf.text.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["frame_bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_BuildWriteAttrFrame);

} // namespace

BENCHMARK_MAIN();
