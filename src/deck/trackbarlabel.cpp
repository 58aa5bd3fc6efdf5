#include "trackbarlabel.h"

#include "trackwave.h"

#include <QPainter>

namespace pocko {

TrackBarLabel::TrackBarLabel(const TrackWave &wave, QWidget *parent)
    : ClickableLabel(parent)
    , m_wave(wave)
{
}

void TrackBarLabel::paintEvent(QPaintEvent *event)
{
    if (!m_wave.shown()) {
        ClickableLabel::paintEvent(event);
        return;
    }
    const int top = 1;
    const int inner = height() - 2;
    {
        QPainter painter(this);
        const auto &pixels = m_wave.pixels();
        for (int x = 0; x < int(pixels.size()) && x < width(); ++x) {
            const TrackWave::Pixel &pixel = pixels[std::size_t(x)];
            if (pixel.back != 0)
                painter.fillRect(x, top, 1, inner, toQColor(pixel.back));
            if (pixel.height > 0)
                painter.fillRect(x, top + (inner - pixel.height) / 2, 1, pixel.height,
                                 toQColor(pixel.wave));
        }
    }
    // The border and the caption over the picture, then the marks and the play head over all.
    ClickableLabel::paintEvent(event);
    QPainter painter(this);
    for (const TrackWave::Line &line : m_wave.lines())
        painter.fillRect(line.pixel, top, 1, inner, toQColor(line.colour));
}

} // namespace pocko
