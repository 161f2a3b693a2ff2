#pragma once

#include "Exceptions.h"

#include <QString>
#include <QWidget>

class TLinkChannelConnector;

// A failing result from the connector control.
CORVANE_DECLARE_EXCEPTION(EOleException, Exception);

enum TAlign { alNone = 0, alClient = 1 };

// The connector control as the program sees it: the Boolean property set at
// creation (dispatch id 1), Symbol (18), the integer property read after every
// linked symbol (19) and NotifySymbol. It hosts our link-channel widget.
class TPennoricGenericConnector2X : public QWidget
{
    Q_OBJECT
public:
    // The owner destroys the control with itself.
    explicit TPennoricGenericConnector2X(QWidget *owner);
    ~TPennoricGenericConnector2X() override;

    void SetParent(QWidget *parent);
    void SetAlign(TAlign align);
    TAlign Align() const { return FAlign; }

    // Dispatch id 1: whether the control passes symbols on.
    bool Active() const;
    void SetActive(bool active);

    // Dispatch id 18.
    QString Symbol() const;
    void SetSymbol(const QString &symbol);

    // Dispatch id 19: the joined link channel, 0 when none is joined (the
    // window is then to be shown so the user can choose one).
    int LinkedChannel() const;

    // Raises EOleException when the control reports a failure.
    void NotifySymbol();

    TLinkChannelConnector *Control() const { return FControl; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void FillParent();

    TLinkChannelConnector *FControl = nullptr;
    TAlign FAlign = alNone;
};
