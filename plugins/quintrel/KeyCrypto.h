#pragma once

// The little cryptography the plug-in does itself; one source file per
// platform (OpenSSL on Linux, the platform's own on Windows).

#include "KeyRequest.h"

#include <cstddef>

Bytes digest(HashAlgorithm algorithm, const Bytes& data);

// Overwrites a secret so that the compiler cannot drop the store.
void cleanse(void* data, std::size_t size);

// A PIN: fixed room, never reallocated (so never copied behind our back),
// overwritten when it goes.
class SecretBuffer {
public:
    SecretBuffer() = default;
    ~SecretBuffer() { clear(); }
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    static constexpr std::size_t kCapacity = 256;
    // False when full: the secret is then unusable and should be cleared.
    bool push(char c)
    {
        if (m_length >= kCapacity) {
            return false;
        }
        m_data[m_length++] = c;
        return true;
    }
    void clear()
    {
        cleanse(m_data, sizeof m_data);
        m_length = 0;
    }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(m_data); }
    std::size_t size() const { return m_length; }

private:
    char m_data[kCapacity] = {};
    std::size_t m_length = 0;
};
