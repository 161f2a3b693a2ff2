#include "StdCtrls.h"

#include "ErrorDisplay.h"

#include <algorithm>
#include <vector>

namespace {

const char *const TabOrderProperty = "TabOrder";

} // namespace

int TabOrderOf(const QWidget *control)
{
    const QVariant order = control->property(TabOrderProperty);
    return order.isValid() ? order.toInt() : -1;
}

void SetTabOrderOf(QWidget *control, int order)
{
    control->setProperty(TabOrderProperty, order);
}

void ApplyTabOrder(QWidget *parent)
{
    std::vector<QWidget *> controls;
    for (QWidget *child : parent->findChildren<QWidget *>(Qt::FindDirectChildrenOnly)) {
        if (TabOrderOf(child) >= 0)
            controls.push_back(child);
    }
    std::stable_sort(controls.begin(), controls.end(),
                     [](const QWidget *a, const QWidget *b) { return TabOrderOf(a) < TabOrderOf(b); });
    for (std::size_t i = 1; i < controls.size(); ++i)
        QWidget::setTabOrder(controls[i - 1], controls[i]);
}

TPageControl::TPageControl(const char *name, QWidget *parent) : TControl<QTabWidget>(name, parent) {}

TTabSheet *TPageControl::ActivePage() const
{
    return qobject_cast<TTabSheet *>(currentWidget());
}

void TPageControl::SetActivePage(TTabSheet *page)
{
    setCurrentWidget(page);
}

TTabSheet::TTabSheet(const char *name, TPageControl *pageControl, const std::string &caption)
    : QWidget(pageControl), FPageControl(pageControl)
{
    setObjectName(QString::fromLatin1(name));
    FPageControl->addTab(this, QString::fromStdString(caption));
}

std::string TTabSheet::Caption() const
{
    return FPageControl->tabText(FPageControl->indexOf(this)).toStdString();
}

void TTabSheet::SetCaption(const std::string &caption)
{
    FPageControl->setTabText(FPageControl->indexOf(this), QString::fromStdString(caption));
}

TLabel::TLabel(const char *name, QWidget *parent, const std::string &caption) : TControl<QLabel>(name, parent)
{
    SetCaption(caption);
}

std::string TLabel::Caption() const
{
    return text().toStdString();
}

void TLabel::SetCaption(const std::string &caption)
{
    // Plain text: a status from the server must not be read as markup.
    setTextFormat(Qt::PlainText);
    setText(QString::fromStdString(caption));
    adjustSize();
}

TEdit::TEdit(const char *name, QWidget *parent) : TControl<QLineEdit>(name, parent) {}

std::string TEdit::Text() const
{
    return text().toStdString();
}

void TEdit::SetText(const std::string &text)
{
    setText(QString::fromStdString(text));
}

void TEdit::SetPasswordChar(char passwordChar)
{
    FPasswordChar = passwordChar;
    if (passwordChar == 0) {
        setEchoMode(QLineEdit::Normal);
        setStyleSheet(QString());
        return;
    }
    setEchoMode(QLineEdit::Password);
    setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: %1; }")
                      .arg(static_cast<unsigned char>(passwordChar)));
}

TButton::TButton(const char *name, QWidget *parent, const std::string &caption)
    : TControl<QPushButton>(name, parent)
{
    SetCaption(caption);
    connect(this, &QPushButton::clicked, this, [this] {
        if (OnClick)
            CallGuiHandler([this] { OnClick(this); });
    });
}

std::string TButton::Caption() const
{
    return text().toStdString();
}

void TButton::SetCaption(const std::string &caption)
{
    setText(QString::fromStdString(caption));
}
