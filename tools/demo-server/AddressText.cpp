#include "AddressText.h"

std::string AddressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString().toStdString();
    return "[" + address.toString().toStdString() + "]";
}
