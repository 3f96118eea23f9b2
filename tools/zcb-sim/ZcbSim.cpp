// Simulated coordinator coprocessor: see ZcbSim.hpp.
#include "ZcbSim.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <termios.h>
#include <unistd.h>

#include <cjson/cJSON.h>

namespace zcbsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kFrameStart = "<zvsper";
constexpr size_t           kMaxPartial = 8192;

struct JsonDeleter
{
    void operator()(cJSON *json) const { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

uint64_t NowMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
}

bool EndsFrame(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '}' || c == '\0'; }

uint64_t HexOf(std::string_view text)
{
    uint64_t value = 0;
    for (char c : text)
    {
        int d = 0;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        value = (value << 4) | static_cast<uint64_t>(d);
    }
    return value;
}

std::vector<std::string> SplitColon(std::string_view text)
{
    std::vector<std::string> out;
    size_t                   start = 0;
    for (;;)
    {
        size_t end = text.find(':', start);
        if (end == std::string_view::npos)
        {
            out.emplace_back(text.substr(start));
            return out;
        }
        out.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// A hex text ("1A2B") or a JSON number; false for any other kind.
bool ReadHex(const cJSON *item, uint64_t &out)
{
    if (item == nullptr)
        return true;
    if (cJSON_IsString(item) && item->valuestring != nullptr)
    {
        std::string_view text(item->valuestring);
        if (text.size() > 16 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
            return false;
        out = HexOf(text);
        return true;
    }
    if (cJSON_IsNumber(item))
    {
        out = static_cast<uint64_t>(item->valuedouble);
        return true;
    }
    return false;
}

bool ReadInt(const cJSON *item, int64_t &out)
{
    if (item == nullptr)
        return true;
    if (!cJSON_IsNumber(item))
        return false;
    out = static_cast<int64_t>(item->valuedouble);
    return true;
}

bool ReadClusters(const cJSON *array, std::vector<uint16_t> &out)
{
    if (array == nullptr)
        return true;
    if (!cJSON_IsArray(array))
        return false;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, array)
    {
        uint64_t value = 0;
        if (!ReadHex(item, value))
            return false;
        out.push_back(static_cast<uint16_t>(value));
    }
    return true;
}

bool ReadAttribute(const cJSON *json, SimAttribute &out)
{
    uint64_t cluster = 0, attribute = 0, type = 0;
    if (!cJSON_IsObject(json) || !ReadHex(cJSON_GetObjectItem(json, "cluster"), cluster) ||
        !ReadHex(cJSON_GetObjectItem(json, "attribute"), attribute) ||
        !ReadHex(cJSON_GetObjectItem(json, "type"), type))
        return false;
    out.cluster   = static_cast<uint16_t>(cluster);
    out.attribute = static_cast<uint16_t>(attribute);
    out.type      = static_cast<uint8_t>(type);
    const cJSON *value = cJSON_GetObjectItem(json, "value");
    if (value == nullptr)
        return true;
    if (!cJSON_IsString(value) || value->valuestring == nullptr)
        return false;
    std::string_view text(value->valuestring);
    for (size_t i = 0; i < text.size(); i += 2)
        out.value.push_back(static_cast<uint8_t>(HexOf(text.substr(i, 2))));
    return true;
}

bool ReadEndpoint(const cJSON *json, SimEndpoint &out)
{
    int64_t  id = out.id;
    uint64_t profile = out.profile, device_id = out.device_id;
    if (!cJSON_IsObject(json) || !ReadInt(cJSON_GetObjectItem(json, "id"), id) ||
        !ReadHex(cJSON_GetObjectItem(json, "profile"), profile) ||
        !ReadHex(cJSON_GetObjectItem(json, "device_id"), device_id) ||
        !ReadClusters(cJSON_GetObjectItem(json, "in_clusters"), out.in_clusters) ||
        !ReadClusters(cJSON_GetObjectItem(json, "out_clusters"), out.out_clusters))
        return false;
    out.id        = static_cast<uint8_t>(id);
    out.profile   = static_cast<uint16_t>(profile);
    out.device_id = static_cast<uint16_t>(device_id);
    const cJSON *attributes = cJSON_GetObjectItem(json, "attributes");
    if (attributes == nullptr)
        return true;
    if (!cJSON_IsArray(attributes))
        return false;
    const cJSON *item = nullptr;
    cJSON_ArrayForEach(item, attributes)
    {
        SimAttribute attribute;
        if (!ReadAttribute(item, attribute))
            return false;
        out.attributes.push_back(std::move(attribute));
    }
    return true;
}

bool ReadDevice(const cJSON *json, SimDevice &out)
{
    uint64_t ieee = 0, short_addr = 0;
    if (!cJSON_IsObject(json) || !ReadHex(cJSON_GetObjectItem(json, "ieee"), ieee) ||
        !ReadHex(cJSON_GetObjectItem(json, "short_addr"), short_addr))
        return false;
    out.ieee       = ieee;
    out.short_addr = static_cast<uint16_t>(short_addr);
    const cJSON *endpoints = cJSON_GetObjectItem(json, "endpoints");
    if (endpoints != nullptr)
    {
        if (!cJSON_IsArray(endpoints))
            return false;
        const cJSON *item = nullptr;
        cJSON_ArrayForEach(item, endpoints)
        {
            SimEndpoint endpoint;
            if (!ReadEndpoint(item, endpoint))
                return false;
            out.endpoints.push_back(std::move(endpoint));
        }
    }
    char *text = cJSON_PrintUnformatted(json);
    if (text != nullptr)
    {
        out.json = text;
        cJSON_free(text);
    }
    return true;
}

bool ReadCoordinator(const cJSON *json, SimConfig &out)
{
    if (json == nullptr)
        return true;
    uint64_t ieee = out.ieee, pan = out.pan_id, firmware = out.firmware, aux_byte = out.aux_byte,
             aux_word = out.aux_word, form_pan = out.form_pan_id;
    int64_t channel = out.channel, power = out.power;
    if (!cJSON_IsObject(json) || !ReadHex(cJSON_GetObjectItem(json, "ieee"), ieee) ||
        !ReadHex(cJSON_GetObjectItem(json, "pan_id"), pan) ||
        !ReadHex(cJSON_GetObjectItem(json, "firmware"), firmware) ||
        !ReadHex(cJSON_GetObjectItem(json, "aux_byte"), aux_byte) ||
        !ReadHex(cJSON_GetObjectItem(json, "aux_word"), aux_word) ||
        !ReadHex(cJSON_GetObjectItem(json, "form_pan_id"), form_pan) ||
        !ReadInt(cJSON_GetObjectItem(json, "channel"), channel) ||
        !ReadInt(cJSON_GetObjectItem(json, "power"), power))
        return false;
    const cJSON *permit = cJSON_GetObjectItem(json, "permit_join");
    if (permit != nullptr)
    {
        if (!cJSON_IsBool(permit))
            return false;
        out.permit_join = cJSON_IsTrue(permit);
    }
    out.ieee        = ieee;
    out.pan_id      = static_cast<uint16_t>(pan);
    out.firmware    = static_cast<uint8_t>(firmware);
    out.aux_byte    = static_cast<uint8_t>(aux_byte);
    out.aux_word    = static_cast<uint32_t>(aux_word);
    out.form_pan_id = static_cast<uint16_t>(form_pan);
    out.channel     = static_cast<uint8_t>(channel);
    out.power       = static_cast<int8_t>(power);
    return true;
}

// Builds a frame with the codec: tag, fields, "SS:" and the CRC.
std::string BuildWithCodec(uint32_t id, const FieldWriter &fields, uint8_t seq)
{
    ZcbFrameBuf buf;
    if (kZZcbMsg_Begin(id, buf) != 0)
        return {};
    if (fields)
        fields(buf);
    // The sequence number goes in as a field so that 255 is written as it is rather than
    // drawn from the gateway's counter.
    kZZcbMsg_PutU8(buf, seq, true);
    if (kZZcbMsg_Finish(id, buf, nullptr) != 0)
        return {};
    return buf.text;
}

void CorruptCrc(std::string &frame)
{
    // The last CRC digit sits just before the closing brace.
    if (frame.size() < 2)
        return;
    char &digit = frame[frame.size() - 2];
    digit       = (digit == '0') ? '1' : '0';
}

bool WriteAll(int fd, std::string_view text)
{
    size_t     done     = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (done < text.size())
    {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0)
        {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (Clock::now() > deadline)
            return false; // nobody reads the slave side
        struct pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, 10);
    }
    return true;
}

} // namespace

int32_t ParseConfig(std::string_view json_text, SimConfig &out)
{
    std::string text(json_text); // cJSON needs a terminated copy
    JsonPtr     root(cJSON_Parse(text.c_str()));
    if (!root || !cJSON_IsObject(root.get()))
        return -302;
    SimConfig config = out;
    if (!ReadCoordinator(cJSON_GetObjectItem(root.get(), "coordinator"), config))
        return -302;
    const cJSON *devices = cJSON_GetObjectItem(root.get(), "devices");
    if (devices != nullptr)
    {
        if (!cJSON_IsArray(devices))
            return -302;
        config.devices.clear();
        const cJSON *item = nullptr;
        cJSON_ArrayForEach(item, devices)
        {
            SimDevice device;
            if (!ReadDevice(item, device))
                return -302;
            config.devices.push_back(std::move(device));
        }
    }
    out = std::move(config);
    return 0;
}

int32_t LoadConfigFile(const std::string &path, SimConfig &out)
{
    std::ifstream in(path);
    if (!in)
        return -101;
    std::stringstream text;
    text << in.rdbuf();
    return ParseConfig(text.str(), out);
}

ZcbSim::ZcbSim()
    : ZcbSim(SimConfig{})
{
}

ZcbSim::ZcbSim(SimConfig config)
    : config_(std::move(config))
{
    InstallDefaultHandlers();
}

ZcbSim::~ZcbSim() { Stop(); }

int32_t ZcbSim::Start()
{
    if (worker_.joinable())
        return -902;
    char name[256] = {};
    int  master = -1, slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
        return -101;
    // Raw from the first byte: an echoing slave would hand our own output back to us.
    struct termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    int pipefd[2];
    if (pipe2(pipefd, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        close(master);
        close(slave);
        return -101;
    }
    master_     = master;
    slave_      = slave;
    wake_rd_    = pipefd[0];
    wake_wr_    = pipefd[1];
    slave_path_ = name;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = false;
        partial_.clear();
    }
    try
    {
        worker_ = std::thread([this] { Run(); });
    }
    catch (const std::system_error &)
    {
        Stop();
        return -909;
    }
    return 0;
}

void ZcbSim::Stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (wake_wr_ >= 0)
    {
        char one = 1;
        (void)!write(wake_wr_, &one, 1);
    }
    if (worker_.joinable())
        worker_.join();
    for (int *fd : {&master_, &slave_, &wake_rd_, &wake_wr_})
    {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.clear();
}

bool ZcbSim::Running() const { return worker_.joinable(); }

SimConfig ZcbSim::Config() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void ZcbSim::SetConfig(SimConfig config)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_ = std::move(config);
}

void ZcbSim::SetPanId(uint16_t pan_id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.pan_id = pan_id;
}

void ZcbSim::SetIeee(uint64_t ieee)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.ieee = ieee;
}

void ZcbSim::SetChannel(uint8_t channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.channel = channel;
}

void ZcbSim::SetPower(int8_t power)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.power = power;
}

void ZcbSim::SetFirmware(uint8_t firmware)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.firmware = firmware;
}

uint16_t ZcbSim::PanId() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.pan_id;
}

bool ZcbSim::PermitJoin() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return config_.permit_join;
}

void ZcbSim::AddDevice(SimDevice device)
{
    std::lock_guard<std::mutex> lock(mutex_);
    config_.devices.push_back(std::move(device));
}

bool ZcbSim::FindDevice(uint16_t short_addr, SimDevice &out) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const SimDevice &device : config_.devices)
    {
        if (device.short_addr == short_addr)
        {
            out = device;
            return true;
        }
    }
    return false;
}

void ZcbSim::SetWithholdLinkAcks(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    withhold_acks_ = on;
}

void ZcbSim::SetWithholdAnswers(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    withhold_answers_ = on;
}

void ZcbSim::SetWithholdAnswersFor(uint32_t request_id, bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[request_id].withhold = on;
}

void ZcbSim::SetLinkAckDelayMs(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ack_delay_ms_ = ms;
}

void ZcbSim::SetAnswerDelayMs(uint32_t ms)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answer_delay_ms_ = ms;
}

void ZcbSim::SetAnswerStatus(uint32_t request_id, uint8_t status)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[request_id].has_status = true;
    rules_[request_id].status     = status;
}

void ZcbSim::ClearAnswerStatus(uint32_t request_id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    rules_[request_id].has_status = false;
}

void ZcbSim::CorruptNextCrc(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    corrupt_crc_ = count;
}

void ZcbSim::CorruptNextLinkAckCrc(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    corrupt_ack_crc_ = count;
}

void ZcbSim::SetHandler(uint32_t request_id, RequestHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[request_id] = std::move(handler);
}

void ZcbSim::ResetSwitches()
{
    std::lock_guard<std::mutex> lock(mutex_);
    withhold_acks_    = false;
    withhold_answers_ = false;
    ack_delay_ms_     = 0;
    answer_delay_ms_  = 0;
    corrupt_crc_      = 0;
    corrupt_ack_crc_  = 0;
    rules_.clear();
}

void ZcbSim::SetTraceSink(std::function<void(const std::string &line)> sink)
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_ = std::move(sink);
}

void ZcbSim::InjectRaw(std::string_view text, uint32_t delay_ms) { Schedule(std::string(text), delay_ms); }

void ZcbSim::EmitMarker(std::string_view marker)
{
    // The bootloader and the command shell print their complaints as lines.
    std::string text(marker);
    text += "\r\n";
    Schedule(std::move(text), 0);
}

std::string ZcbSim::BuildFrame(uint32_t id, const FieldWriter &fields, int seq)
{
    const bool link_ack = id == kZcbMsg_uLinkAck;
    uint8_t number = 0;
    if (seq < 0)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        number   = own_seq_;
        own_seq_ = static_cast<uint8_t>(own_seq_ == 254 ? 0 : own_seq_ + 1);
    }
    else
    {
        number = static_cast<uint8_t>(seq);
    }
    std::string frame = BuildWithCodec(id, fields, number);
    if (frame.empty())
        return frame;
    std::lock_guard<std::mutex> lock(mutex_);
    int &corrupt = link_ack ? corrupt_ack_crc_ : corrupt_crc_;
    if (corrupt > 0)
    {
        --corrupt;
        CorruptCrc(frame);
    }
    return frame;
}

std::string ZcbSim::SendFrame(uint32_t id, const FieldWriter &fields, int seq, uint32_t delay_ms)
{
    std::string frame = BuildFrame(id, fields, seq);
    if (!frame.empty())
        Schedule(frame, delay_ms);
    return frame;
}

void ZcbSim::Answer(const ReceivedFrame &request, uint32_t answer_id, const FieldWriter &fields, uint8_t status)
{
    uint32_t delay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (withhold_answers_)
            return;
        auto rule = rules_.find(request.msg_id);
        if (rule != rules_.end())
        {
            if (rule->second.withhold)
                return;
            if (rule->second.has_status)
                status = rule->second.status;
        }
        delay = answer_delay_ms_;
    }
    FieldWriter with_status = [&](ZcbFrameBuf &buf) {
        kZZcbMsg_PutU8(buf, status, true);
        if (fields)
            fields(buf);
    };
    std::string frame = BuildFrame(answer_id, with_status, request.seq < 0 ? 0 : request.seq);
    if (!frame.empty())
        Schedule(std::move(frame), delay);
}

std::vector<ReceivedFrame> ZcbSim::Received() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<ReceivedFrame> ZcbSim::ReceivedOf(uint32_t msg_id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ReceivedFrame>  out;
    for (const ReceivedFrame &frame : received_)
    {
        if (frame.msg_id == msg_id)
            out.push_back(frame);
    }
    return out;
}

size_t ZcbSim::CountReceived(uint32_t msg_id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(std::count_if(received_.begin(), received_.end(),
                                             [&](const ReceivedFrame &f) { return f.msg_id == msg_id; }));
}

std::vector<ReceivedFrame> ZcbSim::DeliveredOf(uint32_t msg_id) const
{
    std::vector<ReceivedFrame> out = ReceivedOf(msg_id);
    std::erase_if(out, [](const ReceivedFrame &f) { return f.repeat; });
    return out;
}

size_t ZcbSim::CountDelivered(uint32_t msg_id) const { return DeliveredOf(msg_id).size(); }

bool ZcbSim::WaitForDelivered(uint32_t msg_id, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return received_cv_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(received_.begin(), received_.end(), [&](const ReceivedFrame &f) {
                   return f.msg_id == msg_id && !f.repeat;
               })) >= count;
    });
}

void ZcbSim::ClearReceived()
{
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    raw_received_.clear();
}

bool ZcbSim::WaitForFrames(uint32_t msg_id, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    return received_cv_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count_if(received_.begin(), received_.end(), [&](const ReceivedFrame &f) {
                   return f.msg_id == msg_id;
               })) >= count;
    });
}

std::string ZcbSim::RawReceived() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return raw_received_;
}

void ZcbSim::Schedule(std::string text, uint32_t delay_ms)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outgoing_.push_back({Clock::now() + std::chrono::milliseconds(delay_ms), out_order_++, std::move(text)});
    }
    if (wake_wr_ >= 0)
    {
        char one = 1;
        (void)!write(wake_wr_, &one, 1);
    }
}

int ZcbSim::NextTimeoutMs()
{
    if (outgoing_.empty())
        return -1;
    auto first = std::min_element(outgoing_.begin(), outgoing_.end(),
                                  [](const Outgoing &a, const Outgoing &b) { return a.due < b.due; });
    auto left  = std::chrono::ceil<std::chrono::milliseconds>(first->due - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}

void ZcbSim::FlushDue()
{
    std::vector<Outgoing>                    due;
    std::function<void(const std::string &)> trace;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto                        now = Clock::now();
        for (auto it = outgoing_.begin(); it != outgoing_.end();)
        {
            if (it->due <= now)
            {
                due.push_back(std::move(*it));
                it = outgoing_.erase(it);
            }
            else
            {
                ++it;
            }
        }
        trace = trace_;
    }
    std::sort(due.begin(), due.end(), [](const Outgoing &a, const Outgoing &b) {
        return a.due != b.due ? a.due < b.due : a.order < b.order;
    });
    for (const Outgoing &out : due)
    {
        if (trace)
            trace("-> " + out.text);
        WriteAll(master_, out.text);
    }
}

void ZcbSim::Run()
{
    char buffer[4096];
    for (;;)
    {
        int timeout = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_)
                return;
            timeout = NextTimeoutMs();
        }
        struct pollfd fds[2] = {{master_, POLLIN, 0}, {wake_rd_, POLLIN, 0}};
        int           ready  = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN)
        {
            while (read(wake_rd_, buffer, sizeof(buffer)) > 0)
            {
            }
        }
        if (fds[0].revents & POLLIN)
        {
            for (;;)
            {
                ssize_t n = read(master_, buffer, sizeof(buffer));
                if (n <= 0)
                    break;
                HandleBytes(std::string_view(buffer, static_cast<size_t>(n)));
            }
        }
        FlushDue();
    }
}

void ZcbSim::HandleBytes(std::string_view bytes)
{
    std::vector<std::string> frames;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        raw_received_.append(bytes);
        partial_.append(bytes);
        size_t pos = 0;
        for (;;)
        {
            size_t start = partial_.find(kFrameStart, pos);
            if (start == std::string::npos)
            {
                // Keep a tail that may be the beginning of "<zvsper".
                size_t keep = std::min(partial_.size(), kFrameStart.size() - 1);
                pos         = partial_.size() - keep;
                break;
            }
            size_t end = start;
            while (end < partial_.size() && !EndsFrame(partial_[end]))
                ++end;
            if (end >= partial_.size())
            {
                pos = start; // the rest comes with the next read
                break;
            }
            if (partial_[end] == '}')
                frames.emplace_back(partial_.substr(start, end - start + 1));
            pos = end + 1;
        }
        partial_.erase(0, pos);
        if (partial_.size() > kMaxPartial)
            partial_.clear();
    }
    for (const std::string &frame : frames)
        HandleFrame(frame);
}

void ZcbSim::HandleFrame(std::string_view text)
{
    ReceivedFrame frame;
    frame.text    = std::string(text);
    frame.time_ms = NowMs();
    size_t open   = text.find(">{");
    if (open == std::string_view::npos)
    {
        frame.msg_id = kZcbMsg_Invalid;
        frame.seq    = -1;
        frame.crc_ok = false;
    }
    else
    {
        frame.tag     = std::string(text.substr(0, open + 1));
        frame.msg_id  = kZZcbMsg_IdOf(frame.tag);
        frame.payload = std::string(text.substr(open + 2, text.size() - open - 3));
        size_t k      = frame.payload.size();
        if (k >= 7)
        {
            std::string_view payload(frame.payload);
            frame.seq         = static_cast<int>(HexOf(payload.substr(k - 7, 2)));
            uint16_t received = static_cast<uint16_t>(HexOf(payload.substr(k - 4)));
            uint16_t computed = kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(payload.data()), k - 4);
            frame.crc_ok      = received == computed && payload[k - 5] == ':';
        }
        else
        {
            // Frames such as "{0}" carry neither sequence number nor CRC.
            frame.seq    = -1;
            frame.crc_ok = true;
        }
    }

    RequestHandler                           handler;
    std::function<void(const std::string &)> trace;
    bool                                     ack = false;
    uint32_t                                 ack_delay = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (frame.seq >= 0)
        {
            std::string &last = last_text_by_seq_[frame.seq];
            frame.repeat      = last == frame.text;
            last              = frame.text;
        }
        received_.push_back(frame);
        trace = trace_;
        if (frame.crc_ok && frame.seq >= 0 && !withhold_acks_)
        {
            ack       = true;
            ack_delay = ack_delay_ms_;
        }
        auto it = handlers_.find(frame.msg_id);
        if (frame.crc_ok && it != handlers_.end())
            handler = it->second;
    }
    received_cv_.notify_all();
    if (trace)
        trace("<- " + frame.text + (frame.crc_ok ? "" : "  (bad CRC, dropped)"));
    if (ack)
    {
        std::string link_ack = BuildFrame(kZcbMsg_uLinkAck, nullptr, frame.seq);
        if (!link_ack.empty())
            Schedule(std::move(link_ack), ack_delay);
    }
    if (handler)
        handler(*this, frame);
}

void ZcbSim::InstallDefaultHandlers()
{
    auto local_info = [](uint32_t answer_id) {
        return [answer_id](ZcbSim &sim, const ReceivedFrame &request) {
            SimConfig c = sim.Config();
            sim.Answer(request, answer_id, [&](ZcbFrameBuf &buf) {
                kZZcbMsg_PutU16(buf, c.pan_id, true);
                kZZcbMsg_PutU8(buf, 0, true); // field 2: not read by the gateway
                kZZcbMsg_PutU64(buf, c.ieee, true);
                kZZcbMsg_PutDec(buf, c.channel, true);
                kZZcbMsg_PutDec(buf, c.power, true);
                kZZcbMsg_PutU8(buf, c.firmware, true);
                kZZcbMsg_PutU8(buf, c.aux_byte, true);
                kZZcbMsg_PutU32(buf, c.aux_word, true);
            });
        };
    };
    handlers_[kZcbMsg_dLocalInfoV2Req] = local_info(kZcbMsg_uLocalInfoV2Ack);
    handlers_[kZcbMsg_dLocalInfoReq]   = local_info(kZcbMsg_uLocalInfoAck);

    // Fields: 8-bit option, 16-bit PAN id (0xffff: ours to choose), decimal channel
    // (0: ours to choose), decimal power.
    handlers_[kZcbMsg_dNetworkUpReq] = [](ZcbSim &sim, const ReceivedFrame &request) {
        std::vector<std::string> f = SplitColon(request.payload);
        {
            std::lock_guard<std::mutex> lock(sim.mutex_);
            SimConfig                  &c   = sim.config_;
            uint16_t                    pan = f.size() >= 6 ? static_cast<uint16_t>(HexOf(f[1])) : 0xFFFF;
            c.pan_id = (pan == 0 || pan == 0xFFFF) ? (c.form_pan_id != 0 ? c.form_pan_id : 0x5A7E) : pan;
            int channel = f.size() >= 6 ? atoi(f[2].c_str()) : 0;
            if (channel >= 11 && channel <= 26)
                c.channel = static_cast<uint8_t>(channel);
            else if (c.channel < 11 || c.channel > 26)
                c.channel = 11;
            if (f.size() >= 6)
                c.power = static_cast<int8_t>(atoi(f[3].c_str()));
        }
        sim.Answer(request, kZcbMsg_uNetworkUpAck, nullptr);
    };
    handlers_[kZcbMsg_dNetworkDownReq] = [](ZcbSim &sim, const ReceivedFrame &request) {
        {
            std::lock_guard<std::mutex> lock(sim.mutex_);
            sim.config_.pan_id      = 0;
            sim.config_.permit_join = false;
        }
        sim.Answer(request, kZcbMsg_uNetworkDownAck, nullptr);
    };
    auto permit = [](bool on, uint32_t answer_id) {
        return [on, answer_id](ZcbSim &sim, const ReceivedFrame &request) {
            {
                std::lock_guard<std::mutex> lock(sim.mutex_);
                sim.config_.permit_join = on;
            }
            sim.Answer(request, answer_id, nullptr);
        };
    };
    handlers_[kZcbMsg_dPermitJoinOnReq]  = permit(true, kZcbMsg_uPermitJoinOnAck);
    handlers_[kZcbMsg_dPermitJoinOffReq] = permit(false, kZcbMsg_uPermitJoinOffAck);
    // Private-cluster broadcasts and the start-up setting need nothing beyond the link
    // acknowledgement (which a frame without sequence number does not get).
}

} // namespace zcbsim
