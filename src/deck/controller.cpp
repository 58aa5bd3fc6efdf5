#include "controller.h"

#include "player/player.h"

namespace pocko {

void Controller::runGuarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const PlayerFailure &) {
        // A failure of the player ends the handler where it happened; what it did stays done.
    }
    notifyChanged();
}

} // namespace pocko
