#pragma once

#include <functional>

namespace pocko {

class PlayerFailure;

// What every window controller shares: handlers run through event(), which ends a handler at a
// player failure (keeping what it had done, without a message) and then tells the views to redraw.
class Controller
{
public:
    virtual ~Controller() = default;

    // Called after every event, so that all views can redraw from the controllers' data.
    std::function<void()> changed;

    template<class Handler>
    void event(Handler &&handler)
    {
        runGuarded(std::function<void()>(std::forward<Handler>(handler)));
    }

protected:
    void notifyChanged()
    {
        if (changed)
            changed();
    }

private:
    void runGuarded(const std::function<void()> &handler);
};

} // namespace pocko
