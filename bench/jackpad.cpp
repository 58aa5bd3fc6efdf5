#include "jackpad.h"

#include "timing.h"

#include <jack/midiport.h>

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

int JackPad::process(jack_nframes_t frames, void *user)
{
    auto *self = static_cast<JackPad *>(user);
    void *buffer = jack_port_get_buffer(self->m_port, frames);
    jack_midi_clear_buffer(buffer);
    if (self->m_pending.exchange(false)) {
        const jack_midi_data_t note[3] = { 0x90, 36, 100 };
        jack_midi_event_write(buffer, 0, note, 3);
        self->m_sentNs.store(steadyNs());
    }
    return 0;
}

} // namespace pocko::bench
