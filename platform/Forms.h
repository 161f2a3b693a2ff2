#pragma once

#include <QWidget>

#include <functional>
#include <string>

class QMenu;

enum TWindowState { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };
enum TCloseAction { caNone = 0, caHide = 1, caFree = 2, caMinimize = 3 };

// A top-level window of the form library: Tag, caption, position and size,
// visibility, window state, a context menu. Closing it asks FormClose what to
// do; the default hides it (the main form ends the message loop instead).
class TForm : public QWidget
{
    Q_OBJECT
public:
    explicit TForm(QWidget *parent = nullptr);
    ~TForm() override;

    int Tag = 0;

    std::string Caption() const;
    void SetCaption(const std::string &caption);

    // Outer position (frame included) and client size, in pixels.
    int Left() const;
    int Top() const;
    int Width() const { return width(); }
    int Height() const { return height(); }
    void SetLeft(int left);
    void SetTop(int top);
    void SetWidth(int w) { resize(w, height()); }
    void SetHeight(int h) { resize(width(), h); }
    void SetBounds(int left, int top, int width, int height);

    // The restored (normal) rectangle, also while maximised or minimised.
    QRect NormalBounds() const;

    bool Visible() const { return isVisible(); }
    void SetVisible(bool visible) { setVisible(visible); }

    TWindowState WindowState() const;
    void SetWindowState(TWindowState state);

    // Shows the window and brings it in front of the others.
    void Show();

    // The menu a right click anywhere in the window opens; not owned.
    void SetPopupMenu(QMenu *menu);
    QMenu *PopupMenu() const { return FPopupMenu; }

    // Called when the user closes the window.
    std::function<void(TCloseAction &action)> OnClose;

protected:
    void closeEvent(QCloseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QMenu *FPopupMenu = nullptr;
};
