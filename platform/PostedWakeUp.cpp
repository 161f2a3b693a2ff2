#include "PostedWakeUp.h"

#include "ErrorDisplay.h"

#include <QCoreApplication>
#include <QEvent>

namespace {

QEvent::Type WakeUpEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

} // namespace

TPostedWakeUp::TPostedWakeUp() = default;

void TPostedWakeUp::Post()
{
    QCoreApplication::postEvent(this, new QEvent(WakeUpEventType()));
}

bool TPostedWakeUp::event(QEvent *e)
{
    if (e->type() != WakeUpEventType())
        return QObject::event(e);
    if (OnDelivered)
        CallGuiHandler(OnDelivered);
    return true;
}
