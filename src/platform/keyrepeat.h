#pragma once

namespace pocko {

// A held key makes the X server repeat it. Unasked, it sends each repeat as a release and a press
// with one time stamp, and a handler that acts on releases cannot tell such a release from the
// key being let go until the press behind it has arrived, which on a busy machine may be later.
// With XKB's detectable auto-repeat the server sends this program the repeats as presses only and
// one release when the key is let go. This asks for that on the application's own X connection;
// it returns whether the X server agreed. Without X (Wayland, offscreen) or without XKB it changes
// nothing and returns false. GUI thread, once the application object exists.
bool enableDetectableKeyRepeat();

} // namespace pocko
