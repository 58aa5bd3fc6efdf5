#include "jackpad.h"

#include "timing.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cstdint>

namespace pocko::bench {

JackPad::JackPad()
{
    m_client = jack_client_open("pocko bench pad", JackNoStartServer, nullptr);
    if (!m_client)
        return;
    m_port = jack_port_register(m_client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(m_client, &JackPad::process, this);
    if (!m_port || jack_activate(m_client) != 0) {
        jack_client_close(m_client);
        m_client = nullptr;
    }
}

JackPad::~JackPad()
{
    if (m_client)
        jack_client_close(m_client);
}

void JackPad::strike()
{
    m_struckNs.store(steadyNs());
    m_frame.store(jack_frame_time(m_client));
    m_pending.store(true);
}

int JackPad::process(jack_nframes_t frames, void *user)
{
    auto *self = static_cast<JackPad *>(user);
    void *buffer = jack_port_get_buffer(self->m_port, frames);
    jack_midi_clear_buffer(buffer);
    if (!self->m_pending.load())
        return 0;
    // Frames wrap around; their difference does not.
    const auto offset = std::int32_t(self->m_frame.load() + frames
                                     - jack_last_frame_time(self->m_client));
    if (offset >= std::int32_t(frames))
        return 0; // struck in this cycle: it goes out in the next
    const jack_midi_data_t note[3] = { 0x90, 36, 100 };
    jack_midi_event_write(buffer, jack_nframes_t(std::max(offset, 0)), note, 3);
    self->m_pending.store(false);
    return 0;
}

} // namespace pocko::bench
