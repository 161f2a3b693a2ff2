#include "HttpRequestParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds the bytes in pieces of the given size and collects what the parser makes of them.
struct TParsed
{
    std::vector<THttpServerRequest> Requests;
    int ErrorStatus = 0;
};

TParsed ParseInPieces(const std::string &bytes, std::size_t piece)
{
    THttpRequestParser parser;
    TParsed parsed;
    for (std::size_t at = 0; at < bytes.size() && parsed.ErrorStatus == 0; at += piece) {
        parser.Feed(bytes.substr(at, piece));
        for (;;) {
            const THttpRequestParser::TResult result = parser.Next();
            if (result == THttpRequestParser::Complete) {
                parsed.Requests.push_back(parser.Request());
                continue;
            }
            if (result == THttpRequestParser::Failed)
                parsed.ErrorStatus = parser.ErrorStatus();
            break;
        }
    }
    return parsed;
}

const std::string PostBody = "sequence=0&body=ywjJ";

// A GET, a POST with a body and a POST in absolute form, back to back as a
// kept-alive connection (or a pipelining client) sends them.
const std::string ThreeRequests = "GET /tunnel HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n"
                                  "POST /post/abc?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Content-Type: application/x-www-form-urlencoded\r\n"
                                  "Content-Length: 20\r\n\r\n" +
                                  PostBody +
                                  "POST http://127.0.0.1:8080/post/def HTTP/1.0\r\n"
                                  "Content-Length: 4\r\nConnection: Keep-Alive\r\n\r\nab\r\n";

TEST(HttpRequestParser, SameRequestsWhereverTheBytesAreSplit)
{
    for (std::size_t piece = 1; piece <= ThreeRequests.size(); ++piece) {
        const TParsed parsed = ParseInPieces(ThreeRequests, piece);
        ASSERT_EQ(parsed.ErrorStatus, 0) << piece;
        ASSERT_EQ(parsed.Requests.size(), 3u) << piece;

        const THttpServerRequest &get = parsed.Requests[0];
        EXPECT_EQ(get.Method, "GET");
        EXPECT_EQ(get.Path, "/tunnel");
        EXPECT_EQ(get.Body, "");
        ASSERT_NE(get.Header("host"), nullptr);
        EXPECT_EQ(*get.Header("host"), "127.0.0.1:8080");

        const THttpServerRequest &post = parsed.Requests[1];
        EXPECT_EQ(post.Method, "POST");
        EXPECT_EQ(post.Target, "/post/abc?x=1");
        EXPECT_EQ(post.Path, "/post/abc");
        EXPECT_EQ(post.Query, "x=1");
        EXPECT_EQ(post.Body, PostBody) << piece;
        EXPECT_TRUE(post.KeepAlive);

        const THttpServerRequest &absolute = parsed.Requests[2];
        EXPECT_EQ(absolute.Path, "/post/def");
        EXPECT_EQ(absolute.MinorVersion, 0);
        // The body may hold CR LF; only its length counts.
        EXPECT_EQ(absolute.Body, "ab\r\n");
        EXPECT_TRUE(absolute.KeepAlive);
    }
}

TEST(HttpRequestParser, BareLineFeedsAndLeadingEmptyLinesAreAccepted)
{
    const TParsed parsed = ParseInPieces("\r\n\nGET / HTTP/1.1\nHost: x\n\n", 1000);
    ASSERT_EQ(parsed.Requests.size(), 1u);
    EXPECT_EQ(parsed.Requests[0].Path, "/");
}

struct TTargetCase
{
    const char *Name;
    std::string Target;
    std::string Path;
    std::string Query;
};

void PrintTo(const TTargetCase &row, std::ostream *out)
{
    *out << row.Name;
}

class HttpRequestParserTarget : public ::testing::TestWithParam<TTargetCase>
{
};

TEST_P(HttpRequestParserTarget, GivesThePath)
{
    const TParsed parsed = ParseInPieces("GET " + GetParam().Target + " HTTP/1.1\r\n\r\n", 1000);
    ASSERT_EQ(parsed.ErrorStatus, 0);
    ASSERT_EQ(parsed.Requests.size(), 1u);
    EXPECT_EQ(parsed.Requests[0].Path, GetParam().Path);
    EXPECT_EQ(parsed.Requests[0].Query, GetParam().Query);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpRequestParserTarget,
                         ::testing::Values(TTargetCase{"Origin", "/post/x", "/post/x", ""},
                                           TTargetCase{"OriginWithQuery", "/a?b=c&d", "/a", "b=c&d"},
                                           TTargetCase{"Absolute", "http://127.0.0.1:9/post/x?q", "/post/x",
                                                       "q"},
                                           TTargetCase{"AbsoluteUpperCaseScheme", "HTTP://host/t", "/t", ""},
                                           TTargetCase{"AbsoluteWithoutPath", "http://host:80", "/", ""},
                                           TTargetCase{"AbsoluteQueryOnly", "http://host?q", "/", "q"}),
                         [](const auto &info) { return std::string(info.param.Name); });

struct TKeepAliveCase
{
    const char *Name;
    std::string Version;
    std::string Connection; // empty: no header
    bool KeepAlive;
};

void PrintTo(const TKeepAliveCase &row, std::ostream *out)
{
    *out << row.Name;
}

class HttpRequestParserKeepAlive : public ::testing::TestWithParam<TKeepAliveCase>
{
};

TEST_P(HttpRequestParserKeepAlive, FollowsVersionAndConnectionHeader)
{
    const std::string header =
        GetParam().Connection.empty() ? "" : "Connection: " + GetParam().Connection + "\r\n";
    const TParsed parsed = ParseInPieces("GET / " + GetParam().Version + "\r\n" + header + "\r\n", 1000);
    ASSERT_EQ(parsed.Requests.size(), 1u);
    EXPECT_EQ(parsed.Requests[0].KeepAlive, GetParam().KeepAlive);
}

INSTANTIATE_TEST_SUITE_P(Cases, HttpRequestParserKeepAlive,
                         ::testing::Values(TKeepAliveCase{"Http11", "HTTP/1.1", "", true},
                                           TKeepAliveCase{"Http11Close", "HTTP/1.1", "Close", false},
                                           TKeepAliveCase{"Http11CloseInList", "HTTP/1.1", "TE, close",
                                                          false},
                                           TKeepAliveCase{"Http10", "HTTP/1.0", "", false},
                                           TKeepAliveCase{"Http10KeepAlive", "HTTP/1.0", "keep-alive", true}),
                         [](const auto &info) { return std::string(info.param.Name); });

struct TErrorCase
{
    const char *Name;
    std::string Bytes;
    int Status;
};

void PrintTo(const TErrorCase &row, std::ostream *out)
{
    *out << row.Name;
}

class HttpRequestParserError : public ::testing::TestWithParam<TErrorCase>
{
};

TEST_P(HttpRequestParserError, FailsWithTheStatus)
{
    // Whole and byte by byte: a limit must hold however the bytes arrive.
    for (const std::size_t piece : {GetParam().Bytes.size(), std::size_t{1}}) {
        const TParsed parsed = ParseInPieces(GetParam().Bytes, piece);
        EXPECT_EQ(parsed.ErrorStatus, GetParam().Status) << piece;
        EXPECT_TRUE(parsed.Requests.empty()) << piece;
    }
}

std::string ManyHeaders(std::size_t count)
{
    std::string head = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < count; ++i)
        head += "X-H" + std::to_string(i) + ": v\r\n";
    return head + "\r\n";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HttpRequestParserError,
    ::testing::Values(
        TErrorCase{"TwoWordRequestLine", "GET /\r\n\r\n", 400},
        TErrorCase{"FourWordRequestLine", "GET / x HTTP/1.1\r\n\r\n", 400},
        TErrorCase{"BadMethod", "G(T / HTTP/1.1\r\n\r\n", 400},
        TErrorCase{"NotHttp", "GET / FTP/1.0\r\n\r\n", 400},
        TErrorCase{"Http2", "GET / HTTP/2.0\r\n\r\n", 505},
        TErrorCase{"AsteriskTarget", "OPTIONS * HTTP/1.1\r\n\r\n", 400},
        TErrorCase{"AuthorityTarget", "CONNECT host:80 HTTP/1.1\r\n\r\n", 400},
        TErrorCase{"UrlWithoutHost", "GET http:///x HTTP/1.1\r\n\r\n", 400},
        TErrorCase{"HeaderWithoutColon", "GET / HTTP/1.1\r\nHost\r\n\r\n", 400},
        TErrorCase{"BlankBeforeColon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
        TErrorCase{"FoldedHeader", "GET / HTTP/1.1\r\nX-A: b\r\n c\r\n\r\n", 400},
        TErrorCase{"ControlInValue", std::string("GET / HTTP/1.1\r\nX-A: b\x01\r\n\r\n"), 400},
        TErrorCase{"BadContentLength", "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", 400},
        TErrorCase{"NegativeContentLength", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        TErrorCase{"ConflictingContentLengths",
                   "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", 400},
        TErrorCase{"BodyOverTheLimit",
                   "POST / HTTP/1.1\r\nContent-Length: " +
                       std::to_string(THttpRequestParser::MaxBodyBytes + 1) + "\r\n\r\n",
                   413},
        TErrorCase{"HugeContentLength", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
                   400},
        TErrorCase{"ChunkedBody", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 501},
        TErrorCase{"HeadOverTheLimit",
                   "GET / HTTP/1.1\r\nX-Long: " + std::string(THttpRequestParser::MaxHeadBytes, 'a'), 431},
        TErrorCase{"TooManyHeaders", ManyHeaders(THttpRequestParser::MaxHeaderCount + 1), 431}),
    [](const auto &info) { return std::string(info.param.Name); });

TEST(HttpRequestParser, TheHeaderCountLimitItselfIsAllowed)
{
    const TParsed parsed = ParseInPieces(ManyHeaders(THttpRequestParser::MaxHeaderCount), 1000);
    EXPECT_EQ(parsed.ErrorStatus, 0);
    EXPECT_EQ(parsed.Requests.size(), 1u);
}

TEST(HttpRequestParser, AnUnfinishedHeadDoesNotGrowPastTheLimit)
{
    THttpRequestParser parser;
    parser.Feed("GET / HTTP/1.1\r\nX-Slow: ");
    THttpRequestParser::TResult result = THttpRequestParser::NeedMore;
    for (int i = 0; i < 100 && result == THttpRequestParser::NeedMore; ++i) {
        parser.Feed(std::string(1000, 'a'));
        result = parser.Next();
        EXPECT_LE(parser.Buffered(), THttpRequestParser::MaxHeadBytes + 1000);
    }
    EXPECT_EQ(result, THttpRequestParser::Failed);
    EXPECT_EQ(parser.ErrorStatus(), 431);
    EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(HttpRequestParser, ContinueIsOfferedOnceWhileTheBodyIsOutstanding)
{
    THttpRequestParser parser;
    parser.Feed("POST /p HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(parser.Next(), THttpRequestParser::NeedMore);
    EXPECT_TRUE(parser.TakeContinue());
    EXPECT_FALSE(parser.TakeContinue());
    parser.Feed("abc");
    ASSERT_EQ(parser.Next(), THttpRequestParser::Complete);
    EXPECT_EQ(parser.Request().Body, "abc");

    // Body already there, or an HTTP/1.0 client: no interim answer.
    THttpRequestParser whole;
    whole.Feed("POST /p HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(whole.Next(), THttpRequestParser::Complete);
    EXPECT_FALSE(whole.TakeContinue());
    THttpRequestParser old;
    old.Feed("POST /p HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(old.Next(), THttpRequestParser::NeedMore);
    EXPECT_FALSE(old.TakeContinue());
}

} // namespace
