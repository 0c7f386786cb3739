#include "media/engine/MFPicturePool.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace mf {

namespace {

constexpr size_t kMaxIdlePerSize = 8;
constexpr size_t kMaxIdleBytes = size_t(256) << 20;

struct BufferDeleter { void operator()(uchar *p) const { std::free(p); } };
using Buffer = std::unique_ptr<uchar, BufferDeleter>;

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
        return Buffer(static_cast<uchar *>(std::aligned_alloc(64, (bytes + 63) / 64 * 64)));
    }

    void give(uchar *p, size_t bytes)
    {
        Buffer b(p);
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
