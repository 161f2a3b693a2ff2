#pragma once

// Helpers for the alert grid tests: render a grid, see what text went into
// which cell and in which colour, click it, switch the locale.

#include "DrawGrid.h"

#include <QApplication>
#include <QImage>
#include <QLocale>
#include <QMouseEvent>

#include <cmath>
#include <optional>
#include <vector>

struct TDrawnText
{
    int Column;
    int Row;
    QString Text;
    QColor Color;
    QRect Rect;
    int X;
    int Y;
};

// Records every text the grid's canvas draws, with the cell it lies in.
class TTextRecorder
{
public:
    explicit TTextRecorder(TDrawGrid &grid) : FGrid(grid)
    {
        FGrid.Canvas().OnTextRect = [this](const QRect &rect, int x, int y, const QString &text) {
            int column = -1;
            int row = -1;
            FGrid.MouseToCell(rect.center().x(), rect.center().y(), column, row);
            Drawn.push_back({column, row, text, FGrid.Canvas().FontColor, rect, x, y});
        };
    }
    ~TTextRecorder() { FGrid.Canvas().OnTextRect = nullptr; }
    TTextRecorder(const TTextRecorder &) = delete;
    TTextRecorder &operator=(const TTextRecorder &) = delete;

    // Paints the whole grid afresh; Drawn then holds this painting's texts.
    QImage Render()
    {
        Drawn.clear();
        return FGrid.grab().toImage();
    }

    std::optional<TDrawnText> At(int column, int row) const
    {
        std::optional<TDrawnText> found;
        for (const TDrawnText &text : Drawn)
            if (text.Column == column && text.Row == row)
                found = text;
        return found;
    }

    // The text drawn in the cell, empty when the cell shows only its background.
    QString TextAt(int column, int row) const
    {
        const auto text = At(column, row);
        return text ? text->Text : QString();
    }

    std::vector<TDrawnText> Drawn;

private:
    TDrawGrid &FGrid;
};

inline int CountPixels(const QImage &image, const QRect &rect, const QColor &color)
{
    int count = 0;
    const QRect inside = rect.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            if (image.pixelColor(x, y) == color)
                ++count;
    return count;
}

// Whether text in the given colour was painted over the background in the
// rectangle: the pixel that differs most from the background (the most covered
// one, as glyph edges are anti-aliased) must lie in the text colour's direction.
inline bool HasInk(const QImage &image, const QRect &rect, const QColor &background, const QColor &text)
{
    const QRect inside = rect.intersected(image.rect());
    double best = 0;
    double dr = 0, dg = 0, db = 0;
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QColor p = image.pixelColor(x, y);
            const double r = p.red() - background.red();
            const double g = p.green() - background.green();
            const double b = p.blue() - background.blue();
            const double distance = r * r + g * g + b * b;
            if (distance > best) {
                best = distance;
                dr = r;
                dg = g;
                db = b;
            }
        }
    }
    const double tr = text.red() - background.red();
    const double tg = text.green() - background.green();
    const double tb = text.blue() - background.blue();
    const double wanted = tr * tr + tg * tg + tb * tb;
    if (best < wanted / 4 || wanted == 0)
        return false;
    const double cosine = (dr * tr + dg * tg + db * tb) / std::sqrt(best * wanted);
    return cosine > 0.98;
}

inline void SendGridMouse(TDrawGrid &grid, QEvent::Type type, QPoint p, Qt::MouseButton button,
                          Qt::MouseButtons buttons)
{
    QWidget *target = grid.viewport();
    QMouseEvent event(type, QPointF(p), QPointF(target->mapToGlobal(p)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Press and release at a client point.
inline void ClickGrid(TDrawGrid &grid, QPoint p, Qt::MouseButton button = Qt::LeftButton)
{
    SendGridMouse(grid, QEvent::MouseButtonPress, p, button, button);
    SendGridMouse(grid, QEvent::MouseButtonRelease, p, button, Qt::NoButton);
}

inline QPoint CellCentre(const TDrawGrid &grid, int column, int row)
{
    return grid.CellRect(column, row).center();
}

// Makes the locale the default for the life of the guard.
class TLocaleGuard
{
public:
    explicit TLocaleGuard(const QLocale &locale) : FSaved(QLocale()) { QLocale::setDefault(locale); }
    ~TLocaleGuard() { QLocale::setDefault(FSaved); }
    TLocaleGuard(const TLocaleGuard &) = delete;
    TLocaleGuard &operator=(const TLocaleGuard &) = delete;

private:
    QLocale FSaved;
};
