// Properties the frame codec must keep for any input, shared by the libFuzzer targets
// (which abort on a broken one) and the corpus replay test (which reports it).
//
// CheckParse: every frame handed to the dispatch hook is a catalogue tag, a payload of
// 1..383 characters without frame ends, found verbatim ("<tag>{payload}") in the input,
// whose sequence number and CRC are the ones written at its end and whose CRC holds;
// the result counts exactly the frames that are not link acknowledgements; and
// parsing "A\nB" dispatches what parsing A and then B does (a line end is a hard
// frame boundary).
//
// CheckUtils: the hex, split and builder utilities against simple reference models,
// and every frame the builders finish parses back to the payload they wrote.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Log.hpp"
#include "zcb/ZcbMsg.hpp"

namespace zcbfuzz {

struct SeenFrame
{
    uint32_t    id;
    std::string payload;
    uint16_t    seq;
    uint16_t    crc;
    bool        operator==(const SeenFrame &) const = default;
};

struct ParseRun
{
    std::string_view       input;
    std::vector<SeenFrame> frames;
    std::string            failure;
};

inline void Fail(std::string &failure, const std::string &what)
{
    if (failure.empty())
        failure = what;
}

inline int RefHexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

inline uint64_t RefHex(std::string_view digits)
{
    uint64_t v = 0;
    for (char c : digits)
        v = v * 16 + static_cast<uint64_t>(RefHexDigit(c));
    return v;
}

inline int WatchHook(const ZcbIncomingMsg &msg, void *context)
{
    auto       &run = *static_cast<ParseRun *>(context);
    const char *tag = kZZcbMsg_TagOf(msg.msg_id);
    size_t      k   = strnlen(msg.payload, kZcbPayloadSize);
    if (strcmp(tag, "null") == 0 || msg.msg_id == kZcbMsg_HexMsg)
        Fail(run.failure, "dispatched an id outside the frame catalogue: " + std::to_string(msg.msg_id));
    if (k >= kZcbPayloadSize)
    {
        Fail(run.failure, "payload not terminated");
        return 0;
    }
    std::string_view payload(msg.payload, k);
    if (k == 0)
        Fail(run.failure, "empty payload dispatched");
    // Five or six characters pass only when their first one or two have CRC 0 (the
    // received CRC reads as 0): no printable text does, "\xff\xff" does.
    if ((k == 5 || k == 6) && kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(payload.data()), k - 4) != 0)
        Fail(run.failure, "payload of " + std::to_string(k) + " characters with a CRC dispatched");
    if (payload.find_first_of(std::string_view(" \t\r\n}\0", 6)) != std::string_view::npos)
        Fail(run.failure, "payload holds a frame end");
    std::string framed = std::string(tag) + "{" + std::string(payload) + "}";
    if (run.input.find(framed) == std::string_view::npos)
        Fail(run.failure, "dispatched frame not in the input: " + framed);
    uint16_t want_seq = 0;
    uint16_t want_crc = 0;
    if (k >= 7)
    {
        want_seq = static_cast<uint16_t>(RefHex(payload.substr(k - 7, 2)));
        want_crc = static_cast<uint16_t>(RefHex(payload.substr(k - 4)));
        uint16_t computed = kUtilsCrc16Modbus(reinterpret_cast<const uint8_t *>(payload.data()), k - 4);
        if (computed != want_crc)
            Fail(run.failure, "dispatched frame with a bad CRC: " + framed);
    }
    if (msg.seq != want_seq || msg.crc != want_crc)
        Fail(run.failure, "sequence or CRC field misread: " + framed);
    run.frames.push_back({msg.msg_id, std::string(payload), msg.seq, msg.crc});
    return msg.msg_id == kZcbMsg_uLinkAck ? 0 : 1;
}

// Parses `text` with the watching hook; appends what was dispatched to `frames`.
inline int32_t WatchedParse(std::string_view text, std::vector<SeenFrame> &frames, std::string &failure)
{
    ParseRun run{text.substr(0, std::min(text.size(), text.find('\0'))), {}, {}};
    kZZcbMsg_SetDispatch(WatchHook, &run);
    int32_t result = kZZcbMsg_Parse(text);
    kZZcbMsg_SetDispatch(nullptr, nullptr);
    Fail(failure, run.failure);
    int32_t counted = 0;
    for (const SeenFrame &f : run.frames)
        counted += f.id == kZcbMsg_uLinkAck ? 0 : 1;
    if (result != counted)
        Fail(failure, "parse returned " + std::to_string(result) + " for " + std::to_string(counted) + " counted frames");
    frames.insert(frames.end(), run.frames.begin(), run.frames.end());
    return result;
}

// The empty string when every property held, else the first one that broke.
inline std::string CheckParse(const uint8_t *data, size_t size)
{
    std::string_view       text(reinterpret_cast<const char *>(data), size);
    std::string            failure;
    std::vector<SeenFrame> whole;
    WatchedParse(text, whole, failure);

    if (size > 0 && text.find('\0') == std::string_view::npos)
    {
        size_t                 cut = data[0] % (size + 1);
        std::string            joined = std::string(text.substr(0, cut)) + "\n" + std::string(text.substr(cut));
        std::vector<SeenFrame> halves;
        std::vector<SeenFrame> together;
        WatchedParse(text.substr(0, cut), halves, failure);
        WatchedParse(text.substr(cut), halves, failure);
        WatchedParse(joined, together, failure);
        if (halves != together)
            Fail(failure, "a line end between two halves changed what was dispatched");
    }
    return failure;
}

// ---- utilities ----

// Reads bytes from the fuzz input, zero once it is used up.
class Reader
{
public:
    Reader(const uint8_t *data, size_t size)
        : data_(data)
        , size_(size)
    {
    }
    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() << 8 | U8()); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
    std::string Text(size_t max)
    {
        size_t      n = std::min<size_t>(U8() % (max + 1), size_ - pos_);
        std::string s(reinterpret_cast<const char *>(data_ + pos_), n);
        pos_ += n;
        return s;
    }
    std::string Rest()
    {
        std::string s(reinterpret_cast<const char *>(data_ + pos_), size_ - pos_);
        pos_ = size_;
        return s;
    }
    bool Empty() const { return pos_ >= size_; }

private:
    const uint8_t *data_;
    size_t         size_;
    size_t         pos_ = 0;
};

inline std::string CStr(std::string s) { return s.substr(0, s.find('\0')); }

inline void CheckHex(Reader &in, std::string &failure)
{
    size_t      capacity = in.U8() % 48;
    int32_t     digits   = static_cast<int8_t>(in.U8()) % 20;
    size_t      hex_cap  = in.U8() % 100;
    std::string text     = CStr(in.Rest());

    uint8_t bytes[48];
    int32_t n    = kUtilsHexToBytes(text.c_str(), bytes, capacity);
    size_t  want = std::min(capacity, (text.size() + 1) / 2);
    if (n != static_cast<int32_t>(want))
        Fail(failure, "HexToBytes wrote " + std::to_string(n) + " bytes, want " + std::to_string(want));
    for (int32_t i = 0; i < n && i < 48; ++i)
    {
        std::string_view pair = std::string_view(text).substr(static_cast<size_t>(i) * 2, 2);
        if (bytes[i] != static_cast<uint8_t>(RefHex(pair)))
            Fail(failure, "HexToBytes misread byte " + std::to_string(i));
    }

    char  hex[100];
    char *out = kUtilsBytesToHex(bytes, n > 0 ? static_cast<size_t>(n) : 0, hex, hex_cap);
    if (out != hex)
        Fail(failure, "BytesToHex returned another buffer");
    if (hex_cap > 0)
    {
        size_t shown = std::min(static_cast<size_t>(n), (hex_cap - 1) / 2);
        if (strnlen(hex, hex_cap) != shown * 2)
            Fail(failure, "BytesToHex wrote the wrong length");
        for (size_t i = 0; i < shown; ++i)
        {
            char two[3];
            snprintf(two, sizeof(two), "%02x", bytes[i]);
            if (memcmp(hex + 2 * i, two, 2) != 0)
                Fail(failure, "BytesToHex wrote the wrong digits");
        }
    }

    size_t width = digits > 0 ? std::min<size_t>(static_cast<size_t>(digits), 16)
                              : std::min<size_t>((text.size() + 1) / 2 * 2, 16);
    uint64_t want_value = RefHex(std::string_view(text).substr(0, width));
    if (kUtilsHexToInt(text.c_str(), digits) != want_value)
        Fail(failure, "HexToInt(\"" + text + "\", " + std::to_string(digits) + ") is wrong");
}

template <size_t FieldSize> int32_t RefSplit(std::string_view text, char separator)
{
    std::vector<std::string_view> fields;
    size_t                        start = 0;
    for (;;)
    {
        size_t at = text.find(separator, start);
        fields.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos)
            break;
        start = at + 1;
    }
    for (size_t i = 0; i < fields.size(); ++i)
    {
        if (i == 16)
            return -1;
        if (fields[i].size() >= FieldSize)
            return -2;
    }
    return static_cast<int32_t>(fields.size());
}

template <size_t FieldSize>
void CheckSplitResult(const char *name, std::string_view text, char separator, int32_t got, char (*fields)[FieldSize],
                      std::string &failure)
{
    int32_t want = RefSplit<FieldSize>(text, separator);
    if (FieldSize == 384 && text.empty())
        want = 0;
    if (got != want)
    {
        Fail(failure, std::string(name) + " gave " + std::to_string(got) + ", want " + std::to_string(want));
        return;
    }
    if (got <= 0)
        return;
    std::string joined;
    for (int32_t i = 0; i < got; ++i)
    {
        size_t len = strnlen(fields[i], FieldSize);
        if (len >= FieldSize)
            Fail(failure, std::string(name) + " left a field unterminated");
        if (i > 0)
            joined += separator;
        joined.append(fields[i], std::min(len, FieldSize));
    }
    if (joined != text)
        Fail(failure, std::string(name) + " fields do not join back to the text");
}

inline void CheckSplit(Reader &in, std::string &failure)
{
    char        separator = static_cast<char>(in.U8());
    std::string text      = CStr(in.Rest());
    if (separator == '\0')
        separator = ':';
    static char small[16][64];
    static char large[16][384];
    memset(small, 0x55, sizeof(small));
    memset(large, 0x55, sizeof(large));
    CheckSplitResult<64>("SplitFields", text, separator, kUtilsSplitFields(text.c_str(), small, separator), small,
                         failure);
    CheckSplitResult<384>("SplitFields384", text, separator, kUtilsSplitFields384(text.c_str(), large, separator),
                          large, failure);
}

// Appends one fuzz-chosen field to both frames.
inline void PutField(Reader &in, ZcbFrameBuf &buf, ZcbFrameBuf &unbounded)
{
    uint8_t kind = in.U8();
    bool    sep  = (kind & 0x80) == 0;
    auto    both = [&](auto put) {
        put(buf);
        put(unbounded);
    };
    switch (kind % 9)
    {
    case 0: {
        uint8_t v = in.U8();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU8(b, v, sep); });
        break;
    }
    case 1: {
        uint16_t v = in.U16();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU16(b, v, sep); });
        break;
    }
    case 2: {
        uint32_t v = in.U32();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU32(b, v, sep); });
        break;
    }
    case 3: {
        uint64_t v = static_cast<uint64_t>(in.U32()) << 32 | in.U32();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU64(b, v, sep); });
        break;
    }
    case 4: {
        int32_t v = static_cast<int32_t>(in.U32());
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutDec(b, v, sep); });
        break;
    }
    case 5: {
        std::string t = in.Text(40);
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutText(b, t, sep); });
        break;
    }
    case 6: {
        std::string t = in.Text(200);
        auto        n = static_cast<uint16_t>(t.size());
        auto       *p = n ? reinterpret_cast<const uint8_t *>(t.data()) : nullptr;
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutBytes(b, p, n, sep); });
        break;
    }
    case 7: {
        uint16_t v[8];
        uint16_t n = in.U8() % 9;
        for (uint16_t i = 0; i < n; ++i)
            v[i] = in.U16();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU16Array(b, n ? v : nullptr, n, sep); });
        break;
    }
    default: {
        uint32_t v[8];
        uint16_t n = in.U8() % 9;
        for (uint16_t i = 0; i < n; ++i)
            v[i] = in.U32();
        both([&](ZcbFrameBuf &b) { kZZcbMsg_PutU32Array(b, n ? v : nullptr, n, sep); });
        break;
    }
    }
}

inline void CheckBuild(Reader &in, std::string &failure)
{
    uint32_t    id       = in.U8() % 80;
    size_t      capacity = in.U16() % 1100;
    uint8_t     seq_in   = in.U8();
    bool        with_seq = (seq_in & 1) == 0 || seq_in == kZcbNoSeq;
    ZcbFrameBuf buf(capacity);
    ZcbFrameBuf unbounded(1 << 16);
    int32_t     begun = kZZcbMsg_Begin(id, buf);
    kZZcbMsg_Begin(id, unbounded);
    if (id == kZcbMsg_Invalid)
    {
        if (begun != -201 || !buf.text.empty())
            Fail(failure, "Begin accepted identifier 78");
        return;
    }
    for (int fields = 0; fields < 24 && !in.Empty(); ++fields)
        PutField(in, buf, unbounded);

    uint8_t seq       = seq_in;
    uint8_t seq_shown = seq_in;
    int32_t finished  = kZZcbMsg_Finish(id, buf, with_seq ? &seq : nullptr);
    kZZcbMsg_Finish(id, unbounded, with_seq ? &seq_shown : nullptr);
    if (buf.text.size() > capacity)
        Fail(failure, "builder wrote past the capacity");
    if (finished == -201)
    {
        if (!buf.text.empty())
            Fail(failure, "a refused frame left text behind");
        // seq_shown may have drawn another number; compare lengths only.
        if (unbounded.text.size() <= capacity)
            Fail(failure, "a frame that fits was refused");
        return;
    }
    if (finished != 0)
    {
        Fail(failure, "Finish failed with " + std::to_string(finished));
        return;
    }
    if (with_seq && (seq == kZcbNoSeq || (seq_in != kZcbNoSeq && seq != seq_in)))
        Fail(failure, "Finish wrote a wrong sequence number");
    std::string tag = kZZcbMsg_TagOf(id);
    if (buf.text.compare(0, tag.size() + 1, tag + "{") != 0 || buf.text.back() != '}')
        Fail(failure, "built frame lacks its tag or closing brace");

    // Parse it back when it is a frame the parser can take at all.
    std::string_view payload = std::string_view(buf.text).substr(tag.size() + 1);
    payload.remove_suffix(1);
    bool parseable = tag.starts_with("<zvsper") && !payload.empty() && payload.size() < kZcbPayloadSize &&
                     payload.find_first_of(std::string_view(" \t\r\n}\0", 6)) == std::string_view::npos &&
                     (payload.size() >= 7 || payload.size() <= 4);
    if (!parseable)
        return;
    std::vector<SeenFrame> frames;
    WatchedParse(buf.text, frames, failure);
    if (frames.size() != 1 || frames[0].id != id || frames[0].payload != payload)
        Fail(failure, "built frame did not parse back: " + buf.text);
}

inline std::string CheckUtils(const uint8_t *data, size_t size)
{
    std::string failure;
    Reader      in(data, size);
    switch (in.U8() % 3)
    {
    case 0:
        CheckHex(in, failure);
        break;
    case 1:
        CheckSplit(in, failure);
        break;
    default:
        CheckBuild(in, failure);
        break;
    }
    return failure;
}

// Every log statement is formatted (so its arguments are exercised) and then dropped.
inline void QuietLog()
{
    LogSink sink;
    sink.console = [](std::string_view) {};
    sink.system  = [](int, const char *) {};
    kLogSetSink(std::move(sink));
    kLogSetThreshold(0);
}

} // namespace zcbfuzz
