#pragma once

// The client's side of the alert protocol, written out plainly for the demo
// server tests: message encoding, frame decoding and a check of alert texts.

#include "ZLibEx.h"

#include <charconv>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

using TTestPairs = std::vector<std::pair<std::string, std::string>>;

inline const std::string &TestPreamble()
{
    static const std::string preamble = "command=set_output&mode=zlib\r\ncommand=set_input&mode=zlib\r\n";
    return preamble;
}

inline void AppendLe32(std::string &bytes, std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((bits >> (8 * i)) & 0xFF);
}

inline std::int32_t ReadLe32(const std::string &bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return static_cast<std::int32_t>(value);
}

// One message; a non-zero id goes first as the "message_id" pair.
inline std::string EncodeMessage(int id, const TTestPairs &pairs)
{
    std::string bytes;
    auto field = [&](const std::string &text) {
        AppendLe32(bytes, static_cast<std::int32_t>(text.size()));
        bytes += text;
    };
    if (id > 0) {
        field("message_id");
        field(std::to_string(id));
    }
    for (const auto &[name, value] : pairs) {
        field(name);
        field(value);
    }
    AppendLe32(bytes, 0);
    return bytes;
}

inline std::string LoginMessage(int id, const std::string &user, const std::string &password,
                                const std::string &sessionId = "")
{
    return EncodeMessage(
        id, {{"command", "login"}, {"username", user}, {"password", password}, {"session_id", sessionId}});
}

inline std::string SubscribeMessages(int id)
{
    return EncodeMessage(id, {{"command", "listen_for_alerts"}}) +
           EncodeMessage(0, {{"command", "add_alert_category"}, {"category", "CORVANE-main"}});
}

inline std::string PingMessage(int id)
{
    return EncodeMessage(id, {{"command", "ping"}, {"response", "1"}});
}

// The client's outgoing zlib stream: each call is one sync-flushed batch.
class TTestSender
{
public:
    std::string Compress(const std::string &messages)
    {
        FCompressor.Write(messages);
        FCompressor.Flush();
        std::string out = std::move(FCompressor.Output);
        FCompressor.Output.clear();
        return out;
    }

private:
    TZLibCompressor FCompressor;
};

struct TTestFrame
{
    std::int32_t Id;
    std::string Body;
};

// Inflates the server's stream and cuts it into frames. A corrupt stream
// raises EZDecompressionError from Feed.
class TTestFrameReader
{
public:
    std::vector<TTestFrame> Feed(const std::string &compressed)
    {
        FDecompressor.Decompress(compressed);
        FBuffer += FDecompressor.Output;
        FDecompressor.Output.clear();
        std::vector<TTestFrame> frames;
        while (FBuffer.size() >= 8) {
            const std::int32_t length = ReadLe32(FBuffer, 4);
            if (length < 0)
                throw EZDecompressionError("negative frame length");
            if (FBuffer.size() < 8 + static_cast<std::size_t>(length))
                break;
            frames.push_back({ReadLe32(FBuffer, 0), FBuffer.substr(8, length)});
            FBuffer.erase(0, 8 + length);
        }
        return frames;
    }

private:
    TZLibDecompressor FDecompressor;
    std::string FBuffer;
};

inline int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Strict for the server's output: every "%" must start a valid escape.
inline bool TestPercentDecode(const std::string &text, std::string &out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// Checks one alert text as the client reads it; returns what is wrong, or
// the empty text. The decoded payload goes to *payload.
inline std::string CheckAlertText(const std::string &text,
                                  std::map<std::string, std::string> *payload = nullptr)
{
    const std::string head = "CORVANE-main\r\n";
    if (text.compare(0, head.size(), head) != 0)
        return "category line missing";
    const std::string line = text.substr(head.size());
    if (line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0)
        return "payload line does not end in CR LF";
    const std::string encoded = line.substr(0, line.size() - 2);
    if (encoded.find_first_of("\r\n") != std::string::npos)
        return "more than one payload line";

    std::map<std::string, std::string> pairs;
    std::size_t at = 0;
    while (at <= encoded.size()) {
        std::size_t amp = encoded.find('&', at);
        if (amp == std::string::npos)
            amp = encoded.size();
        const std::string pair = encoded.substr(at, amp - at);
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos)
            return "pair without '=': " + pair;
        std::string name, value;
        if (!TestPercentDecode(pair.substr(0, eq), name) || !TestPercentDecode(pair.substr(eq + 1), value))
            return "bad percent escape in " + pair;
        if (pair.find_first_of("=", eq + 1) != std::string::npos)
            return "unencoded '=' in " + pair;
        if (!pairs.emplace(name, value).second)
            return "key twice: " + name;
        at = amp + 1;
    }

    auto number = [](const std::string &value) {
        // Two decimals with "." and nothing else, as every client locale can reread it.
        double parsed = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), parsed);
        const std::size_t dot = value.find('.');
        return error == std::errc() && end == value.data() + value.size() && dot != std::string::npos &&
               value.size() - dot == 3;
    };
    const std::string &wid = pairs["w_id"];
    if (wid.size() != 1 || wid[0] < '1' || wid[0] > '8')
        return "w_id not 1 to 8: " + wid;
    const int window = wid[0] - '0';
    const bool bollinger = window >= 3 && window <= 6;
    const std::set<std::string> expected =
        bollinger ? std::set<std::string>{"w_id", "action", "symbol", "last", "prev_close", "dist_from_bb"}
                  : std::set<std::string>{"w_id", "symbol", "last", "prev_close", "sma_divergence", "time"};
    std::set<std::string> keys;
    for (const auto &entry : pairs)
        keys.insert(entry.first);
    if (keys != expected)
        return "unexpected keys for window " + wid;
    const std::string &symbol = pairs["symbol"];
    if (symbol.empty() || symbol.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ.") != std::string::npos)
        return "bad symbol: " + symbol;
    for (const char *key : {"last", "prev_close", bollinger ? "dist_from_bb" : "sma_divergence"})
        if (!number(pairs[key]))
            return std::string("bad number in ") + key + ": " + pairs[key];
    if (pairs["last"][0] == '-' || pairs["prev_close"][0] == '-')
        return "negative price";
    if (bollinger && pairs["action"] != "add" && pairs["action"] != "delete")
        return "bad action: " + pairs["action"];
    if (!bollinger) {
        const std::string &time = pairs["time"];
        const bool shaped = time.size() == 8 && time[2] == ':' && time[5] == ':' &&
                            time.find_first_not_of("0123456789:") == std::string::npos;
        if (!shaped || std::stoi(time.substr(0, 2)) > 23 || std::stoi(time.substr(3, 2)) > 59 ||
            std::stoi(time.substr(6, 2)) > 59)
            return "bad time: " + time;
    }
    if (payload)
        *payload = std::move(pairs);
    return "";
}
