#include "HttpTunnels.h"

#include "Exceptions.h"
#include "MiscDebugWindows.h"
#include "P64.h"
#include "Timer.h"
#include "WakeMeSoon.h"

namespace {

constexpr int SendTimerInterval = 100; // ms
constexpr double MillisecondsPerDay = 86400000.0;
constexpr std::int32_t MaxNetFailures = 3;

void Raise(const TNotifyEvent &event, TGenericServerConnection *sender)
{
    // A copy: the handler may reassign the event it is running from.
    const TNotifyEvent handler = event;
    if (handler)
        handler(sender);
}

} // namespace

THttpTunnel::THttpTunnel(const std::string &Url)
{
    SendWakeUp = std::make_unique<TWakeMeSoon>();
    SendWakeUp->OnWakeUp = [this] { CheckForSend(); };
    PostBody = std::make_unique<std::stringstream>();
    GetClient = std::make_unique<THttpCli>();
    GetClient->OnDocData = [this](THttpCli *Sender, const char *Buffer, int Len) {
        GetClientDocData(Sender, Buffer, Len);
    };
    GetClient->OnRequestDone = [this](THttpCli *Sender, THttpRequest RqType, int ErrCode) {
        GetClientRequestDone(Sender, RqType, ErrCode);
    };
    PostClient = std::make_unique<THttpCli>();
    PostClient->OnRequestDone = [this](THttpCli *Sender, THttpRequest RqType, int ErrCode) {
        PostClientRequestDone(Sender, RqType, ErrCode);
    };
    PostClient->SendStream = PostBody.get();
    this->Url = Url;
    SendTimer = std::make_unique<TTimer>();
    SendTimer->SetInterval(SendTimerInterval);
    SendTimer->OnTimer = [this] { SendTimerTimer(); };
}

THttpTunnel::~THttpTunnel()
{
    Close();
    GetClient.reset();
    PostClient.reset();
    PostBody.reset();
    SendWakeUp.reset();
    SendTimer.reset();
}

void THttpTunnel::DebugMessage(const std::string &Text)
{
    const TDebugMessageEvent handler = OnDebugMessage;
    if (handler)
        handler(this, Text);
}

// The HTTP proxy wins over SOCKS.
void THttpTunnel::SetUpProxy(THttpCli &Client)
{
    if (!Proxy.empty()) {
        Client.Proxy = Proxy;
        Client.ProxyPort = std::to_string(ProxyPort);
        Client.ProxyUsername = ProxyUsername;
        Client.ProxyPassword = ProxyPassword;
        Client.SocksServer.clear();
        Client.SocksPort.clear();
        Client.SocksUsercode.clear();
        Client.SocksPassword.clear();
        Client.SocksAuthentication = socksNoAuthentication;
    } else if (!SocksLevel.empty()) {
        Client.Proxy.clear();
        Client.ProxyPort.clear();
        Client.ProxyUsername.clear();
        Client.ProxyPassword.clear();
        Client.SocksServer = SocksServer;
        Client.SocksPort = SocksPort;
        Client.SocksUsercode = SocksUsercode;
        Client.SocksPassword = SocksPassword;
        Client.SocksLevel = SocksLevel;
        Client.SocksAuthentication =
            SocksUsercode.empty() ? socksNoAuthentication : socksAuthenticateUsercode;
    } else {
        Client.Proxy.clear();
        Client.ProxyPort.clear();
        Client.ProxyUsername.clear();
        Client.ProxyPassword.clear();
        Client.SocksServer.clear();
        Client.SocksPort.clear();
        Client.SocksUsercode.clear();
        Client.SocksPassword.clear();
    }
}

bool THttpTunnel::Connect()
{
    Assert(TunnelState == htsIdle);
    TunnelState = htsConnecting;
    SetUpProxy(*PostClient);
    SetUpProxy(*GetClient);
    GetClient->URL = Url;
    try {
        GetClient->GetASync();
    } catch (const Exception &e) {
        ErrorText = "THttpTunnel.Connect, " + e.ClassName() + ", " + e.Message() + ", " +
                    std::to_string(GetClient->StatusCode()) + ", " + GetClient->ReasonPhrase();
        Close();
        return false;
    }
    return true;
}

void THttpTunnel::GetClientDocData(THttpCli *, const char *Buffer, int Len)
{
    ReceiveBuffer.append(Buffer, static_cast<size_t>(Len));
    if (TunnelState == htsConnecting) {
        // Line 1 is ignored; line 2 is where this connection's POSTs go. The
        // lines may arrive split over any number of pieces.
        const size_t first = ReceiveBuffer.find("\r\n");
        if (first != std::string::npos) {
            const size_t second = ReceiveBuffer.find("\r\n", first + 2);
            if (second != std::string::npos) {
                PostClient->URL = ReceiveBuffer.substr(first + 2, second - first - 2);
                ReceiveBuffer.erase(0, second + 2);
                TunnelState = htsConnected;
                Raise(OnSessionConnected, this);
            }
        }
        if (TunnelState == htsConnecting && ReceiveBuffer.size() > MaxTunnelHeaderSize) {
            DebugMessage("Invalid tunnel header from server:  " + std::to_string(ReceiveBuffer.size()));
            Close();
            return;
        }
    }
    // The piece that completes line 2 also reports the bytes behind it.
    if (TunnelState == htsConnected && !ReceiveBuffer.empty())
        Raise(OnDataAvailable, this);
}

void THttpTunnel::GetClientRequestDone(THttpCli *, THttpRequest, int)
{
    // The end of the downstream GET, for any reason, ends the connection.
    Close();
}

void THttpTunnel::Receive(std::string &Data)
{
    if (TunnelState == htsConnected || TunnelState == htsClosed) {
        Data = std::move(ReceiveBuffer);
        ReceiveBuffer.clear();
    }
}

void THttpTunnel::Send(const std::string &Data)
{
    Assert(TunnelState == htsConnected || TunnelState == htsClosed);
    if (TunnelState == htsClosed)
        return;
    SendBuffer += Data;
    SendWakeUp->RequestWakeUp();
}

void THttpTunnel::CheckForSend()
{
    bool newChunk = false;
    switch (SendState) {
    case hssIdle:
        if (SendBuffer.empty())
            return;
        newChunk = true;
        break;
    case hssRetry:
        // PostBody still holds the failed POST: it goes again unchanged.
        break;
    case hssPosting:
    case hssStopped:
        return;
    }

    const THttpState state = PostClient->State();
    if (state == httpReady) {
        // The chunk leaves SendBuffer only when its POST can start, so a busy
        // client never costs a chunk.
        if (newChunk) {
            const std::string chunk = SendBuffer.substr(0, TunnelChunkSize);
            SendBuffer.erase(0, chunk.size());
            PostBody->str("sequence=" + std::to_string(Sequence) + "&body=" + P64Encode(chunk));
        }
        SendDeadline = Now() + SendTimeout / MillisecondsPerDay;
        SendState = hssPosting;
        PostBody->clear();
        PostBody->seekg(0);
        try {
            PostClient->PostASync();
        } catch (const Exception &e) {
            ReportException(e, "HttpTunnels, THttpTunnel.CheckForSend");
            DebugMessage("Unexpected Exception:  THttpTunnel.CheckForSend, " + e.ClassName() + ", " +
                         e.Message() + ", " + std::to_string(PostClient->StatusCode()) + ", " +
                         PostClient->ReasonPhrase());
            SendState = hssStopped;
            Close();
        }
    } else if (state == httpDnsLookupDone || state == httpWaitingHeader) {
        // Busy for now; the data waits in SendBuffer (or PostBody, to retry).
    } else {
        DebugMessage("HTTP Not Ready on Write:  " + std::to_string(PostClient->StatusCode()) + ", " +
                     PostClient->ReasonPhrase() + ", State=" + std::to_string(state));
        SendState = hssStopped;
        Close();
    }
}

void THttpTunnel::PostClientRequestDone(THttpCli *, THttpRequest, int ErrCode)
{
    if (PostClient->State() != httpReady)
        return;
    SendState = hssIdle;
    const int status = PostClient->StatusCode();
    if (ErrCode == 0 && status == 200) {
        if (FailureCount > 0)
            --FailureCount;
        ++Sequence;
        // More data may be waiting.
        SendWakeUp->RequestWakeUp();
        return;
    }

    ++FailureCount;
    const std::string details = std::to_string(status) + ", " + PostClient->ReasonPhrase() +
                                ", state: " + std::to_string(PostClient->State());
    if (FailureCount > MaxNetFailures) {
        DebugMessage("ERROR sending data to server:  " + details);
        Close();
        return;
    }
    if (ErrCode != 0 || status != 0) {
        DebugMessage("Error sending data to server:  " + details);
        // The owner may have closed the tunnel from its handler.
        if (TunnelState == htsClosed)
            return;
    }
    SendState = hssRetry;
    SendWakeUp->RequestWakeUp();
}

void THttpTunnel::SendTimerTimer()
{
    if (SendState == hssPosting && Now() > SendDeadline) {
        // The client reports the aborted POST as a failure from inside Abort;
        // PostClientRequestDone counts it and retries.
        try {
            PostClient->Abort();
        } catch (const std::exception &) {
        }
    }
}

void THttpTunnel::Close()
{
    if (TunnelState == htsClosed)
        return;
    // An unfinished leading line is no part of the server's stream.
    if (TunnelState == htsConnecting)
        ReceiveBuffer.clear();
    TunnelState = htsClosed;
    if (GetClient) {
        GetClient->OnDocData = nullptr;
        GetClient->OnRequestDone = nullptr;
        GetClient->Abort();
    }
    if (PostClient) {
        PostClient->OnRequestDone = nullptr;
        PostClient->Abort();
        SendState = hssStopped;
    }
    Raise(OnSessionClosed, this);
}
