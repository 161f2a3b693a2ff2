#include "PennoricGenericConnector2Proj1_TLB.h"

#include "LinkChannelConnector.h"

#include <QEvent>
#include <QVBoxLayout>

TPennoricGenericConnector2X::TPennoricGenericConnector2X(QWidget *owner) : QWidget(owner)
{
    setObjectName(QStringLiteral("Connector"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    FControl = new TLinkChannelConnector(this);
    layout->addWidget(FControl);
}

TPennoricGenericConnector2X::~TPennoricGenericConnector2X() = default;

void TPennoricGenericConnector2X::SetParent(QWidget *parent)
{
    if (parentWidget())
        parentWidget()->removeEventFilter(this);
    setParent(parent);
    if (parent && FAlign == alClient)
        parent->installEventFilter(this);
    FillParent();
    // Changing the parent hides a widget; the control shows with its window.
    show();
}

void TPennoricGenericConnector2X::SetAlign(TAlign align)
{
    FAlign = align;
    if (QWidget *parent = parentWidget()) {
        parent->removeEventFilter(this);
        if (align == alClient)
            parent->installEventFilter(this);
    }
    FillParent();
}

void TPennoricGenericConnector2X::FillParent()
{
    if (FAlign == alClient && parentWidget())
        setGeometry(parentWidget()->rect());
}

bool TPennoricGenericConnector2X::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        FillParent();
    return QWidget::eventFilter(watched, event);
}

bool TPennoricGenericConnector2X::Active() const
{
    return FControl->Active();
}

void TPennoricGenericConnector2X::SetActive(bool active)
{
    FControl->SetActive(active);
}

QString TPennoricGenericConnector2X::Symbol() const
{
    return FControl->Symbol();
}

void TPennoricGenericConnector2X::SetSymbol(const QString &symbol)
{
    FControl->SetSymbol(symbol);
}

int TPennoricGenericConnector2X::LinkedChannel() const
{
    return FControl->LinkedChannel();
}

void TPennoricGenericConnector2X::NotifySymbol()
{
    const TLinkResult result = FControl->NotifySymbol();
    if (!result.Succeeded)
        throw EOleException(result.ErrorText.toStdString());
}
