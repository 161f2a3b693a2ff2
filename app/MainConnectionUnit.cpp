#include "MainConnectionUnit.h"

#include "PerformanceCounter.h"
#include "Timer.h"
#include "WakeMeSoon.h"

#ifndef CORVANE_SERVER_HOST
#define CORVANE_SERVER_HOST "127.0.0.1"
#endif

namespace {

constexpr int TimerInterval = 500;
constexpr double PingSpacing = 4.5 * OneSecond;
constexpr int WatchdogLimit = 24;
constexpr int64_t CounterRateDivisor = 500;
const char *const AlertCategory = "CORVANE-main";

// Lines split at CR LF, CR or LF; the text ends at the first zero byte; a
// final line break adds no empty line.
std::vector<std::string> SplitLines(const std::string &body)
{
    const std::string text = body.substr(0, body.find('\0'));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
    return lines;
}

} // namespace

TMainConnection::TMainConnection() : FAddress(std::string(CORVANE_SERVER_HOST) + ":9339")
{
    FWakeUp = std::make_unique<TWakeMeSoon>();
    FWakeUp->OnWakeUp = [this] { WakeUp(); };
    FTimer = std::make_unique<TTimer>();
    FTimer->SetInterval(TimerInterval);
    FTimer->OnTimer = [this] { TimerTick(); };
    FTimer->SetEnabled(true);
    int64_t frequency = 0;
    if (!QueryPerformanceFrequency(frequency))
        frequency = 0;
    FCounterRate = frequency / CounterRateDivisor;
}

TMainConnection::~TMainConnection()
{
    // Only test instances end; the process-wide one lives until exit.
    FTimer->SetEnabled(false);
    // Freeing the conversation fails the pending ping, which would report a
    // status to an owner that may already be gone.
    OnStatusChange = nullptr;
    FreeConversation();
}

void TMainConnection::SetTimerEnabledForTesting(bool enabled)
{
    FTimer->SetEnabled(enabled);
}

void TMainConnection::SetStatus(const std::string &text)
{
    if (text == FStatus)
        return;
    FStatus = text;
    if (OnStatusChange) {
        try {
            OnStatusChange();
        } catch (const Exception &) {
        }
    }
}

void TMainConnection::SetUsername(const std::string &text)
{
    if (text != FUsername || FStopped) {
        FUsername = text;
        Reset();
    }
}

void TMainConnection::SetPassword(const std::string &text)
{
    if (text != FPassword || FStopped) {
        FPassword = text;
        Reset();
    }
}

void TMainConnection::Reset()
{
    FMissedTicks = 0;
    RestartConversation();
    FStopped = false;
    FSessionId.clear();
    SetStatus("");
}

void TMainConnection::AddAlertListener(TAlertCallback callback)
{
    FAlertListeners.push_back(std::move(callback));
}

void TMainConnection::FreeConversation()
{
    if (!FConversation)
        return;
    FConversation->OnDisconnected = nullptr;
    FConversation->OnResponse = nullptr;
    // Destroying it fails its pending requests, so our callbacks run here with
    // Success false; by then Conversation is already none, so nothing they do
    // can reach the dying conversation.
    FConversation.reset();
}

void TMainConnection::RestartConversation()
{
    FreeConversation();
    FWakeUp->RequestWakeUp();
}

void TMainConnection::WakeUp()
{
    if (!FConversation)
        CreateConversation();
    if (FConversation->State() == TTalkWithServer::NotConnected)
        FConversation->Connect();
}

void TMainConnection::CreateConversation()
{
    ScheduleNextPing();
    FConversation = std::make_unique<TTalkWithServer>();
    FConversation->OnResponse = [](bool, const std::string &, const TMessageToServer &) {};
    FConversation->OnDisconnected = [] {};
    FConversation->OnDebugMessage = [](const std::string &) {};
    FConversation->Address = FAddress;
    if (OnConversationCreatedForTesting)
        OnConversationCreatedForTesting(*FConversation);
    Login();
}

void TMainConnection::Login()
{
    if (!HaveCredentials() || FStopped)
        return;
    using namespace std::placeholders;
    FConversation->SendMessage(MakeMessage({"command", "login", "username", FUsername, "password", FPassword,
                                            "session_id", FSessionId}),
                               true, std::bind(&TMainConnection::LoginResponse, this, _1, _2, _3));
    // A lambda holding only this fits in the callback's own storage, so the
    // copy the conversation makes for every alert allocates nothing.
    FConversation->SendMessage(MakeMessage({"command", "listen_for_alerts"}), true,
                               [this](bool success, const std::string &body, const TMessageToServer &message) {
                                   AlertsResponse(success, body, message);
                               });
    FConversation->SendMessage(MakeMessage({"command", "add_alert_category", "category", AlertCategory}), false,
                               nullptr);
}

void TMainConnection::LoginResponse(bool success, const std::string &body, const TMessageToServer &)
{
    if (!success)
        return;
    const std::vector<std::string> lines = SplitLines(body);
    if (lines.empty())
        return;
    if (lines[0] == "STOP") {
        FStopped = true;
        if (lines.size() >= 2)
            SetStatus(lines[1]);
    } else if (lines[0] == "SESSION ID" && lines.size() >= 2) {
        FSessionId = lines[1];
    }
}

void TMainConnection::AlertsResponse(bool success, const std::string &body, const TMessageToServer &)
{
    if (!success)
        return;
    for (const TAlertCallback &listener : FAlertListeners) {
        try {
            listener(body);
        } catch (const Exception &) {
            // One window's failure does not keep the alert from the others.
        }
    }
}

void TMainConnection::TimerTick()
{
    ReapClosedConversation();
    if (FStopped || !HaveCredentials())
        return;
    SendPingIfDue();
    if (++FMissedTicks > WatchdogLimit) {
        FMissedTicks = 0;
        RestartConversation();
    }
}

void TMainConnection::ReapClosedConversation()
{
    if (!FConversation || FConversation->State() != TTalkWithServer::Closed)
        return;
    FConversation.reset();
    if (HaveCredentials() && !FStopped)
        FWakeUp->RequestWakeUp();
}

void TMainConnection::SendPingIfDue()
{
    if (!FConversation || FCounterRate <= 0 || !(Now() > FNextPingTime))
        return;
    CancelRequest(FPingHandle);
    using namespace std::placeholders;
    FPingHandle = SendMessage(MakeMessage({"command", "ping", "response", "1"}),
                              std::bind(&TMainConnection::PingResponse, this, _1, _2, _3));
    ScheduleNextPing();
}

void TMainConnection::ScheduleNextPing()
{
    FNextPingTime = Now() + PingSpacing;
}

TRequestHandle TMainConnection::SendMessage(const TMessageToServer &message, TResponseCallback callback)
{
    return GetConversation(true)->SendMessage(message, false, std::move(callback));
}

TTalkWithServer *TMainConnection::GetConversation(bool create)
{
    if (create && !FConversation) {
        CreateConversation();
        FWakeUp->RequestWakeUp();
    }
    return FConversation.get();
}

void TMainConnection::CancelRequest(const TRequestHandle &handle)
{
    if (FConversation)
        FConversation->CancelCallback(handle);
}

void TMainConnection::PingResponse(bool, const std::string &, const TMessageToServer &)
{
    FMissedTicks = 0;
    SetStatus("Working:  " + LongTimeString(Now()));
}

TMainConnection &MainConnection()
{
    // Never destroyed: alert windows keep calling into it until the process ends.
    static TMainConnection *instance = new TMainConnection();
    return *instance;
}
