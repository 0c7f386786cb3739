#pragma once

// Sole owner of one libsrt socket: closes it when destroyed or reset.
// Move-only, like std::unique_ptr.
class SrtSocket
{
public:
    SrtSocket() = default;
    explicit SrtSocket(int socket) : m_socket(socket) {}
    ~SrtSocket() { reset(); }
    SrtSocket(SrtSocket &&other) noexcept : m_socket(other.release()) {}
    SrtSocket &operator=(SrtSocket &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    SrtSocket(const SrtSocket &) = delete;
    SrtSocket &operator=(const SrtSocket &) = delete;

    int get() const { return m_socket; }
    bool isValid() const { return m_socket != kInvalid; }
    int release()
    {
        const int socket = m_socket;
        m_socket = kInvalid;
        return socket;
    }
    void reset(int socket = kInvalid);

    static constexpr int kInvalid = -1;

private:
    int m_socket = kInvalid;
};
