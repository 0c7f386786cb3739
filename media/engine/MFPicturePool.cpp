#include "media/engine/MFPicturePool.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace mf {

namespace {

constexpr size_t kMaxIdlePerSize = 4;
constexpr size_t kMaxIdleBytes = size_t(96) << 20;

// Picture memory is mapped directly rather than taken from the heap: a
// returned buffer goes straight back to the system instead of leaving
// multi-megabyte holes in malloc's arenas, so the resident size follows
// what is really in use.
class Buffer
{
public:
    Buffer() = default;
    explicit Buffer(size_t bytes) : m_bytes(bytes)
    {
        void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_data = p == MAP_FAILED ? nullptr : static_cast<uchar *>(p);
    }
    Buffer(uchar *data, size_t bytes) : m_data(data), m_bytes(bytes) {}
    Buffer(Buffer &&other) noexcept : m_data(other.m_data), m_bytes(other.m_bytes) { other.m_data = nullptr; }
    Buffer &operator=(Buffer &&other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_bytes, other.m_bytes);
        return *this;
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer()
    {
        if (m_data)
            munmap(m_data, m_bytes);
    }
    uchar *get() const { return m_data; }
    uchar *release()
    {
        uchar *p = m_data;
        m_data = nullptr;
        return p;
    }
    explicit operator bool() const { return m_data != nullptr; }

private:
    uchar *m_data = nullptr;
    size_t m_bytes = 0;
};

class Pool
{
public:
    Buffer take(size_t bytes)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_idle.find(bytes);
            if (it != m_idle.end() && !it->second.empty()) {
                Buffer b = std::move(it->second.back());
                it->second.pop_back();
                m_idleBytes -= bytes;
                return b;
            }
        }
        return Buffer(bytes);
    }

    void give(uchar *p, size_t bytes)
    {
        Buffer b(p, bytes);
        std::lock_guard<std::mutex> lock(m_mutex);
        auto &list = m_idle[bytes];
        if (list.size() >= kMaxIdlePerSize || m_idleBytes + bytes > kMaxIdleBytes)
            return; // freed by b
        list.push_back(std::move(b));
        m_idleBytes += bytes;
    }

    size_t idleBytes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_idleBytes;
    }

private:
    std::mutex m_mutex;
    std::map<size_t, std::vector<Buffer>> m_idle;
    size_t m_idleBytes = 0;
};

Pool &pool()
{
    static Pool instance;
    return instance;
}

// What QImage hands back when the last copy goes: the buffer and its size.
struct Lease
{
    uchar *data;
    size_t bytes;
};

void giveBack(void *info)
{
    std::unique_ptr<Lease> lease(static_cast<Lease *>(info));
    pool().give(lease->data, lease->bytes);
}

} // namespace

QImage MFPicturePool::allocate(const QSize &size)
{
    if (size.isEmpty())
        return {};
    const int stride = size.width() * 4;
    const size_t bytes = size_t(stride) * size_t(size.height());
    Buffer buffer = pool().take(bytes);
    if (!buffer)
        return {};
    auto lease = std::make_unique<Lease>(Lease{buffer.get(), bytes});
    QImage image(buffer.get(), size.width(), size.height(), stride, QImage::Format_RGB32, &giveBack, lease.get());
    if (image.isNull())
        return {};
    buffer.release(); // owned by the image's lease from here
    lease.release();
    return image;
}

QImage MFPicturePool::copyOf(const QImage &picture)
{
    QImage copy = allocate(picture.size());
    if (copy.isNull())
        return copy;
    const size_t row = size_t(picture.width()) * 4;
    for (int y = 0; y < picture.height(); ++y)
        std::memcpy(copy.scanLine(y), picture.constScanLine(y), row);
    return copy;
}

size_t MFPicturePool::idleBytes() { return pool().idleBytes(); }

} // namespace mf
