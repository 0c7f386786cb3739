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

    // Receives one message into buffer: its size in bytes; 0 when the
    // socket's receive time-out (SRTO_RCVTIMEO) passed without one; -1 when
    // the connection ended or failed.
    int receiveMessage(char *buffer, int size) const;

    static constexpr int kInvalid = -1;

private:
    int m_socket = kInvalid;
};
