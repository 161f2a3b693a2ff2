#pragma once

#include "LocalClock.h"
#include "TalkWithServer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TTimer;
class TWakeMeSoon;

// Receives the body of one alert reply exactly as the server sent it.
using TAlertCallback = std::function<void(const std::string &Data)>;

// The application's one session with the alert server: keeps one
// conversation alive while credentials are set, logs in on each new one,
// subscribes to the alerts, pings every few seconds and replaces a
// conversation that closed or fell silent.
class TMainConnection
{
public:
    TMainConnection();
    ~TMainConnection();
    TMainConnection(const TMainConnection &) = delete;
    TMainConnection &operator=(const TMainConnection &) = delete;

    void SetUsername(const std::string &text);
    void SetPassword(const std::string &text);
    void Reset();

    const std::string &Status() const { return FStatus; }
    std::function<void()> OnStatusChange;

    void AddAlertListener(TAlertCallback callback);
    void AlertsResponse(bool success, const std::string &body, const TMessageToServer &message);

    // Read-only views, for the main form and for tests.
    const std::string &Username() const { return FUsername; }
    bool Stopped() const { return FStopped; }
    const std::string &SessionId() const { return FSessionId; }
    int MissedTicks() const { return FMissedTicks; }
    TTalkWithServer *Conversation() const { return FConversation.get(); }

    // Test seams: the program has no run-time setting for any of these.
    void SetAddressForTesting(const std::string &address) { FAddress = address; }
    void SetTimerEnabledForTesting(bool enabled);
    void SetCounterRateForTesting(int64_t rate) { FCounterRate = rate; }
    void TickForTesting() { TimerTick(); }
    // Called with each new conversation before it logs in, e.g. to count them.
    std::function<void(TTalkWithServer &)> OnConversationCreatedForTesting;

private:
    bool HaveCredentials() const { return !FUsername.empty() && !FPassword.empty(); }
    void SetStatus(const std::string &text);
    void TimerTick();
    void WakeUp();
    void CreateConversation();
    void FreeConversation();
    void RestartConversation();
    void ReapClosedConversation();
    TTalkWithServer *GetConversation(bool create);
    void Login();
    void LoginResponse(bool success, const std::string &body, const TMessageToServer &message);
    void PingResponse(bool success, const std::string &body, const TMessageToServer &message);
    void SendPingIfDue();
    void ScheduleNextPing();
    TRequestHandle SendMessage(const TMessageToServer &message, TResponseCallback callback);
    void CancelRequest(const TRequestHandle &handle);

    std::string FUsername;
    std::string FPassword;
    bool FStopped = false;
    std::string FSessionId;
    std::unique_ptr<TTimer> FTimer;
    int FMissedTicks = 0;
    std::unique_ptr<TTalkWithServer> FConversation;
    std::unique_ptr<TWakeMeSoon> FWakeUp;
    int64_t FCounterRate = 0;
    TRequestHandle FPingHandle;
    TDateTime FNextPingTime = 0;
    std::vector<TAlertCallback> FAlertListeners;
    std::string FStatus;
    std::string FAddress;
};

// The one process-wide session, created on the first call and never destroyed.
TMainConnection &MainConnection();
