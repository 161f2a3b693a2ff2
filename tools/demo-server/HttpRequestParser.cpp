#include "HttpRequestParser.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsTokenChar(char c)
{
    if (std::isalnum(static_cast<unsigned char>(c)))
        return true;
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

bool IsToken(const std::string &text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string TrimBlanks(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The comma-separated tokens of a header such as Connection, in lower case.
bool HasToken(const std::string &list, const std::string &token)
{
    std::size_t at = 0;
    while (at <= list.size()) {
        std::size_t comma = list.find(',', at);
        if (comma == std::string::npos)
            comma = list.size();
        if (Lower(TrimBlanks(list.substr(at, comma - at))) == token)
            return true;
        at = comma + 1;
    }
    return false;
}

// Splits the head into lines; a line ends in CR LF or a bare LF.
std::vector<std::string> HeadLines(const std::string &head)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < head.size()) {
        std::size_t newline = head.find('\n', at);
        if (newline == std::string::npos)
            newline = head.size();
        std::string line = head.substr(at, newline - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        at = newline + 1;
    }
    return lines;
}

} // namespace

const std::string *THttpServerRequest::Header(const std::string &name) const
{
    for (const auto &header : Headers)
        if (header.first == name)
            return &header.second;
    return nullptr;
}

void THttpRequestParser::Feed(const std::string &bytes)
{
    FBuffer += bytes;
}

bool THttpRequestParser::TakeContinue()
{
    const bool pending = FContinuePending;
    FContinuePending = false;
    return pending;
}

THttpRequestParser::TResult THttpRequestParser::Fail(int status, const std::string &text)
{
    FErrorStatus = status;
    FErrorText = text;
    FBuffer.clear();
    return Failed;
}

THttpRequestParser::TResult THttpRequestParser::Next()
{
    if (FErrorStatus != 0)
        return Failed;
    if (!FInBody) {
        // Empty lines in front of a request line are allowed and skipped.
        std::size_t skip = 0;
        while (skip < FBuffer.size() && (FBuffer[skip] == '\r' || FBuffer[skip] == '\n'))
            ++skip;
        if (skip > 0) {
            FBuffer.erase(0, skip);
            FSearchFrom = 0;
        }
        // The head ends with an empty line: LF followed by LF or by CR LF.
        std::size_t end = std::string::npos;
        for (std::size_t i = FSearchFrom; i < FBuffer.size(); ++i) {
            if (FBuffer[i] != '\n')
                continue;
            if (i + 1 < FBuffer.size() && FBuffer[i + 1] == '\n') {
                end = i + 2;
                break;
            }
            if (i + 2 < FBuffer.size() && FBuffer[i + 1] == '\r' && FBuffer[i + 2] == '\n') {
                end = i + 3;
                break;
            }
        }
        if (end == std::string::npos) {
            if (FBuffer.size() > MaxHeadBytes)
                return Fail(431, "request head longer than " + std::to_string(MaxHeadBytes) + " bytes");
            // The blank line may straddle what came so far and what comes next.
            FSearchFrom = FBuffer.size() > 2 ? FBuffer.size() - 2 : 0;
            return NeedMore;
        }
        if (end > MaxHeadBytes)
            return Fail(431, "request head longer than " + std::to_string(MaxHeadBytes) + " bytes");
        const std::string head = FBuffer.substr(0, end);
        FBuffer.erase(0, end);
        FSearchFrom = 0;
        const TResult result = ParseHead(head);
        if (result == Failed)
            return result;
        FInBody = true;
        FContinuePending = FRequest.ExpectsContinue && FBodyLength > 0 && FBuffer.size() < FBodyLength;
    }
    if (FBuffer.size() < FBodyLength)
        return NeedMore;
    FRequest.Body = FBuffer.substr(0, FBodyLength);
    FBuffer.erase(0, FBodyLength);
    FInBody = false;
    FBodyLength = 0;
    FContinuePending = false;
    return Complete;
}

THttpRequestParser::TResult THttpRequestParser::ParseHead(const std::string &head)
{
    FRequest = THttpServerRequest();
    const std::vector<std::string> lines = HeadLines(head);
    // The last line is the empty one that ended the head.
    if (lines.empty())
        return Fail(400, "empty request");

    const std::string &requestLine = lines.front();
    const std::size_t firstSpace = requestLine.find(' ');
    const std::size_t secondSpace =
        firstSpace == std::string::npos ? std::string::npos : requestLine.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos || requestLine.find(' ', secondSpace + 1) != std::string::npos)
        return Fail(400, "malformed request line");
    FRequest.Method = requestLine.substr(0, firstSpace);
    FRequest.Target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const std::string version = requestLine.substr(secondSpace + 1);
    if (!IsToken(FRequest.Method))
        return Fail(400, "malformed method");
    if (FRequest.Target.empty() || std::any_of(FRequest.Target.begin(), FRequest.Target.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
        }))
        return Fail(400, "malformed request target");
    if (version == "HTTP/1.1")
        FRequest.MinorVersion = 1;
    else if (version == "HTTP/1.0")
        FRequest.MinorVersion = 0;
    else if (version.size() == 8 && version.compare(0, 5, "HTTP/") == 0 &&
             std::isdigit(static_cast<unsigned char>(version[5])) && version[6] == '.' &&
             std::isdigit(static_cast<unsigned char>(version[7])))
        return Fail(505, "HTTP version " + version.substr(5) + " is not supported");
    else
        return Fail(400, "malformed HTTP version");

    // Origin form, or absolute form as a proxy forwards it.
    std::string pathAndQuery;
    if (FRequest.Target.front() == '/') {
        pathAndQuery = FRequest.Target;
    } else {
        const std::string lower = Lower(FRequest.Target);
        std::size_t authority = 0;
        if (lower.compare(0, 7, "http://") == 0)
            authority = 7;
        else if (lower.compare(0, 8, "https://") == 0)
            authority = 8;
        else
            return Fail(400, "request target is neither a path nor an http URL");
        const std::size_t pathStart = FRequest.Target.find_first_of("/?", authority);
        if (pathStart == authority)
            return Fail(400, "request URL without a host");
        pathAndQuery = pathStart == std::string::npos ? "/" : FRequest.Target.substr(pathStart);
        if (pathAndQuery.front() == '?')
            pathAndQuery.insert(0, "/");
    }
    const std::size_t question = pathAndQuery.find('?');
    FRequest.Path = pathAndQuery.substr(0, question);
    if (question != std::string::npos)
        FRequest.Query = pathAndQuery.substr(question + 1);

    // Every line but the request line and the final empty one is a header.
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.front() == ' ' || line.front() == '\t')
            return Fail(400, "folded header line");
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos || !IsToken(line.substr(0, colon)))
            return Fail(400, "malformed header line");
        const std::string value = TrimBlanks(line.substr(colon + 1));
        if (std::any_of(value.begin(), value.end(), [](char c) {
                return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
            }))
            return Fail(400, "control character in a header value");
        if (FRequest.Headers.size() == MaxHeaderCount)
            return Fail(431, "more than " + std::to_string(MaxHeaderCount) + " header lines");
        FRequest.Headers.emplace_back(Lower(line.substr(0, colon)), value);
    }

    // A transfer coding would need a chunk decoder; every client of the
    // tunnel sends a Content-Length.
    if (FRequest.Header("transfer-encoding"))
        return Fail(501, "request bodies with a transfer coding are not supported");
    bool haveLength = false;
    FBodyLength = 0;
    for (const auto &[name, value] : FRequest.Headers) {
        if (name != "content-length")
            continue;
        if (value.empty() || value.size() > 12 ||
            !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return Fail(400, "malformed Content-Length");
        const std::size_t length = std::stoull(value);
        if (haveLength && length != FBodyLength)
            return Fail(400, "conflicting Content-Length headers");
        haveLength = true;
        FBodyLength = length;
    }
    if (FBodyLength > MaxBodyBytes)
        return Fail(413, "request body of " + std::to_string(FBodyLength) + " bytes is over the limit of " +
                             std::to_string(MaxBodyBytes));

    const std::string *connection = FRequest.Header("connection");
    if (FRequest.MinorVersion == 1)
        FRequest.KeepAlive = !(connection && HasToken(*connection, "close"));
    else
        FRequest.KeepAlive = connection && HasToken(*connection, "keep-alive");
    const std::string *expect = FRequest.Header("expect");
    FRequest.ExpectsContinue = FRequest.MinorVersion == 1 && expect && Lower(*expect) == "100-continue";
    return Complete;
}

const char *HttpReasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    case 415:
        return "Unsupported Media Type";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}
