// The start-up baseline: a minimal Qt widgets program with a main window of
// the same make as the client's (two tabs, a few edits, buttons and labels).
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Minimal"));
    auto *layout = new QVBoxLayout(&window);
    auto *tabs = new QTabWidget(&window);
    layout->addWidget(tabs);
    auto *first = new QWidget;
    auto *firstLayout = new QVBoxLayout(first);
    firstLayout->addWidget(new QLabel(QStringLiteral("User name")));
    firstLayout->addWidget(new QLineEdit);
    firstLayout->addWidget(new QLabel(QStringLiteral("Password")));
    firstLayout->addWidget(new QLineEdit);
    firstLayout->addWidget(new QPushButton(QStringLiteral("Login")));
    firstLayout->addWidget(new QLabel);
    tabs->addTab(first, QStringLiteral("First"));
    auto *second = new QWidget;
    auto *secondLayout = new QVBoxLayout(second);
    for (int i = 1; i <= 8; ++i)
        secondLayout->addWidget(new QPushButton(QStringLiteral("Window %1").arg(i)));
    tabs->addTab(second, QStringLiteral("Second"));
    window.show();
    return app.exec();
}
