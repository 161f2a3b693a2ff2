#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <functional>
#include <string>

// A control's place in the keyboard focus order of its parent's controls; -1
// when it takes no part.
int TabOrderOf(const QWidget *control);
void SetTabOrderOf(QWidget *control, int order);

// The controls a form places by hand: a position and size in its parent's
// client area (Left, Top, Width, Height), a Tag, and a tab order among the
// controls of the same parent. Each is a thin Qt widget whose objectName is
// the control's name, so code and tests can find it.
template <typename TWidget> class TControl : public TWidget
{
public:
    TControl(const char *name, QWidget *parent) : TWidget(parent)
    {
        this->setObjectName(QString::fromLatin1(name));
    }

    int Tag = 0;

    int Left() const { return this->x(); }
    int Top() const { return this->y(); }
    int Width() const { return this->width(); }
    int Height() const { return this->height(); }
    void SetBounds(int left, int top, int width, int height) { this->setGeometry(left, top, width, height); }
    void SetPosition(int left, int top) { this->move(left, top); }

    int TabOrder() const { return TabOrderOf(this); }
    void SetTabOrder(int order) { SetTabOrderOf(this, order); }
};

// Chains the keyboard focus through the direct children of parent that have a
// tab order, lowest first.
void ApplyTabOrder(QWidget *parent);

class TTabSheet;

// Pages on tabs; the pages are TTabSheets.
class TPageControl : public TControl<QTabWidget>
{
    Q_OBJECT
public:
    TPageControl(const char *name, QWidget *parent);

    TTabSheet *ActivePage() const;
    void SetActivePage(TTabSheet *page);
};

// One page of a page control; its caption is the tab's text.
class TTabSheet : public QWidget
{
    Q_OBJECT
public:
    TTabSheet(const char *name, TPageControl *pageControl, const std::string &caption);

    std::string Caption() const;
    void SetCaption(const std::string &caption);

private:
    TPageControl *FPageControl;
};

// A text that sizes itself to its caption.
class TLabel : public TControl<QLabel>
{
    Q_OBJECT
public:
    TLabel(const char *name, QWidget *parent, const std::string &caption);

    std::string Caption() const;
    void SetCaption(const std::string &caption);
};

// A one-line text field. A non-zero password character hides the text,
// showing that character for each letter.
class TEdit : public TControl<QLineEdit>
{
    Q_OBJECT
public:
    TEdit(const char *name, QWidget *parent);

    std::string Text() const;
    void SetText(const std::string &text);

    char PasswordChar() const { return FPasswordChar; }
    void SetPasswordChar(char passwordChar);

private:
    char FPasswordChar = 0;
};

// A push button; OnClick gets the button as Sender. An exception from the
// handler goes to the default error display.
class TButton : public TControl<QPushButton>
{
    Q_OBJECT
public:
    TButton(const char *name, QWidget *parent, const std::string &caption);

    std::string Caption() const;
    void SetCaption(const std::string &caption);

    std::function<void(QObject *Sender)> OnClick;
};
