#pragma once
// Byte buffers of the SDK. Every buffer is wiped when its storage is released,
// so secret material (keys, passwords, codes) never lingers in freed memory.
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace svsdk {

// Overwrites memory so that the compiler cannot elide the write.
void secureWipe(void* data, std::size_t length) noexcept;
inline void secureWipe(std::string& text) noexcept {
    secureWipe(text.data(), text.size());
    text.clear();
}

template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// The SDK's byte string: contiguous, may be empty, wiped on release.
using Bytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string stringOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace svsdk
