#pragma once

#include "clickablelabel.h"

namespace pocko {

class TrackWave;

// The track bar: a clickable label that paints the deck's track-bar picture behind its caption
// (the picture's lines over it), or, while the picture is hidden, only the label. GUI thread only.
class TrackBarLabel : public ClickableLabel
{
    Q_OBJECT

public:
    TrackBarLabel(const TrackWave &wave, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const TrackWave &m_wave;
};

} // namespace pocko
