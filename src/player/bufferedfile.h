#pragma once

#include <mpg123.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace pocko {

// A file that libmpg123 reads through a 64 KB buffer: it reads each frame header and body with
// separate calls, which for an hour-long file means 100,000s of system calls in the length scan.
// With `cancel` set, every read fails once it turns true, so that even that scan stops at once.
// Called by libmpg123 on whichever thread holds the decoder.
struct BufferedFile
{
    int fd = -1;
    const std::atomic<bool> *cancel = nullptr;
    off_t position = 0;
    off_t bufferStart = 0;
    size_t bufferLength = 0;
    std::vector<unsigned char> buffer = std::vector<unsigned char>(64 * 1024);

    // Hands libmpg123 this file's read and seek; `handle` then opens it.
    bool attach(mpg123_handle *handle)
    {
        return mpg123_replace_reader_handle(handle, &BufferedFile::read, &BufferedFile::seek,
                                            nullptr)
            == MPG123_OK
            && mpg123_open_handle(handle, this) == MPG123_OK;
    }

    static mpg123_ssize_t read(void *self, void *destination, size_t bytes)
    {
        auto *file = static_cast<BufferedFile *>(self);
        if (file->cancel && file->cancel->load(std::memory_order_relaxed))
            return -1;
        auto *out = static_cast<unsigned char *>(destination);
        size_t done = 0;
        while (done < bytes) {
            const off_t offset = file->position - file->bufferStart;
            if (offset >= 0 && offset < off_t(file->bufferLength)) {
                const size_t n = std::min(bytes - done, file->bufferLength - size_t(offset));
                std::memcpy(out + done, file->buffer.data() + offset, n);
                done += n;
                file->position += off_t(n);
                continue;
            }
            const ssize_t got
                = ::pread(file->fd, file->buffer.data(), file->buffer.size(), file->position);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return got < 0 && done == 0 ? -1 : mpg123_ssize_t(done);
            file->bufferStart = file->position;
            file->bufferLength = size_t(got);
        }
        return mpg123_ssize_t(done);
    }

    static off_t seek(void *self, off_t offset, int whence)
    {
        auto *file = static_cast<BufferedFile *>(self);
        off_t target = offset;
        if (whence == SEEK_CUR) {
            target += file->position;
        } else if (whence == SEEK_END) {
            struct stat info;
            if (::fstat(file->fd, &info) != 0)
                return -1;
            target += info.st_size;
        }
        if (target < 0)
            return -1;
        file->position = target;
        return target;
    }
};

} // namespace pocko
