#pragma once

namespace pocko {

// A steady, monotonic clock in seconds with fractions. Never the time of day: a cue burst that
// spans midnight must still end on time. Any thread.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual double now() = 0;
};

class SteadyClock : public Clock
{
public:
    double now() override;
};

} // namespace pocko
