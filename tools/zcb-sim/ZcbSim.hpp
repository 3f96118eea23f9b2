// Simulated coordinator coprocessor.
//
// Owns the master side of a fresh pseudo-terminal; the gateway opens the slave side
// as its serial port. One worker thread reads what the gateway writes, cuts it into
// frames, records every frame, acknowledges each sequenced frame with
// "<zvsper-uLinkAck>{SS:CCCC}" and answers requests from a handler table keyed by the
// request's catalogue identifier. Answers carry the request's sequence number.
//
// The coprocessor's state is a coordinator (PAN id, IEEE address, channel, power,
// firmware byte, permit-join flag) and a list of virtual devices described in JSON,
// so device behaviour (interview answers, attribute reads and writes, commands,
// reports, private-cluster messages) is added as handlers over the same state.
//
// Test switches: withhold or delay link acknowledgements and answers (for every
// request or per request identifier), override an answer's status, corrupt the CRC of
// the next frames sent, emit a coprocessor marker text, inject raw text.
//
// JSON configuration (every member optional):
//
//   { "coordinator": { "ieee": "00124B0001C0FFEE", "pan_id": "1A2B", "channel": 20,
//                      "power": 8, "firmware": "21", "aux_byte": "00",
//                      "aux_word": "00000000", "permit_join": false,
//                      "form_pan_id": "5A7E" },
//     "devices": [ { "ieee": "...", "short_addr": "3C4D", ...,
//                    "endpoints": [ { "id": 1, "profile": "0104", "device_id": "0100",
//                                     "in_clusters": ["0000", "0006"],
//                                     "out_clusters": ["0019"],
//                                     "attributes": [ { "cluster": "0006",
//                                       "attribute": "0000", "type": "10",
//                                       "value": "01" } ] } ] } ] }
//
// Hex members are texts without prefix; "value" is the attribute value's bytes, most
// significant first. Each device keeps its whole JSON object in `json`, so members the
// simulator does not know yet stay available to later handlers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "zcb/ZcbMsg.hpp"

namespace zcbsim {

struct SimAttribute
{
    uint16_t             cluster   = 0;
    uint16_t             attribute = 0;
    uint8_t              type      = 0; // ZCL data type
    std::vector<uint8_t> value;        // most significant byte first
};

struct SimEndpoint
{
    uint8_t                   id        = 1;
    uint16_t                  profile   = 0x0104;
    uint16_t                  device_id = 0;
    std::vector<uint16_t>     in_clusters;
    std::vector<uint16_t>     out_clusters;
    std::vector<SimAttribute> attributes;
};

struct SimDevice
{
    uint64_t                 ieee       = 0;
    uint16_t                 short_addr = 0;
    std::vector<SimEndpoint> endpoints;
    std::string              json; // the device's whole JSON object, unformatted
};

struct SimConfig
{
    uint64_t               ieee        = 0x00124B0001C0FFEEULL;
    uint16_t               pan_id      = 0x1A2B; // 0: no network
    uint8_t                channel     = 20;
    int8_t                 power       = 8;
    uint8_t                firmware    = 0x21;
    uint8_t                aux_byte    = 0;
    uint32_t               aux_word    = 0;
    bool                   permit_join = false;
    uint16_t               form_pan_id = 0x5A7E; // PAN id taken when asked to form with 0xffff
    std::vector<SimDevice> devices;
};

// Reads a JSON configuration text into `out` (members left out keep their values).
// 0; -302 not parseable or a member of the wrong kind.
int32_t ParseConfig(std::string_view json_text, SimConfig &out);
// The same from a file: 0; -101 the file cannot be read; -302.
int32_t LoadConfigFile(const std::string &path, SimConfig &out);

// One frame the gateway wrote, as the simulator received it.
struct ReceivedFrame
{
    std::string text;     // the whole frame, "<zvsper-...>{...}"
    std::string tag;      // up to and including ">"
    uint32_t    msg_id;   // catalogue identifier, kZcbMsg_Invalid when unknown
    std::string payload;  // between the braces
    int         seq;      // 0..255, or -1 for a frame without sequence number and CRC
    bool        crc_ok;   // false: dropped without acknowledgement, like the real part
    uint64_t    time_ms;  // steady clock, milliseconds
    bool        repeat = false; // a retransmission: same text as the last frame with this sequence number
};

class ZcbSim;

// Answers one request. `request` has a valid CRC. Handlers run on the simulator's
// thread with no simulator lock held; they read and change state through the
// ZcbSim methods and reply with Answer/SendFrame.
using RequestHandler = std::function<void(ZcbSim &sim, const ReceivedFrame &request)>;

// Writes the fields of a frame under construction (kZZcbMsg_Put*).
using FieldWriter = std::function<void(ZcbFrameBuf &buf)>;

class ZcbSim
{
public:
    ZcbSim();
    explicit ZcbSim(SimConfig config);
    ~ZcbSim();
    ZcbSim(const ZcbSim &)            = delete;
    ZcbSim &operator=(const ZcbSim &) = delete;

    // Opens a new pseudo-terminal and starts the worker thread. 0; -101 no pty;
    // -909 the thread cannot be started; -902 already running.
    int32_t Start();
    // Stops the thread and closes the pty (the slave path disappears). Idempotent.
    void Stop();
    bool Running() const;
    // The slave device the gateway opens, e.g. "/dev/pts/7"; empty before Start.
    const std::string &SlavePath() const { return slave_path_; }

    // ---- coordinator state ----
    SimConfig Config() const; // a snapshot
    void      SetConfig(SimConfig config);
    void      SetPanId(uint16_t pan_id);
    void      SetIeee(uint64_t ieee);
    void      SetChannel(uint8_t channel);
    void      SetPower(int8_t power);
    void      SetFirmware(uint8_t firmware);
    uint16_t  PanId() const;
    bool      PermitJoin() const;
    void      AddDevice(SimDevice device);
    // A copy of the device with this short address; false when there is none.
    bool FindDevice(uint16_t short_addr, SimDevice &out) const;

    // ---- link behaviour switches ----
    // Withhold every link acknowledgement / every answer while set (independently).
    void SetWithholdLinkAcks(bool on);
    void SetWithholdAnswers(bool on);
    // Per request identifier: withhold its answers (the link acknowledgement still goes).
    void SetWithholdAnswersFor(uint32_t request_id, bool on);
    // Delay before writing link acknowledgements / answers.
    void SetLinkAckDelayMs(uint32_t ms);
    void SetAnswerDelayMs(uint32_t ms);
    // Status field of the answers to one request identifier (default 00).
    void SetAnswerStatus(uint32_t request_id, uint8_t status);
    void ClearAnswerStatus(uint32_t request_id);
    // The next `count` answers or SendFrame frames carry a wrong CRC (link
    // acknowledgements are counted separately by CorruptNextLinkAckCrc).
    void CorruptNextCrc(int count = 1);
    void CorruptNextLinkAckCrc(int count = 1);
    // Replaces or adds the handler of a request identifier (nullptr: acknowledge only).
    void SetHandler(uint32_t request_id, RequestHandler handler);
    // Restores every switch to its default (acknowledge and answer at once).
    void ResetSwitches();

    // ---- output ----
    // Writes raw text to the gateway, unchanged (after `delay_ms`).
    void InjectRaw(std::string_view text, uint32_t delay_ms = 0);
    // Writes one of the coprocessor's plain-text markers, e.g. "No such command".
    void EmitMarker(std::string_view marker);
    // Builds a frame with the codec and writes it. seq -1 draws the simulator's own
    // counter. Returns the frame text (or empty when it could not be built).
    std::string SendFrame(uint32_t id, const FieldWriter &fields, int seq = -1, uint32_t delay_ms = 0);
    // An answer to `request`: the status field (the override for the request's
    // identifier, else `status`), then `fields`, with the request's sequence number.
    // Honours the withhold and delay switches.
    void Answer(const ReceivedFrame &request, uint32_t answer_id, const FieldWriter &fields, uint8_t status = 0);

    // ---- what the gateway wrote ----
    std::vector<ReceivedFrame> Received() const;
    // Frames with this identifier, in arrival order.
    std::vector<ReceivedFrame> ReceivedOf(uint32_t msg_id) const;
    size_t                     CountReceived(uint32_t msg_id) const;
    // The same without retransmissions: what the gateway meant to send, whatever the
    // link timing (a slow acknowledgement makes the gateway write a frame again).
    std::vector<ReceivedFrame> DeliveredOf(uint32_t msg_id) const;
    size_t                     CountDelivered(uint32_t msg_id) const;
    bool WaitForDelivered(uint32_t msg_id, size_t count, std::chrono::milliseconds timeout) const;
    void                       ClearReceived();
    // Waits until at least `count` frames with this identifier were received.
    bool WaitForFrames(uint32_t msg_id, size_t count, std::chrono::milliseconds timeout) const;
    // Every raw byte received, in order.
    std::string RawReceived() const;

    // Receives one line per frame in ("<- ...") and out ("-> ..."); nullptr: silent.
    void SetTraceSink(std::function<void(const std::string &line)> sink);

private:
    struct Outgoing
    {
        std::chrono::steady_clock::time_point due;
        uint64_t                              order;
        std::string                           text;
    };
    struct Rule
    {
        bool    withhold   = false;
        bool    has_status = false;
        uint8_t status     = 0;
    };

    void        Run();
    void        HandleBytes(std::string_view bytes);
    void        HandleFrame(std::string_view frame);
    void        Schedule(std::string text, uint32_t delay_ms);
    void        FlushDue();
    int         NextTimeoutMs();
    void        InstallDefaultHandlers();
    std::string BuildFrame(uint32_t id, const FieldWriter &fields, int seq);

    mutable std::mutex                  mutex_;
    mutable std::condition_variable     received_cv_;
    SimConfig                           config_;
    std::map<uint32_t, RequestHandler>  handlers_;
    std::map<uint32_t, Rule>            rules_;
    bool                                withhold_acks_    = false;
    bool                                withhold_answers_ = false;
    uint32_t                            ack_delay_ms_     = 0;
    uint32_t                            answer_delay_ms_  = 0;
    int                                 corrupt_crc_      = 0;
    int                                 corrupt_ack_crc_  = 0;
    uint8_t                             own_seq_          = 0;
    uint64_t                            out_order_        = 0;
    std::vector<Outgoing>               outgoing_;
    std::vector<ReceivedFrame>          received_;
    std::map<int, std::string>          last_text_by_seq_; // for telling retransmissions apart
    std::string                         raw_received_;
    std::string                         partial_;
    std::function<void(const std::string &)> trace_;

    std::string slave_path_;
    int         master_  = -1;
    int         slave_   = -1;
    int         wake_rd_ = -1; // self-pipe: wakes the worker for new output or stop
    int         wake_wr_ = -1;
    bool        stop_    = false;
    std::thread worker_;
};

} // namespace zcbsim
