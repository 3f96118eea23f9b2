// Coprocessor frame codec: the message catalogue, frame builders, the burst parser
// and the text utilities that read payload fields.
//
//   <zvsper-dNetworkUpReq>{00:ffff:0:20:01:f8cd}
//   |------- tag --------|{ fields...  :SS:CCCC}
//
// SS is the 8-bit sequence number ("%02x"), CCCC the CRC-16/MODBUS ("%04x") of every
// payload character before it. Builders write into a ZcbFrameBuf, which refuses to
// grow past its capacity: a frame that does not fit is refused whole by
// kZZcbMsg_Finish. The parser hands each good frame to the dispatch hook (the message
// driver installs its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t   kZcbMaxFrame     = 1023; // longest frame sent or accepted
constexpr size_t   kZcbPayloadSize  = 384;  // incoming payload buffer (383 characters)
constexpr size_t   kZcbTagSize      = 32;
constexpr uint8_t  kZcbNoSeq        = 255;
constexpr uint32_t kZcbCatalogueRows = 74;

// Catalogue identifiers used by name in the code.
enum ZcbMsgId : uint32_t
{
    kZcbMsg_dLinkAck            = 0,
    kZcbMsg_uLinkAck            = 1,
    kZcbMsg_dNetworkUpReq       = 2,
    kZcbMsg_uNetworkUpAck       = 3,
    kZcbMsg_dNetworkDownReq     = 4,
    kZcbMsg_uNetworkDownAck     = 5,
    kZcbMsg_dPermitJoinOnReq    = 6,
    kZcbMsg_uPermitJoinOnAck    = 7,
    kZcbMsg_dPermitJoinOffReq   = 8,
    kZcbMsg_uPermitJoinOffAck   = 9,
    kZcbMsg_dLocalInfoReq       = 10,
    kZcbMsg_uLocalInfoAck       = 11,
    kZcbMsg_dLocalInfoV2Req     = 12,
    kZcbMsg_uLocalInfoV2Ack     = 13,
    kZcbMsg_dLeaveReq           = 14,
    kZcbMsg_uLeaveAck           = 15,
    kZcbMsg_dClusterCmdReq      = 16,
    kZcbMsg_uClusterCmdAck      = 17,
    kZcbMsg_dReadAttrReq        = 18,
    kZcbMsg_uReadAttrAck        = 19,
    kZcbMsg_dWriteAttrReq       = 20,
    kZcbMsg_uWriteAttrAck       = 21,
    kZcbMsg_dOodCmdReq          = 22,
    kZcbMsg_uOodCmdAck          = 23,
    kZcbMsg_uOodCmdReq          = 24,
    kZcbMsg_dOodCmdAck          = 25,
    kZcbMsg_dTTSPackage         = 26,
    kZcbMsg_uTTSPackage         = 27,
    kZcbMsg_uActiveEpsAck       = 50,
    kZcbMsg_uSimpleDespAck      = 52,
    kZcbMsg_uMatchDespAck       = 54,
    kZcbMsg_uNodeDespAck        = 56,
    kZcbMsg_uJoinedNotify       = 61,
    kZcbMsg_uDevAnnounceNotify  = 62,
    kZcbMsg_uLeavedNotify       = 63,
    kZcbMsg_uClusterCmdNotify   = 64,
    kZcbMsg_uAttrReport         = 65,
    kZcbMsg_dG1SetReq           = 67,
    kZcbMsg_uMFGCodeSetAck      = 72,
    kZcbMsg_HexMsg              = 77,
    kZcbMsg_Invalid             = 78,
};

struct ZcbCatalogueRow
{
    uint32_t    id;
    const char *tag;
};
// The 74 rows, in lookup order.
extern const ZcbCatalogueRow kZcbCatalogue[kZcbCatalogueRows];

// One received frame, as handed to the driver's consumers.
struct ZcbIncomingMsg
{
    uint32_t msg_id;
    char     payload[kZcbPayloadSize]; // sequence number and CRC still at its end
    uint16_t seq;
    uint16_t crc;
};

// A frame under construction. Appenders never write past `capacity` characters;
// once something did not fit, `overflow` stays set and kZZcbMsg_Finish refuses it.
struct ZcbFrameBuf
{
    explicit ZcbFrameBuf(size_t cap = kZcbMaxFrame)
        : capacity(cap)
    {
        text.reserve(cap);
    }
    std::string text;
    size_t      capacity;
    bool        overflow = false;
    const char *c_str() const { return text.c_str(); }
};

// ---- catalogue and builders ----

// The tag of an identifier, or "null".
const char *kZZcbMsg_TagOf(uint32_t id);
// The identifier of an exact tag, or kZcbMsg_Invalid.
uint32_t kZZcbMsg_IdOf(std::string_view tag);
// Clears the buffer and writes "<tag>{"; -201 for identifier 78.
int32_t kZZcbMsg_Begin(uint32_t id, ZcbFrameBuf &buf);
int32_t kZZcbMsg_PutU8(ZcbFrameBuf &buf, uint8_t value, bool separator);
int32_t kZZcbMsg_PutU16(ZcbFrameBuf &buf, uint16_t value, bool separator);
int32_t kZZcbMsg_PutU32(ZcbFrameBuf &buf, uint32_t value, bool separator);
int32_t kZZcbMsg_PutU64(ZcbFrameBuf &buf, uint64_t value, bool separator);
int32_t kZZcbMsg_PutDec(ZcbFrameBuf &buf, int32_t value, bool separator);
int32_t kZZcbMsg_PutText(ZcbFrameBuf &buf, std::string_view text, bool separator);
int32_t kZZcbMsg_PutBytes(ZcbFrameBuf &buf, const uint8_t *bytes, uint16_t count, bool separator);
int32_t kZZcbMsg_PutU16Array(ZcbFrameBuf &buf, const uint16_t *values, uint16_t count, bool separator);
int32_t kZZcbMsg_PutU32Array(ZcbFrameBuf &buf, const uint32_t *values, uint16_t count, bool separator);
// Checks the tag (-303 otherwise, buffer unchanged); with a sequence slot draws a number
// when it holds 255, stores it back and appends it; appends the CRC and "}". -201 when
// the frame did not fit its buffer: the buffer is then emptied, so no partial frame
// can be sent by mistake.
int32_t kZZcbMsg_Finish(uint32_t id, ZcbFrameBuf &buf, uint8_t *seq_slot);
// The next sequence number: 0 .. 254, then 0 again.
uint8_t kZZcbMsg_NextSeq();
// Sets the counter (tests start from a known number).
void kZZcbMsg_ResetSeq(uint8_t next);

// ---- parser ----

// Receives each good frame; answers 1 when the frame counts as dispatched (link
// acknowledgements do not). Without a hook (nullptr) every good frame but a link
// acknowledgement counts and goes nowhere.
using ZcbDispatchFn = int (*)(const ZcbIncomingMsg &msg, void *context);
void kZZcbMsg_SetDispatch(ZcbDispatchFn fn, void *context);

// Scans one read burst for frames, checks tag and CRC and dispatches the good ones.
// Returns the number dispatched, -200 for a null text. A NUL ends the text.
//  - a frame runs from "<zvsper" to "}"; white space, a NUL or the end of the burst
//    before the "}" discards it (a frame split across two bursts is lost);
//  - 1024 characters without "}" are logged as too long, scanning resumes after them;
//  - the tag must equal a catalogue tag;
//  - a payload of 384 characters or more is dropped, never cut: a cut payload would
//    hand consumers wrong fields.
int32_t kZZcbMsg_Parse(const char *text);
int32_t kZZcbMsg_Parse(std::string_view text);

// ---- text utilities ----

// CRC-16/MODBUS; 0xFFFF for length 0.
uint16_t kUtilsCrc16Modbus(const uint8_t *bytes, size_t length);
// The value of `digits` hex digits, at most 16 (text length rounded up to even when
// digits <= 0). Short text reads as left-padded with zeros, long text from its first
// `digits` characters (only those are read). Characters other than hex digits read as 0.
uint64_t kUtilsHexToInt(const char *text, int32_t digits);
// Two characters per byte; number of bytes written, -1 for a null argument.
int32_t kUtilsHexToBytes(const char *text, uint8_t *out, size_t capacity);
// "%02x" per byte while three characters of capacity remain; returns out.
char *kUtilsBytesToHex(const uint8_t *bytes, size_t count, char *out, size_t capacity);
// Splits at the separator into at most 16 fields of 63 characters: the field count,
// -1 at a 17th field, -2 when a field reaches 64 characters, 0 for a null text.
int32_t kUtilsSplitFields(const char *text, char fields[16][64], char separator);
// The same with fields of 383 characters; 0 for a null or empty text.
int32_t kUtilsSplitFields384(const char *text, char fields[16][384], char separator);
