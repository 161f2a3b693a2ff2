#include "ErrorDisplay.h"

#include "Exceptions.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

std::function<void(const std::string &)> &DisplayOverride()
{
    static std::function<void(const std::string &)> display;
    return display;
}

std::string TextOf(const std::exception &e)
{
    if (const auto *own = dynamic_cast<const Exception *>(&e))
        return own->Message();
    return e.what();
}

} // namespace

void SetExceptionDisplayForTesting(std::function<void(const std::string &)> display)
{
    DisplayOverride() = std::move(display);
}

void ShowException(const std::exception &e)
{
    const std::string text = TextOf(e);
    if (const auto &display = DisplayOverride()) {
        display(text);
        return;
    }
    std::fprintf(stderr, "corvane: %s\n", text.c_str());
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    // Not modal: the message loop, and with it the session, keeps running.
    auto *box = new QMessageBox(QMessageBox::Critical, QApplication::applicationName(),
                                QString::fromStdString(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
