#include "HttpCli.h"

#include "ErrorDisplay.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUrl>

#include <iterator>

namespace {

quint16 ParsePort(const std::string &text, quint16 defaultPort, const char *what)
{
    if (text.empty())
        return defaultPort;
    unsigned value = 0;
    bool ok = text.size() <= 5;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            ok = false;
            break;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (!ok || value == 0 || value > 65535)
        throw EHttpException(std::string("Invalid ") + what + " '" + text + "'");
    return static_cast<quint16>(value);
}

} // namespace

// Counts the Qt signal handlers of this client on the stack, so that an event
// handler that destroys the client does not delete the network objects under
// their own signal.
class THttpCli::TSignalScope
{
public:
    explicit TSignalScope(THttpCli *owner) : FOwner(owner) { ++owner->FSignalDepth; }
    ~TSignalScope()
    {
        if (FOwner)
            --FOwner->FSignalDepth;
    }
    TSignalScope(const TSignalScope &) = delete;
    TSignalScope &operator=(const TSignalScope &) = delete;

    bool Alive() const { return !FOwner.isNull(); }

private:
    QPointer<THttpCli> FOwner;
};

THttpCli::THttpCli() : FManager(new QNetworkAccessManager(this))
{
    FManager->setAutoDeleteReplies(false);
    // No proxy unless one is set: the system's or the application's proxy
    // settings must not redirect the tunnel.
    FManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

THttpCli::~THttpCli()
{
    if (FReply) {
        QNetworkReply *reply = FReply;
        FReply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
    }
    if (FSignalDepth > 0) {
        // Destroyed from inside one of our handlers: the reply that emitted
        // is still on the stack, so it and its manager go later.
        FManager->setParent(nullptr);
        FManager->deleteLater();
    }
}

void THttpCli::GetASync()
{
    StartRequest(httpGET);
}

void THttpCli::PostASync()
{
    StartRequest(httpPOST);
}

void THttpCli::StartRequest(THttpRequest type)
{
    if (FState != httpReady)
        throw EHttpException("HTTP client busy: a request is already running");

    const QUrl url(QString::fromStdString(URL), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")))
        throw EHttpException("Invalid URL '" + URL + "'");

    QNetworkProxy proxy(QNetworkProxy::NoProxy);
    if (!Proxy.empty()) {
        proxy = QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromStdString(Proxy),
                              ParsePort(ProxyPort, 80, "proxy port"), QString::fromStdString(ProxyUsername),
                              QString::fromStdString(ProxyPassword));
    } else if (!SocksServer.empty()) {
        if (SocksLevel == "4")
            throw EHttpException("SOCKS 4 is not supported for HTTP requests; use SOCKS 5");
        if (!SocksLevel.empty() && SocksLevel != "5")
            throw EHttpException("Invalid SOCKS level '" + SocksLevel + "'");
        proxy = QNetworkProxy(QNetworkProxy::Socks5Proxy, QString::fromStdString(SocksServer),
                              ParsePort(SocksPort, 1080, "SOCKS port"));
        if (SocksAuthentication == socksAuthenticateUsercode) {
            proxy.setUser(QString::fromStdString(SocksUsercode));
            proxy.setPassword(QString::fromStdString(SocksPassword));
        }
    }

    QByteArray body;
    if (type == httpPOST && SendStream) {
        const std::string rest{std::istreambuf_iterator<char>(*SendStream), std::istreambuf_iterator<char>()};
        body = QByteArray(rest.data(), static_cast<qsizetype>(rest.size()));
    }

    QNetworkRequest request(url);
    // A long GET must hand over each piece as it arrives: no HTTP/2 framing,
    // no cache, no transfer timeout.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setTransferTimeout(0);

    FManager->setProxy(proxy);
    FRequestType = type;
    FStatusCode = 0;
    FReasonPhrase.clear();
    if (type == httpGET) {
        FReply = FManager->get(request);
    } else {
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/x-www-form-urlencoded"));
        FReply = FManager->post(request, body);
    }
    FState = httpDnsLookup;

    QNetworkReply *reply = FReply;
    connect(reply, &QNetworkReply::socketStartedConnecting, this, [this, reply] {
        if (reply == FReply && FState == httpDnsLookup)
            FState = httpDnsLookupDone;
    });
    connect(reply, &QNetworkReply::requestSent, this, [this, reply] {
        if (reply == FReply && FState < httpWaitingHeader)
            FState = httpWaitingHeader;
    });
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply == FReply)
            ReplyMetaData();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply == FReply)
            ReplyReadyRead();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply == FReply)
            ReplyFinished();
    });
}

void THttpCli::ReadStatus()
{
    const QVariant status = FReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    FStatusCode = status.toInt();
    FReasonPhrase = FReply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray().toStdString();
}

void THttpCli::ReplyMetaData()
{
    if (FReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) {
        FState = httpWaitingBody;
        ReadStatus();
    }
}

void THttpCli::ReplyReadyRead()
{
    TSignalScope scope(this);
    if (FState != httpWaitingBody) {
        FState = httpWaitingBody;
        ReadStatus();
    }
    DeliverBody();
}

// Hands every byte the reply holds to OnDocData, one piece per read; stops
// when a handler aborted the request or destroyed this client.
void THttpCli::DeliverBody()
{
    QPointer<THttpCli> self(this);
    QNetworkReply *reply = FReply;
    while (self && FReply == reply && reply->bytesAvailable() > 0) {
        const QByteArray piece = reply->readAll();
        if (piece.isEmpty())
            break;
        if (OnDocData) {
            const auto handler = OnDocData;
            CallGuiHandler([&] { handler(this, piece.constData(), static_cast<int>(piece.size())); });
        }
    }
}

void THttpCli::ReplyFinished()
{
    TSignalScope scope(this);
    QNetworkReply *reply = FReply;
    DeliverBody();
    if (!scope.Alive() || FReply != reply)
        return;
    ReadStatus();

    // A response that arrived whole is no transport failure, whatever its
    // status; a lost connection (also one that cut the body short) is.
    const QNetworkReply::NetworkError error = reply->error();
    int errCode = 0;
    if (error != QNetworkReply::NoError) {
        const bool responded = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        if (!responded || error < QNetworkReply::ProxyConnectionRefusedError)
            errCode = static_cast<int>(error);
        if (!responded) {
            FStatusCode = 0;
            FReasonPhrase = reply->errorString().toStdString();
        }
    }

    FReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    FState = httpReady;
    if (OnRequestDone) {
        const auto handler = OnRequestDone;
        const THttpRequest type = FRequestType;
        CallGuiHandler([&] { handler(this, type, errCode); });
    }
}

void THttpCli::Abort()
{
    if (!FReply)
        return;
    QNetworkReply *reply = FReply;
    FReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
    FStatusCode = AbortedStatusCode;
    FReasonPhrase = AbortedReasonPhrase;
    FState = httpReady;
    if (OnRequestDone) {
        const auto handler = OnRequestDone;
        handler(this, FRequestType, httperrAborted);
    }
}
