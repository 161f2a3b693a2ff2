#include "HttpTunnelEnd.h"

#include "AddressText.h"
#include "ClientSession.h" // PrintableForLog
#include "P64Decode.h"
#include "UrlEncode.h"

#include <QRandomGenerator>

#include <cctype>
#include <charconv>
#include <cstdio>

namespace {

// Unguessable, so one client cannot post into another client's stream.
std::string NewToken()
{
    char text[33];
    QRandomGenerator *random = QRandomGenerator::system();
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random->generate64()),
                  static_cast<unsigned long long>(random->generate64()));
    return text;
}

bool StartsWithNoCase(const std::string &text, const std::string &prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

struct TPostForm
{
    bool HaveSequence = false;
    std::string Sequence;
    bool HaveBody = false;
    std::string Body;
    std::string Error;
};

TPostForm ParseForm(const std::string &body)
{
    TPostForm form;
    std::size_t at = 0;
    while (at <= body.size()) {
        std::size_t amp = body.find('&', at);
        if (amp == std::string::npos)
            amp = body.size();
        const std::string field = body.substr(at, amp - at);
        at = amp + 1;
        if (field.empty())
            continue;
        const std::size_t equals = field.find('=');
        const std::string name = UrlDecode(field.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : UrlDecode(field.substr(equals + 1));
        if (name == "sequence" || name == "body") {
            bool &have = name == "sequence" ? form.HaveSequence : form.HaveBody;
            if (have) {
                form.Error = "field '" + name + "' given twice";
                return form;
            }
            have = true;
            (name == "sequence" ? form.Sequence : form.Body) = value;
        }
    }
    if (!form.HaveSequence || !form.HaveBody)
        form.Error = "form fields 'sequence' and 'body' are required";
    return form;
}

} // namespace

THttpTunnelEnd::THttpTunnelEnd()
{
    connect(&FListener, &QTcpServer::newConnection, this, &THttpTunnelEnd::NewConnections);
}

THttpTunnelEnd::~THttpTunnelEnd()
{
    FListener.close();
    FHttp.clear();
}

bool THttpTunnelEnd::Listen(const QHostAddress &address, quint16 port)
{
    if (!FListener.listen(address, port)) {
        FErrorText = FListener.errorString();
        return false;
    }
    return true;
}

QString THttpTunnelEnd::ListenText() const
{
    return QString::fromStdString(AddressText(FListener.serverAddress())) + QStringLiteral(":") +
           QString::number(FListener.serverPort());
}

void THttpTunnelEnd::Stop()
{
    FListener.close();
    FHttp.clear();
    FTunnels.clear();
    FTokens.clear();
}

void THttpTunnelEnd::ConnectionClosed(int connection)
{
    const auto token = FTokens.find(connection);
    if (token == FTokens.end())
        return;
    FTunnels.erase(token->second);
    FTokens.erase(token);
}

void THttpTunnelEnd::NewConnections()
{
    while (QTcpSocket *accepted = FListener.nextPendingConnection()) {
        accepted->setParent(nullptr);
        const int number = FNextHttpNumber++;
        auto http = std::make_unique<THttpServerConnection>(number, std::unique_ptr<QTcpSocket>(accepted));
        http->OnRequest = [this](THttpServerConnection &connection, const THttpServerRequest &request) {
            Request(connection, request);
        };
        http->OnFinished = [this](THttpServerConnection *finished) {
            // Called from inside the connection's own handlers: it goes on
            // the next turn of the loop.
            const int gone = finished->Number();
            QMetaObject::invokeMethod(
                this, [this, gone] { FHttp.erase(gone); }, Qt::QueuedConnection);
        };
        http->OnLog = [this](const std::string &line) { Log(line); };
        FHttp.emplace(number, std::move(http));
    }
}

void THttpTunnelEnd::Request(THttpServerConnection &http, const THttpServerRequest &request)
{
    const std::string prefix = PostPathPrefix;
    if (request.Path.compare(0, prefix.size(), prefix) == 0) {
        if (request.Method != "POST")
            Refuse(http, 405,
                   PrintableForLog(request.Method) + " " + PrintableForLog(request.Path) +
                       ": only POST is allowed here",
                   {{"Allow", "POST"}});
        else
            Post(http, request, request.Path.substr(prefix.size()));
    } else if (request.Method == "GET") {
        OpenTunnel(http, request);
    } else {
        Refuse(http, 405,
               PrintableForLog(request.Method) + " " + PrintableForLog(request.Path) +
                   ": a tunnel is opened with GET",
               {{"Allow", "GET"}});
    }
}

void THttpTunnelEnd::OpenTunnel(THttpServerConnection &http, const THttpServerRequest &request)
{
    if (!OnOpenTunnel) {
        Refuse(http, 503, "no tunnels here");
        return;
    }
    const std::string token = NewToken();
    // The address this client reached, so the URL works wherever the
    // listener is bound; a proxy in between reaches it the same way.
    const std::string url = "http://" + AddressText(http.LocalAddress()) + ":" +
                            std::to_string(http.LocalPort()) + PostPathPrefix + token;
    const std::string peer = http.Peer();
    std::unique_ptr<QTcpSocket> socket = http.BeginStream({{"Content-Type", "application/octet-stream"}});
    if (!socket)
        return;
    const std::string lines = std::string(GreetingLine) + "\r\n" + url + "\r\n";
    socket->write(lines.data(), static_cast<qint64>(lines.size()));
    const int connection = OnOpenTunnel(std::move(socket));
    FTunnels[token] = TTunnel{connection, 0};
    FTokens[connection] = token;
    Log("http " + peer + " GET " + PrintableForLog(request.Target) + ": tunnel for connection #" +
        std::to_string(connection));
}

void THttpTunnelEnd::Post(THttpServerConnection &http, const THttpServerRequest &request,
                          const std::string &token)
{
    const auto found = FTunnels.find(token);
    if (found == FTunnels.end()) {
        Refuse(http, 404, "no such tunnel; its connection has ended");
        return;
    }
    const std::string *contentType = request.Header("content-type");
    if (contentType && !StartsWithNoCase(*contentType, "application/x-www-form-urlencoded")) {
        Refuse(http, 415, "a tunnel POST is application/x-www-form-urlencoded");
        return;
    }
    const TPostForm form = ParseForm(request.Body);
    if (!form.Error.empty()) {
        Refuse(http, 400, form.Error);
        return;
    }
    std::int32_t sequence = 0;
    const char *end = form.Sequence.data() + form.Sequence.size();
    const auto [stop, error] = std::from_chars(form.Sequence.data(), end, sequence);
    if (form.Sequence.empty() || error != std::errc() || stop != end || sequence < 0 ||
        !std::isdigit(static_cast<unsigned char>(form.Sequence.front()))) {
        Refuse(http, 400, "sequence '" + form.Sequence.substr(0, 20) + "' is not a number from 0");
        return;
    }

    TTunnel &tunnel = found->second;
    const int connection = tunnel.Connection;
    if (sequence < tunnel.NextSequence) {
        // The client lost the answer and repeats the POST: answered again,
        // not applied again.
        Log("#" + std::to_string(connection) + " POST sequence " + std::to_string(sequence) +
            " was applied before; answered again");
        http.Respond(200);
        return;
    }
    if (sequence > tunnel.NextSequence) {
        Refuse(http, 409,
               "sequence " + std::to_string(sequence) + " is ahead; expected " +
                   std::to_string(tunnel.NextSequence));
        return;
    }
    std::string bytes;
    if (!P64Decode(form.Body, bytes)) {
        Refuse(http, 400, "body is not P64 text");
        return;
    }
    tunnel.NextSequence = static_cast<std::int64_t>(sequence) + 1;
    // Applying may end the connection (a protocol error) and with it this
    // tunnel's entry: nothing of it is used after this call.
    if (!OnPosted || !OnPosted(connection, bytes)) {
        ConnectionClosed(connection);
        Refuse(http, 404, "no such tunnel; its connection has ended");
        return;
    }
    if (OnApplied)
        OnApplied(connection, sequence, bytes);
    http.Respond(200);
}

void THttpTunnelEnd::Refuse(THttpServerConnection &http, int status, const std::string &why,
                            const THttpHeaders &headers)
{
    Log("http " + http.Peer() + " " + std::to_string(status) + " " + HttpReasonPhrase(status) + ": " + why);
    http.Respond(status, why + "\n", headers);
}

void THttpTunnelEnd::Log(const std::string &line)
{
    if (OnLog)
        OnLog(line);
}
