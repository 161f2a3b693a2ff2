#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// One HTTP/1.x request as the demo server's tunnel end reads it.
struct THttpServerRequest
{
    std::string Method;
    // As written in the request line.
    std::string Target;
    // The path of an origin-form ("/post/x?y") or absolute-form
    // ("http://host:port/post/x?y", as a proxy forwards it) target, without
    // the query.
    std::string Path;
    std::string Query;
    // 0 for HTTP/1.0, 1 for HTTP/1.1.
    int MinorVersion = 1;
    // Names in lower case, values without surrounding blanks, in order.
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;
    // HTTP/1.1 unless "Connection: close"; HTTP/1.0 only with "Connection: keep-alive".
    bool KeepAlive = true;
    bool ExpectsContinue = false;

    // The first header of that (lower-case) name, or none.
    const std::string *Header(const std::string &name) const;
};

// Cuts requests out of the bytes of one connection: request line, headers,
// and a body of Content-Length bytes. Bytes may arrive split anywhere, and
// several requests may arrive at once. Every limit is checked before more is
// buffered for it; a broken request leaves the parser failed with the status
// to answer, after which the connection is closed.
class THttpRequestParser
{
public:
    static constexpr std::size_t MaxHeadBytes = 16 * 1024;
    static constexpr std::size_t MaxHeaderCount = 100;
    static constexpr std::size_t MaxBodyBytes = 256 * 1024;

    enum TResult { NeedMore, Complete, Failed };

    void Feed(const std::string &bytes);
    // Complete: Request() holds the next request, taken from the buffer.
    // NeedMore: wait for more bytes. Failed: ErrorStatus() and ErrorText() say why.
    TResult Next();

    const THttpServerRequest &Request() const { return FRequest; }
    int ErrorStatus() const { return FErrorStatus; }
    const std::string &ErrorText() const { return FErrorText; }
    // True once, when a head asking for "100-continue" has been read and its
    // body is still to come.
    bool TakeContinue();
    // Bytes fed and not yet taken by a request.
    std::size_t Buffered() const { return FBuffer.size(); }

private:
    TResult Fail(int status, const std::string &text);
    TResult ParseHead(const std::string &head);

    std::string FBuffer;
    std::size_t FSearchFrom = 0;
    bool FInBody = false;
    std::size_t FBodyLength = 0;
    bool FContinuePending = false;
    THttpServerRequest FRequest;
    int FErrorStatus = 0;
    std::string FErrorText;
};

// "OK", "Not Found", ... for the statuses the tunnel end answers with.
const char *HttpReasonPhrase(int status);
