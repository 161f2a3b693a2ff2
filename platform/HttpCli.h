#pragma once

#include "Exceptions.h"
#include "WSocket.h" // TSocksAuthentication

#include <QObject>

#include <functional>
#include <istream>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;

CORVANE_DECLARE_EXCEPTION(EHttpException, Exception);

enum THttpRequest { httpGET, httpPOST };

// Request states. Qt reports only part of a request's progress, so the
// states are mapped from its signals:
//   httpReady          no request running (also while OnRequestDone runs)
//   httpDnsLookup      request started; the host (or proxy) name is looked up
//   httpDnsLookupDone  the socket started connecting: the name is resolved
//   httpWaitingHeader  the request has been sent; the response header is due
//   httpWaitingBody    the response header arrived; the body is arriving
// A request on a kept-alive connection goes from httpDnsLookup straight to
// httpWaitingHeader, since no socket is opened for it.
enum THttpState : int {
    httpReady = 0,
    httpDnsLookup = 3,
    httpDnsLookupDone = 4,
    httpWaitingHeader = 5,
    httpWaitingBody = 6,
};

// Error codes of OnRequestDone: 0 when the response arrived whole, whatever
// its status; otherwise the transport failure (no response, or a body cut
// short), numbered as Qt numbers its network errors
// (QNetworkReply::NetworkError), OperationCanceledError (5) for an aborted
// request.
constexpr int httperrAborted = 5;

// Status code and reason phrase of a request that Abort ended.
constexpr int AbortedStatusCode = 404;
inline const std::string AbortedReasonPhrase = "Connection aborted on request";

// The asynchronous HTTP client component: starts a GET or a POST and returns
// at once; the body arrives piece by piece through OnDocData as it is
// received, and OnRequestDone reports the end of every request exactly once.
// One request at a time. HTTP/1.1 (never HTTP/2), no cache, no timeout of its
// own: a long GET stays open as long as the server keeps it.
//
// Proxies, read when a request starts: a non-empty Proxy sends the request
// through that HTTP proxy (with ProxyUsername/ProxyPassword when it asks for
// them); otherwise a non-empty SocksServer sends it through that SOCKS 5
// proxy (SocksLevel empty or "5"; "4" is refused at request start, since
// HTTP requests cannot go through SOCKS 4 here). SocksPort empty means 1080,
// ProxyPort empty means 80.
class THttpCli : public QObject
{
    Q_OBJECT
public:
    THttpCli();
    // Raises no event; a running request is abandoned.
    ~THttpCli() override;
    THttpCli(const THttpCli &) = delete;
    THttpCli &operator=(const THttpCli &) = delete;

    std::string URL;
    std::string Proxy; // empty: no HTTP proxy
    std::string ProxyPort;
    std::string ProxyUsername;
    std::string ProxyPassword;
    std::string SocksServer; // empty: no SOCKS proxy
    std::string SocksPort;
    std::string SocksUsercode;
    std::string SocksPassword;
    std::string SocksLevel;
    TSocksAuthentication SocksAuthentication = socksNoAuthentication;

    // A POST sends what this stream holds from its current position on, read
    // when the request starts. Not owned; no stream means an empty body.
    std::istream *SendStream = nullptr;

    // Each piece of the response body as it arrives, before the request ends.
    std::function<void(THttpCli *Sender, const char *Buffer, int Len)> OnDocData;
    // Once per request, when it has ended; the state is httpReady by then, so
    // the handler may start the next request.
    std::function<void(THttpCli *Sender, THttpRequest RqType, int ErrCode)> OnRequestDone;

    // Start a request and return at once. Raise EHttpException for a request
    // that cannot start: one is running, the URL or a proxy setting is bad.
    void GetASync();
    // Content type "application/x-www-form-urlencoded".
    void PostASync();
    // Ends the running request; it is reported done from inside this call
    // with ErrCode httperrAborted, status 404, "Connection aborted on
    // request". Nothing when no request runs.
    void Abort();

    THttpState State() const { return FState; }
    // Of the last response; 0 and the failure's description when a request
    // ended without one.
    int StatusCode() const { return FStatusCode; }
    const std::string &ReasonPhrase() const { return FReasonPhrase; }

private:
    class TSignalScope;

    void StartRequest(THttpRequest type);
    void ReplyReadyRead();
    void ReplyMetaData();
    void ReplyFinished();
    void ReadStatus();
    void DeliverBody();

    QNetworkAccessManager *FManager; // a child of this object
    QNetworkReply *FReply = nullptr;
    THttpRequest FRequestType = httpGET;
    THttpState FState = httpReady;
    int FStatusCode = 0;
    std::string FReasonPhrase;
    int FSignalDepth = 0;
};
