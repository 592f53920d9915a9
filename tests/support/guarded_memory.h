// Memory that proves a function stays inside what it was handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace ffiref_test {

// `size` bytes that end exactly where an inaccessible page begins: touching
// one byte past them faults.
class BeforeUnmappedPage {
  public:
    explicit BeforeUnmappedPage(std::size_t size) : size_(size) {
#if defined(_WIN32)
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        page_ = system.dwPageSize;
        length_ = (size + page_ - 1) / page_ * page_ + page_;
        base_ = static_cast<unsigned char *>(
            VirtualAlloc(nullptr, length_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base_ == nullptr) {
            throw std::runtime_error("VirtualAlloc failed");
        }
        DWORD previous;
        if (!VirtualProtect(base_ + length_ - page_, page_, PAGE_NOACCESS, &previous)) {
            throw std::runtime_error("VirtualProtect failed");
        }
#else
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        length_ = (size + page_ - 1) / page_ * page_ + page_;
        void *base =
            mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<unsigned char *>(base);
        if (mprotect(base_ + length_ - page_, page_, PROT_NONE) != 0) {
            throw std::runtime_error("mprotect failed");
        }
#endif
    }
    BeforeUnmappedPage(const BeforeUnmappedPage &) = delete;
    BeforeUnmappedPage &operator=(const BeforeUnmappedPage &) = delete;
    ~BeforeUnmappedPage() {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, length_);
#endif
    }

    unsigned char *data() const {
        return base_ + length_ - page_ - size_;
    }
    template <typename T> T *as() const {
        return reinterpret_cast<T *>(data());
    }

  private:
    std::size_t size_;
    std::size_t page_ = 0;
    std::size_t length_ = 0;
    unsigned char *base_ = nullptr;
};

// A buffer with guard bytes on both sides; intact() tells whether anything
// was written outside the `size` bytes in the middle. `offset` shifts the
// start, e.g. to an odd address.
class Guarded {
  public:
    static constexpr std::size_t kGuard = 32;
    static constexpr unsigned char kPattern = 0xA7;

    explicit Guarded(std::size_t size, std::size_t offset = 0, unsigned char fill = 0xCC)
        : size_(size), offset_(offset), bytes_(kGuard + offset + size + kGuard, kPattern) {
        std::memset(data(), fill, size);
    }

    unsigned char *data() {
        return bytes_.data() + kGuard + offset_;
    }
    template <typename T> T *as() {
        return reinterpret_cast<T *>(data());
    }

    bool intact() const {
        const std::size_t begin = kGuard + offset_;
        for (std::size_t i = 0; i < bytes_.size(); ++i) {
            const bool inside = i >= begin && i < begin + size_;
            if (!inside && bytes_[i] != kPattern) {
                return false;
            }
        }
        return true;
    }

  private:
    std::size_t size_;
    std::size_t offset_;
    std::vector<unsigned char> bytes_;
};

} // namespace ffiref_test
