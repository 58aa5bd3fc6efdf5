#pragma once

#include <QString>

#include <cstdint>

namespace pocko {

// Colours as 0x00BBGGRR, the way the layout tables write them.
using BgrColor = std::uint32_t;
constexpr BgrColor SystemColor = 0xFFFFFFFFu; // the platform's default label face or text colour

enum class Align { Left, Centre };

// One control of a window as plain data: what the handlers read and write, and what the view
// draws. Positions and sizes are in twips (15 per pixel at 96 dpi).
struct Control
{
    QString name;
    QString caption;
    QString toolTip;
    QString tag;
    bool visible = true;
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    BgrColor back = SystemColor;
    BgrColor fore = SystemColor;
    bool border = true;
    Align align = Align::Centre;
    bool clickable = true;
};

constexpr int TwipsPerPixel = 15;

} // namespace pocko
