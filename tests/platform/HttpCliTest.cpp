#include "HttpCli.h"
#include "EventLoop.h"
#include "HttpProxies.h"
#include "ScriptedHttpServer.h"
#include "SocksProxies.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Rows of the case tables print as their names.
#define PRINTS_AS_NAME(Row)                                                                                  \
    [[maybe_unused]] void PrintTo(const Row &row, std::ostream *os)                                          \
    {                                                                                                        \
        *os << row.Name;                                                                                     \
    }

struct TDone
{
    THttpRequest Type;
    int ErrCode;
    THttpState State;
    int Status;
    std::string Reason;
};

// Records what the client reports: the body pieces and every request end.
struct TRecorder
{
    explicit TRecorder(THttpCli &client)
    {
        client.OnDocData = [this](THttpCli *, const char *buffer, int len) {
            Pieces.emplace_back(buffer, static_cast<size_t>(len));
            Body.append(buffer, static_cast<size_t>(len));
            DoneAtPiece.push_back(Done.size());
        };
        client.OnRequestDone = [this](THttpCli *sender, THttpRequest type, int errCode) {
            Done.push_back(
                TDone{type, errCode, sender->State(), sender->StatusCode(), sender->ReasonPhrase()});
        };
    }
    std::vector<std::string> Pieces;
    std::string Body;
    std::vector<size_t> DoneAtPiece; // requests already done when each piece came
    std::vector<TDone> Done;
};

class HttpCliTest : public ::testing::Test
{
protected:
    // Answers every request with 200 and a body naming its method and path.
    void AnswerEverything()
    {
        Server.OnRequest = [this](const TScriptedHttpServer::TRequest &request) {
            Server.Reply(request.Id, 200, "OK", request.Method + " " + request.Path());
        };
    }

    TScriptedHttpServer Server;
    std::unique_ptr<THttpCli> Client = std::make_unique<THttpCli>();
    TRecorder Events{*Client};
};

// ---- A body in pieces ----

class HttpCliBodyModeTest : public HttpCliTest,
                            public ::testing::WithParamInterface<TScriptedHttpServer::TBodyMode>
{
};

TEST_P(HttpCliBodyModeTest, EachPieceOfALongGetIsReportedWhenItArrives)
{
    Client->URL = Server.Url("/stream");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    EXPECT_EQ(Server.Requests()[0].Method, "GET");
    EXPECT_EQ(Server.Requests()[0].Path(), "/stream");
    Server.BeginBody(0, 200, "OK", GetParam());

    // Each piece must reach the handler while the response is still open.
    const std::vector<std::string> pieces{"first line\r\n", std::string("\0\x01\xff", 3), "third"};
    std::string expected;
    for (const std::string &piece : pieces) {
        Server.SendPiece(0, piece);
        expected += piece;
        ASSERT_TRUE(WaitFor([&] { return Events.Body == expected; })) << "got " << Events.Body.size();
        EXPECT_TRUE(Events.Done.empty());
        EXPECT_EQ(Client->State(), httpWaitingBody);
    }
    EXPECT_EQ(Client->StatusCode(), 200);
    EXPECT_EQ(Client->ReasonPhrase(), "OK");

    Server.EndBody(0);
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    ProcessPostedEvents();
    ASSERT_EQ(Events.Done.size(), 1u);
    EXPECT_EQ(Events.Done[0].Type, httpGET);
    EXPECT_EQ(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].State, httpReady);
    EXPECT_EQ(Events.Done[0].Status, 200);
    EXPECT_EQ(Events.Body, expected);
    for (const size_t done : Events.DoneAtPiece)
        EXPECT_EQ(done, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, HttpCliBodyModeTest,
                         ::testing::Values(TScriptedHttpServer::Chunked, TScriptedHttpServer::UntilClose),
                         [](const auto &info) {
                             return info.param == TScriptedHttpServer::Chunked ? "Chunked" : "UntilClose";
                         });

TEST_F(HttpCliTest, RequestStateFollowsTheRequest)
{
    EXPECT_EQ(Client->State(), httpReady);
    Client->URL = Server.Url("/state");
    Client->GetASync();
    EXPECT_EQ(Client->State(), httpDnsLookup);
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    ASSERT_TRUE(WaitFor([&] { return Client->State() == httpWaitingHeader; }));
    Server.BeginBody(0, 200, "OK", TScriptedHttpServer::Chunked);
    Server.SendPiece(0, "x");
    ASSERT_TRUE(WaitFor([&] { return Client->State() == httpWaitingBody; }));
    Server.EndBody(0);
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    EXPECT_EQ(Client->State(), httpReady);
}

TEST_F(HttpCliTest, ABodyCutShortIsATransportFailure)
{
    Client->URL = Server.Url("/cut");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    Server.BeginBody(0, 200, "OK", TScriptedHttpServer::Chunked);
    Server.SendPiece(0, "partial");
    ASSERT_TRUE(WaitFor([&] { return Events.Body == "partial"; }));
    Server.Cut(0);
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    ProcessPostedEvents();
    ASSERT_EQ(Events.Done.size(), 1u);
    EXPECT_NE(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].State, httpReady);
}

TEST_F(HttpCliTest, ARefusedConnectionEndsWithAnErrorCodeAndNoStatus)
{
    Client->URL = "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/";
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    ProcessPostedEvents();
    ASSERT_EQ(Events.Done.size(), 1u);
    EXPECT_NE(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].Status, 0);
    EXPECT_FALSE(Events.Done[0].Reason.empty());
    EXPECT_EQ(Client->State(), httpReady);
}

// ---- POST ----

struct TStatusCase
{
    const char *Name;
    int Status;
    const char *Reason;
};

PRINTS_AS_NAME(TStatusCase)

class HttpCliPostTest : public HttpCliTest, public ::testing::WithParamInterface<TStatusCase>
{
};

TEST_P(HttpCliPostTest, SendsTheStreamFromItsPositionAndReportsTheStatus)
{
    Server.OnRequest = [this](const TScriptedHttpServer::TRequest &request) {
        Server.Reply(request.Id, GetParam().Status, GetParam().Reason, "reply body");
    };
    std::stringstream stream;
    stream.str("skipped|sequence=3&body=ywjJ");
    stream.seekg(8);
    Client->SendStream = &stream;
    Client->URL = Server.Url("/post?x=1");
    Client->PostASync();
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    ProcessPostedEvents();

    ASSERT_EQ(Server.Requests().size(), 1u);
    const auto &request = Server.Requests()[0];
    EXPECT_EQ(request.Method, "POST");
    EXPECT_EQ(request.Path(), "/post?x=1");
    EXPECT_EQ(request.Version, "HTTP/1.1");
    EXPECT_EQ(request.Body, "sequence=3&body=ywjJ");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    ASSERT_EQ(Events.Done.size(), 1u);
    EXPECT_EQ(Events.Done[0].Type, httpPOST);
    EXPECT_EQ(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].Status, GetParam().Status);
    EXPECT_EQ(Events.Done[0].Reason, GetParam().Reason);
    EXPECT_EQ(Events.Body, "reply body");
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpCliPostTest,
                         ::testing::Values(TStatusCase{"Ok", 200, "OK"},
                                           TStatusCase{"NotFound", 404, "Not Found"},
                                           TStatusCase{"ServerError", 500, "Internal Server Error"},
                                           TStatusCase{"Unavailable", 503, "Busy Right Now"}),
                         [](const auto &info) { return std::string(info.param.Name); });

TEST_F(HttpCliTest, PostWithoutAStreamSendsAnEmptyBody)
{
    AnswerEverything();
    Client->URL = Server.Url("/empty");
    Client->PostASync();
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    ASSERT_EQ(Server.Requests().size(), 1u);
    EXPECT_EQ(Server.Requests()[0].Body, "");
    EXPECT_EQ(Server.Requests()[0].Header("Content-Length"), "0");
}

TEST_F(HttpCliTest, TheNextRequestCanStartFromTheDoneHandler)
{
    AnswerEverything();
    int done = 0;
    Client->OnRequestDone = [&](THttpCli *sender, THttpRequest, int) {
        if (++done == 1) {
            sender->URL = Server.Url("/second");
            sender->GetASync();
        }
    };
    Client->URL = Server.Url("/first");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return done == 2; }));
    ASSERT_EQ(Server.Requests().size(), 2u);
    EXPECT_EQ(Server.Requests()[1].Path(), "/second");
    EXPECT_EQ(Events.Body, "GET /firstGET /second");
}

// ---- Abort ----

TEST_F(HttpCliTest, AbortReportsTheRequestDoneFromInsideTheCallOnce)
{
    Client->URL = Server.Url("/held");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    Server.BeginBody(0, 200, "OK", TScriptedHttpServer::Chunked);
    Server.SendPiece(0, "some");
    ASSERT_TRUE(WaitFor([&] { return Events.Body == "some"; }));

    Client->Abort();
    ASSERT_EQ(Events.Done.size(), 1u);
    EXPECT_EQ(Events.Done[0].ErrCode, httperrAborted);
    EXPECT_EQ(Events.Done[0].State, httpReady);
    EXPECT_EQ(Events.Done[0].Status, 404);
    EXPECT_EQ(Events.Done[0].Reason, "Connection aborted on request");
    EXPECT_EQ(Client->StatusCode(), 404);

    // The connection goes, and nothing more is reported for that request.
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(0); }));
    Server.SendPiece(0, "late");
    ProcessPostedEvents();
    EXPECT_EQ(Events.Done.size(), 1u);
    EXPECT_EQ(Events.Body, "some");

    // The client is ready for the next request.
    AnswerEverything();
    Client->URL = Server.Url("/again");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Events.Done.size() == 2; }));
    EXPECT_EQ(Events.Done[1].ErrCode, 0);
    EXPECT_EQ(Events.Done[1].Status, 200);
}

TEST_F(HttpCliTest, AbortWithoutARequestDoesNothing)
{
    Client->Abort();
    ProcessPostedEvents();
    EXPECT_TRUE(Events.Done.empty());
    EXPECT_EQ(Client->State(), httpReady);
}

// ---- Requests that cannot start ----

struct TStartCase
{
    const char *Name;
    std::function<void(THttpCli &client, const std::string &goodUrl)> Setup;
    std::string MessageStart;
};

PRINTS_AS_NAME(TStartCase)

class HttpCliStartTest : public HttpCliTest, public ::testing::WithParamInterface<TStartCase>
{
};

TEST_P(HttpCliStartTest, RaisesAtOnceAndReportsNothing)
{
    Client->URL = Server.Url("/x");
    GetParam().Setup(*Client, Server.Url("/x"));
    const THttpState before = Client->State();
    try {
        Client->GetASync();
        FAIL() << "no exception";
    } catch (const EHttpException &e) {
        EXPECT_EQ(e.ClassName(), "EHttpException");
        EXPECT_EQ(e.Message().rfind(GetParam().MessageStart, 0), 0u) << e.Message();
    }
    EXPECT_EQ(Client->State(), before);
    ProcessPostedEvents();
    // Only a request that was running before may report anything.
    EXPECT_TRUE(Events.Done.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, HttpCliStartTest,
    ::testing::Values(
        TStartCase{"Busy", [](THttpCli &c, const std::string &) { c.GetASync(); },
                   "HTTP client busy: a request is already running"},
        TStartCase{"NotAUrl", [](THttpCli &c, const std::string &) { c.URL = "not a url"; }, "Invalid URL"},
        TStartCase{"EmptyUrl", [](THttpCli &c, const std::string &) { c.URL.clear(); }, "Invalid URL"},
        TStartCase{"OtherScheme", [](THttpCli &c, const std::string &) { c.URL = "ftp://127.0.0.1/x"; },
                   "Invalid URL"},
        TStartCase{"Socks4",
                   [](THttpCli &c, const std::string &) {
                       c.SocksServer = "127.0.0.1";
                       c.SocksPort = "1080";
                       c.SocksLevel = "4";
                   },
                   "SOCKS 4 is not supported for HTTP requests; use SOCKS 5"},
        TStartCase{"SocksLevelUnknown",
                   [](THttpCli &c, const std::string &) {
                       c.SocksServer = "127.0.0.1";
                       c.SocksLevel = "6";
                   },
                   "Invalid SOCKS level '6'"},
        TStartCase{"SocksPortNotANumber",
                   [](THttpCli &c, const std::string &) {
                       c.SocksServer = "127.0.0.1";
                       c.SocksPort = "socks";
                   },
                   "Invalid SOCKS port 'socks'"},
        TStartCase{"ProxyPortZero",
                   [](THttpCli &c, const std::string &) {
                       c.Proxy = "127.0.0.1";
                       c.ProxyPort = "0";
                   },
                   "Invalid proxy port '0'"}),
    [](const auto &info) { return std::string(info.param.Name); });

// ---- Handlers that destroy the client ----

TEST_F(HttpCliTest, DestroyingTheClientFromTheDataHandlerIsSafe)
{
    Client->OnDocData = [this](THttpCli *, const char *, int) { Client.reset(); };
    Client->URL = Server.Url("/destroy");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    Server.BeginBody(0, 200, "OK", TScriptedHttpServer::Chunked);
    Server.SendPiece(0, "boom");
    ASSERT_TRUE(WaitFor([&] { return Client == nullptr; }));
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(0); }));
    Server.SendPiece(0, "more");
    ProcessPostedEvents();
    EXPECT_TRUE(Events.Done.empty());
}

TEST_F(HttpCliTest, DestroyingTheClientFromTheDoneHandlerIsSafe)
{
    AnswerEverything();
    Client->OnRequestDone = [this](THttpCli *, THttpRequest, int) { Client.reset(); };
    Client->URL = Server.Url("/destroy");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Client == nullptr; }));
    ProcessPostedEvents();
    EXPECT_EQ(Events.Body, "GET /destroy");
}

TEST_F(HttpCliTest, DestroyingTheClientWithARunningRequestRaisesNothing)
{
    Client->URL = Server.Url("/held");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }));
    Client.reset();
    ASSERT_TRUE(WaitFor([&] { return Server.Disconnected(0); }));
    ProcessPostedEvents();
    EXPECT_TRUE(Events.Done.empty());
}

// ---- Through real proxies ----

struct TProxyCase
{
    const char *Name;
    bool Socks;
    std::string User;
    std::string Password;
};

PRINTS_AS_NAME(TProxyCase)

class HttpCliProxyTest : public HttpCliTest, public ::testing::WithParamInterface<TProxyCase>
{
protected:
    // Starts the proxy of the row and points the client at it.
    void StartProxy()
    {
        std::string error;
        if (GetParam().Socks) {
            Socks = std::make_unique<TMicrosocks>(GetParam().User, GetParam().Password);
            ASSERT_TRUE(Socks->Start(error)) << error;
            Client->SocksServer = "127.0.0.1";
            Client->SocksPort = std::to_string(Socks->Port());
            Client->SocksLevel = "5";
            if (!GetParam().User.empty()) {
                Client->SocksUsercode = GetParam().User;
                Client->SocksPassword = GetParam().Password;
                Client->SocksAuthentication = socksAuthenticateUsercode;
            }
        } else {
            Http = std::make_unique<TTinyproxy>(GetParam().User, GetParam().Password);
            ASSERT_TRUE(Http->Start(error)) << error;
            Client->Proxy = "127.0.0.1";
            Client->ProxyPort = std::to_string(Http->Port());
            Client->ProxyUsername = GetParam().User;
            Client->ProxyPassword = GetParam().Password;
        }
    }

    std::unique_ptr<TMicrosocks> Socks;
    std::unique_ptr<TTinyproxy> Http;
};

TEST_P(HttpCliProxyTest, GetPiecesAndPostsPassThroughTheProxy)
{
    ASSERT_NO_FATAL_FAILURE(StartProxy());
    Client->URL = Server.Url("/through");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return Server.Requests().size() == 1; }, 20000));
    EXPECT_EQ(Server.Requests()[0].Path(), "/through");
    // An HTTP proxy may speak HTTP/1.0 to the server: end the body by closing.
    Server.BeginBody(0, 200, "OK", TScriptedHttpServer::UntilClose);
    Server.SendPiece(0, "one\r\n");
    ASSERT_TRUE(WaitFor([&] { return Events.Body == "one\r\n"; }, 20000));
    EXPECT_TRUE(Events.Done.empty());
    Server.SendPiece(0, "two");
    ASSERT_TRUE(WaitFor([&] { return Events.Body == "one\r\ntwo"; }, 20000));
    Server.EndBody(0);
    ASSERT_TRUE(WaitFor([&] { return Events.Done.size() == 1; }, 20000));
    EXPECT_EQ(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].Status, 200);

    AnswerEverything();
    std::stringstream stream("sequence=0&body=yq");
    Client->SendStream = &stream;
    Client->URL = Server.Url("/post");
    Client->PostASync();
    ASSERT_TRUE(WaitFor([&] { return Events.Done.size() == 2; }, 20000));
    EXPECT_EQ(Events.Done[1].ErrCode, 0);
    EXPECT_EQ(Events.Done[1].Status, 200);
    ASSERT_EQ(Server.Requests().size(), 2u);
    EXPECT_EQ(Server.Requests()[1].Body, "sequence=0&body=yq");
}

INSTANTIATE_TEST_SUITE_P(Proxies, HttpCliProxyTest,
                         ::testing::Values(TProxyCase{"Tinyproxy", false, "", ""},
                                           TProxyCase{"TinyproxyWithPassword", false, "trader", "s3cret"},
                                           TProxyCase{"Socks5", true, "", ""},
                                           TProxyCase{"Socks5WithPassword", true, "trader", "s3cret"}),
                         [](const auto &info) { return std::string(info.param.Name); });

class HttpCliDeadProxyTest : public HttpCliTest, public ::testing::WithParamInterface<bool>
{
};

// The request goes to the proxy, never around it.
TEST_P(HttpCliDeadProxyTest, AProxyThatIsNotThereFailsTheRequest)
{
    const std::string deadPort = std::to_string(FreeLoopbackPort());
    if (GetParam()) {
        Client->SocksServer = "127.0.0.1";
        Client->SocksPort = deadPort;
    } else {
        Client->Proxy = "127.0.0.1";
        Client->ProxyPort = deadPort;
    }
    AnswerEverything();
    Client->URL = Server.Url("/never");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }));
    EXPECT_NE(Events.Done[0].ErrCode, 0);
    EXPECT_EQ(Events.Done[0].Status, 0);
    EXPECT_TRUE(Server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Kinds, HttpCliDeadProxyTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Socks5" : "HttpProxy"; });

TEST_F(HttpCliTest, AProxyThatRefusesTheCredentialsFailsTheRequest)
{
    TTinyproxy proxy("trader", "s3cret");
    std::string error;
    ASSERT_TRUE(proxy.Start(error)) << error;
    Client->Proxy = "127.0.0.1";
    Client->ProxyPort = std::to_string(proxy.Port());
    Client->ProxyUsername = "trader";
    Client->ProxyPassword = "wrong";
    Client->URL = Server.Url("/never");
    Client->GetASync();
    ASSERT_TRUE(WaitFor([&] { return !Events.Done.empty(); }, 20000));
    EXPECT_TRUE(Events.Done[0].ErrCode != 0 || Events.Done[0].Status != 200);
    EXPECT_TRUE(Server.Requests().empty());
}

} // namespace
