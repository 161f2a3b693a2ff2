#include "Forms.h"

#include "ErrorDisplay.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QMenu>

TForm::TForm(QWidget *parent) : QWidget(parent, Qt::Window) {}

TForm::~TForm() = default;

std::string TForm::Caption() const
{
    return windowTitle().toStdString();
}

void TForm::SetCaption(const std::string &caption)
{
    setWindowTitle(QString::fromStdString(caption));
}

int TForm::Left() const
{
    return pos().x();
}

int TForm::Top() const
{
    return pos().y();
}

void TForm::SetLeft(int left)
{
    move(left, pos().y());
}

void TForm::SetTop(int top)
{
    move(pos().x(), top);
}

void TForm::SetBounds(int left, int top, int w, int h)
{
    move(left, top);
    resize(w, h);
}

QRect TForm::NormalBounds() const
{
    if (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) {
        const QRect normal = normalGeometry();
        if (normal.isValid())
            return QRect(normal.topLeft() - (geometry().topLeft() - pos()), normal.size());
    }
    return QRect(pos(), size());
}

TWindowState TForm::WindowState() const
{
    const Qt::WindowStates state = windowState();
    if (state & Qt::WindowMinimized)
        return wsMinimized;
    if (state & Qt::WindowMaximized)
        return wsMaximized;
    return wsNormal;
}

void TForm::SetWindowState(TWindowState state)
{
    Qt::WindowStates s = windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
    if (state == wsMinimized)
        s |= Qt::WindowMinimized;
    else if (state == wsMaximized)
        s |= Qt::WindowMaximized;
    setWindowState(s);
}

void TForm::Show()
{
    show();
    raise();
    activateWindow();
}

void TForm::SetPopupMenu(QMenu *menu)
{
    FPopupMenu = menu;
}

void TForm::closeEvent(QCloseEvent *event)
{
    TCloseAction action = caHide;
    if (OnClose)
        CallGuiHandler([&] { OnClose(action); });
    if (action == caNone) {
        event->ignore();
        return;
    }
    event->accept();
    if (action == caMinimize)
        SetWindowState(wsMinimized);
}

void TForm::contextMenuEvent(QContextMenuEvent *event)
{
    if (!FPopupMenu) {
        QWidget::contextMenuEvent(event);
        return;
    }
    FPopupMenu->popup(event->globalPos());
}
