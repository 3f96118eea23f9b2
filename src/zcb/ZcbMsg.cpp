// Frame codec: see ZcbMsg.hpp.
#include "zcb/ZcbMsg.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "runtime/Log.hpp"

const ZcbCatalogueRow kZcbCatalogue[kZcbCatalogueRows] = {
    {0, "<zvsper-dLinkAck>"},
    {1, "<zvsper-uLinkAck>"},
    {2, "<zvsper-dNetworkUpReq>"},
    {3, "<zvsper-uNetworkUpAck>"},
    {4, "<zvsper-dNetworkDownReq>"},
    {5, "<zvsper-uNetworkDownAck>"},
    {6, "<zvsper-dPermitJoinOnReq>"},
    {7, "<zvsper-uPermitJoinOnAck>"},
    {8, "<zvsper-dPermitJoinOffReq>"},
    {9, "<zvsper-uPermitJoinOffAck>"},
    {10, "<zvsper-dLocalInfoReq>"},
    {11, "<zvsper-uLocalInfoAck>"},
    {12, "<zvsper-dLocalInfoV2Req>"},
    {13, "<zvsper-uLocalInfoV2Ack>"},
    {14, "<zvsper-dLeaveReq>"},
    {15, "<zvsper-uLeaveAck>"},
    {16, "<zvsper-dClusterCmdReq>"},
    {17, "<zvsper-uClusterCmdAck>"},
    {18, "<zvsper-dReadAttrReq>"},
    {19, "<zvsper-uReadAttrAck>"},
    {20, "<zvsper-dWriteAttrReq>"},
    {21, "<zvsper-uWriteAttrAck>"},
    {22, "<zvsper-dOodCmdReq>"},
    {23, "<zvsper-uOodCmdAck>"},
    {24, "<zvsper-uOodCmdReq>"},
    {25, "<zvsper-dOodCmdAck>"},
    {26, "<zvsper-dTTSPackage>"},
    {27, "<zvsper-uTTSPackage>"},
    {28, "<zvsper-dChildRecordReq>"},
    {29, "<zvsper-uChildRecordAck>"},
    {30, "<zvsper-dGroupsAddReq>"},
    {31, "<zvsper-uGroupsAddAck>"},
    {32, "<zvsper-dGroupsRemoveReq>"},
    {33, "<zvsper-uGroupsRemoveAck>"},
    {34, "<zvsper-dSceneAddReq>"},
    {35, "<zvsper-uSceneAddAck>"},
    {36, "<zvsper-dSceneRemoveReq>"},
    {37, "<zvsper-uSceneRemoveAck>"},
    {38, "<zvsper-dSceneRecallReq>"},
    {39, "<zvsper-dOtaNotifyReq>"},
    {40, "<zvsper-uOtaNotifyAck>"},
    {41, "<zvsper-uOtaStartNotify>"},
    {42, "<zvsper-uOtaBlockReq>"},
    {43, "<zvsper-dOtaBlockAck>"},
    {44, "<zvsper-uOtaCompletedNotify>"},
    {45, "<zvsper-dBindReq>"},
    {46, "<zvsper-uBindAck>"},
    {47, "<zvsper-dUnBindReq>"},
    {48, "<zvsper-uUnBindAck>"},
    {49, "<zvsper-dActiveEpsReq>"},
    {50, "<zvsper-uActiveEpsAck>"},
    {51, "<zvsper-dSimpleDespReq>"},
    {52, "<zvsper-uSimpleDespAck>"},
    {53, "<zvsper-dMatchDespReq>"},
    {54, "<zvsper-uMatchDespAck>"},
    {55, "<zvsper-dNodeDespReq>"},
    {56, "<zvsper-uNodeDespAck>"},
    {57, "<zvsper-dIeeeAddrReq>"},
    {58, "<zvsper-uIeeeAddrAck>"},
    {59, "<zvsper-dIpAddrReq>"},
    {60, "<zvsper-uIpAddrAck>"},
    {61, "<zvsper-uJoinedNotify>"},
    {62, "<zvsper-uDevAnnounceNotify>"},
    {63, "<zvsper-uLeavedNotify>"},
    {64, "<zvsper-uClusterCmdNotify>"},
    {65, "<zvsper-uAttrReport>"},
    {66, "<zvsper-uNwkStatusNotify>"},
    {67, "<zvsper-dG1SetReq>"},
    {68, "<zvsper-uG1SetAck>"},
    {69, "<zvsper-dZCSetReq>"},
    {70, "<zvsper-uZCSetAck>"},
    {71, "<zvsper-dMFGCodeSetReq>"},
    {72, "<zvsper-uMFGCodeSetAck>"},
    {77, "<HexMsg>"},
};

namespace {

struct CodecState
{
    std::atomic<uint8_t> next_seq{0};
    ZcbDispatchFn        dispatch = nullptr;
    void                *context  = nullptr;
};

CodecState gCodec;

void Append(ZcbFrameBuf &buf, std::string_view piece)
{
    if (buf.overflow || buf.text.size() + piece.size() > buf.capacity)
    {
        buf.overflow = true;
        return;
    }
    buf.text.append(piece);
}

template <typename... Args> void AppendF(ZcbFrameBuf &buf, const char *fmt, Args... args)
{
    char piece[32];
    int  n = snprintf(piece, sizeof(piece), fmt, args...);
    Append(buf, std::string_view(piece, n < 0 ? 0 : static_cast<size_t>(n)));
}

void Separator(ZcbFrameBuf &buf, bool separator)
{
    if (separator)
        Append(buf, ":");
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

uint64_t HexValue(std::string_view text)
{
    uint64_t value = 0;
    for (char c : text)
        value = (value << 4) | static_cast<uint64_t>(HexDigit(c));
    return value;
}

bool EndsFrame(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '}' || c == '\0'; }

// Checks one frame (text up to, not including, its closing brace) and dispatches it.
int32_t HandleFrame(std::string_view frame)
{
    Z3LOG(5, "--MSG length (%d)------\r\n", static_cast<int>(frame.size() + 1));
    size_t open = frame.find(">{");
    if (open == std::string_view::npos)
        return 0;
    std::string_view tag = frame.substr(0, open + 1);
    if (tag.size() >= kZcbTagSize)
        return 0;
    // Only a whole catalogue tag is accepted: a broken frame head glued before a good
    // one ("<zvsper-u<zvsper-uLinkAck>{...}") loses both.
    uint32_t id = kZZcbMsg_IdOf(tag);
    if (id == kZcbMsg_Invalid)
        return 0;

    std::string_view payload = frame.substr(open + 2);
    size_t           k       = payload.size();
    if (k == 0)
        return 0;
    uint16_t seq = 0;
    uint16_t received = 0;
    if (k >= 7)
    {
        seq      = static_cast<uint16_t>(HexValue(payload.substr(k - 7, 2)));
        received = static_cast<uint16_t>(HexValue(payload.substr(k - 4, 4)));
    }
    uint16_t computed = 0;
    if (k >= 5)
        computed = kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(payload.data()), k - 4);
    if (received != computed)
    {
        Z3LOG(9, "crc16 incorrect(%04x:%04x)\r\n", received, computed);
        return 0;
    }
    if (k >= kZcbPayloadSize)
    {
        // Cutting the payload would hand consumers wrong fields; drop it instead.
        Z3LOG(9, "payload too long(%d), frame dropped\r\n", static_cast<int>(k));
        return 0;
    }

    ZcbIncomingMsg msg;
    msg.msg_id = id;
    memcpy(msg.payload, payload.data(), k);
    msg.payload[k] = '\0';
    msg.seq        = seq;
    msg.crc        = received;
    Z3LOG(6, "MSG-INCOMING: key(%.*s), payload(%s)\r\n", static_cast<int>(tag.size()), tag.data(), msg.payload);
    if (gCodec.dispatch == nullptr)
        return id == kZcbMsg_uLinkAck ? 0 : 1;
    return gCodec.dispatch(msg, gCodec.context) != 0 ? 1 : 0;
}

} // namespace

const char *kZZcbMsg_TagOf(uint32_t id)
{
    for (const ZcbCatalogueRow &row : kZcbCatalogue)
    {
        if (row.id == id)
            return row.tag;
    }
    return "null";
}

uint32_t kZZcbMsg_IdOf(std::string_view tag)
{
    for (const ZcbCatalogueRow &row : kZcbCatalogue)
    {
        if (tag == row.tag)
            return row.id;
    }
    return kZcbMsg_Invalid;
}

int32_t kZZcbMsg_Begin(uint32_t id, ZcbFrameBuf &buf)
{
    if (id == kZcbMsg_Invalid)
        return -201;
    buf.text.clear();
    buf.overflow = false;
    Append(buf, kZZcbMsg_TagOf(id));
    Append(buf, "{");
    return 0;
}

int32_t kZZcbMsg_PutU8(ZcbFrameBuf &buf, uint8_t value, bool separator)
{
    AppendF(buf, "%02x", value);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutU16(ZcbFrameBuf &buf, uint16_t value, bool separator)
{
    AppendF(buf, "%04x", value);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutU32(ZcbFrameBuf &buf, uint32_t value, bool separator)
{
    AppendF(buf, "%08" PRIx32, value);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutU64(ZcbFrameBuf &buf, uint64_t value, bool separator)
{
    AppendF(buf, "%016llX", static_cast<unsigned long long>(value));
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutDec(ZcbFrameBuf &buf, int32_t value, bool separator)
{
    AppendF(buf, "%d", value);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutText(ZcbFrameBuf &buf, std::string_view text, bool separator)
{
    Append(buf, text);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutBytes(ZcbFrameBuf &buf, const uint8_t *bytes, uint16_t count, bool separator)
{
    if (bytes == nullptr)
        count = 0;
    AppendF(buf, "%04x", count);
    for (uint16_t i = 0; i < count; ++i)
        AppendF(buf, "%02x", bytes[i]);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutU16Array(ZcbFrameBuf &buf, const uint16_t *values, uint16_t count, bool separator)
{
    if (values == nullptr)
        count = 0;
    AppendF(buf, "%04x", count);
    for (uint16_t i = 0; i < count; ++i)
        AppendF(buf, "%04x", values[i]);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_PutU32Array(ZcbFrameBuf &buf, const uint32_t *values, uint16_t count, bool separator)
{
    if (values == nullptr)
        count = 0;
    AppendF(buf, "%04x", count);
    for (uint16_t i = 0; i < count; ++i)
        AppendF(buf, "%08" PRIx32, values[i]);
    Separator(buf, separator);
    return 0;
}

int32_t kZZcbMsg_Finish(uint32_t id, ZcbFrameBuf &buf, uint8_t *seq_slot)
{
    // Sequence "SS:" (3) + CRC (4) + brace (1) must fit, or the frame is refused whole;
    // nothing half-built is left behind for a caller that ignores the result.
    const size_t tail = (seq_slot != nullptr ? 3 : 0) + 5;
    if (buf.overflow || buf.text.size() + tail > buf.capacity)
    {
        Z3LOG(9, "frame does not fit its buffer(%zu), refused\r\n", buf.capacity);
        buf.overflow = true;
        buf.text.clear();
        return -201;
    }
    const char *tag = kZZcbMsg_TagOf(id);
    size_t      len = strlen(tag);
    if (buf.text.size() <= len || buf.text.compare(0, len, tag) != 0)
        return -303;
    if (seq_slot != nullptr)
    {
        if (*seq_slot == kZcbNoSeq)
            *seq_slot = kZZcbMsg_NextSeq();
        AppendF(buf, "%02x:", *seq_slot);
    }
    uint16_t crc = kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(buf.text.data()) + len + 1,
                                     buf.text.size() - len - 1);
    AppendF(buf, "%04x}", crc);
    return 0;
}

uint8_t kZZcbMsg_NextSeq()
{
    uint8_t current = gCodec.next_seq.load();
    uint8_t next;
    do
    {
        next = static_cast<uint8_t>(current + 1);
        if (next == kZcbNoSeq)
            next = 0;
    } while (!gCodec.next_seq.compare_exchange_weak(current, next));
    return current;
}

void kZZcbMsg_ResetSeq(uint8_t next) { gCodec.next_seq.store(next == kZcbNoSeq ? 0 : next); }

void kZZcbMsg_SetDispatch(ZcbDispatchFn fn, void *context)
{
    gCodec.dispatch = fn;
    gCodec.context  = context;
}

int32_t kZZcbMsg_Parse(const char *text)
{
    if (text == nullptr)
        return -200;
    return kZZcbMsg_Parse(std::string_view(text));
}

int32_t kZZcbMsg_Parse(std::string_view text)
{
    constexpr std::string_view kStart = "<zvsper";
    constexpr size_t           kLimit = kZcbMaxFrame + 1;

    size_t nul = text.find('\0');
    if (nul != std::string_view::npos)
        text = text.substr(0, nul);

    int32_t dispatched = 0;
    size_t  pos        = 0;
    while (pos < text.size())
    {
        size_t start = text.find(kStart, pos);
        if (start == std::string_view::npos)
            break;
        size_t end = start;
        while (end < text.size() && end - start < kLimit && !EndsFrame(text[end]))
            ++end;
        if (end - start >= kLimit)
        {
            Z3LOG(9, "this message is too long!\r\n");
            pos = start + kLimit;
            continue;
        }
        if (end >= text.size() || text[end] != '}')
        {
            pos = end + 1; // a frame split across bursts is lost
            continue;
        }
        dispatched += HandleFrame(text.substr(start, end - start));
        pos = end + 1;
    }
    return dispatched;
}

uint16_t kUtilsCrc16Modbus(const uint8_t *bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    if (bytes == nullptr)
        return crc;
    for (size_t i = 0; i < length; ++i)
    {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint64_t kUtilsHexToInt(const char *text, int32_t digits)
{
    if (text == nullptr)
        return 0;
    // With a digit count only that many characters are read (no terminator needed).
    size_t len = digits > 0 ? strnlen(text, std::min<size_t>(static_cast<size_t>(digits), 16)) : strlen(text);
    size_t n   = std::min<size_t>(digits > 0 ? static_cast<size_t>(digits) : (len + 1) / 2 * 2, 16);
    // Shorter text reads as if left-padded with zeros; longer text from its first n digits.
    return HexValue(std::string_view(text, std::min(len, n)));
}

int32_t kUtilsHexToBytes(const char *text, uint8_t *out, size_t capacity)
{
    if (text == nullptr || out == nullptr)
        return -1;
    size_t len     = strlen(text);
    size_t written = 0;
    for (size_t i = 0; i < len && written < capacity; i += 2)
    {
        size_t take    = (i + 1 < len) ? 2 : 1;
        out[written++] = static_cast<uint8_t>(HexValue(std::string_view(text + i, take)));
    }
    return static_cast<int32_t>(written);
}

char *kUtilsBytesToHex(const uint8_t *bytes, size_t count, char *out, size_t capacity)
{
    if (out == nullptr || capacity == 0)
        return out;
    out[0]     = '\0';
    size_t pos = 0;
    for (size_t i = 0; bytes != nullptr && i < count && capacity - pos >= 3; ++i)
    {
        snprintf(out + pos, 3, "%02x", bytes[i]);
        pos += 2;
    }
    return out;
}

namespace {

template <size_t FieldSize> int32_t SplitInto(const char *text, char (*fields)[FieldSize], char separator)
{
    int32_t count = 1;
    size_t  len   = 0;
    fields[0][0]  = '\0';
    for (const char *p = text; *p != '\0'; ++p)
    {
        if (*p == separator)
        {
            if (count == 16)
                return -1;
            fields[count - 1][len] = '\0';
            ++count;
            len                    = 0;
            fields[count - 1][0]   = '\0';
            continue;
        }
        if (len + 1 >= FieldSize)
            return -2;
        fields[count - 1][len++] = *p;
        fields[count - 1][len]   = '\0';
    }
    return count;
}

} // namespace

int32_t kUtilsSplitFields(const char *text, char fields[16][64], char separator)
{
    if (text == nullptr || fields == nullptr)
        return 0;
    return SplitInto<64>(text, fields, separator);
}

int32_t kUtilsSplitFields384(const char *text, char fields[16][384], char separator)
{
    if (text == nullptr || fields == nullptr || text[0] == '\0')
        return 0;
    return SplitInto<384>(text, fields, separator);
}
