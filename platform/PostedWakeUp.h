#pragma once

#include <QObject>

#include <functional>

// A private object that receives one posted event type. Posting queues the
// event behind everything already waiting in the event loop; deleting the
// object drops events not yet delivered, so a destroyed owner is never called.
class TPostedWakeUp : public QObject
{
    Q_OBJECT
public:
    TPostedWakeUp();

    std::function<void()> OnDelivered;

    void Post();

protected:
    bool event(QEvent *e) override;
};
