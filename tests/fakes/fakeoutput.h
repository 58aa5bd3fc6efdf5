#pragma once

#include "player/audiooutput.h"

#include <memory>
#include <mutex>
#include <vector>

namespace pocko {

// A sound device the test plays by hand: pump() asks the player for sound as a device's thread
// would. cut() loses the device as a dying sound server does, and no new one opens until
// restore(). The player owns the output; the test keeps the shared Device.
class FakeOutput : public AudioOutput
{
public:
    struct Device
    {
        std::mutex mutex;
        std::vector<int> opened; // the buffer size of every open
        bool serverUp = true;
        bool open = false;
        bool lost = false;
        RenderFunction render = nullptr;
        void *user = nullptr;

        // Renders `frames`; appends them to `heard` when the device is up and heard.
        void pump(std::vector<float> &heard, int frames = 256)
        {
            std::lock_guard lock(mutex);
            if (!open)
                return;
            std::vector<float> buffer(std::size_t(frames) * 2);
            render(user, buffer.data(), frames, !lost);
            if (!lost)
                heard.insert(heard.end(), buffer.begin(), buffer.end());
        }
        void cut()
        {
            std::lock_guard lock(mutex);
            lost = open;
            serverUp = false;
        }
        void restore()
        {
            std::lock_guard lock(mutex);
            serverUp = true;
        }
        bool isOpen()
        {
            std::lock_guard lock(mutex);
            return open;
        }
        std::vector<int> sizes()
        {
            std::lock_guard lock(mutex);
            return opened;
        }
    };

    explicit FakeOutput(std::shared_ptr<Device> device)
        : m_device(std::move(device))
    {
    }

    bool open(int frames, RenderFunction render, void *user) override
    {
        std::lock_guard lock(m_device->mutex);
        if (!m_device->serverUp)
            return false;
        m_device->opened.push_back(frames);
        m_device->open = true;
        m_device->lost = false;
        m_device->render = render;
        m_device->user = user;
        return true;
    }
    void close() override
    {
        std::lock_guard lock(m_device->mutex);
        m_device->open = false;
    }
    bool lost() const override
    {
        std::lock_guard lock(m_device->mutex);
        return m_device->lost;
    }
    void restart() override { }

private:
    std::shared_ptr<Device> m_device;
};

} // namespace pocko
