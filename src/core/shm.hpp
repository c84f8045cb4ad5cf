// Named POSIX shared-memory segments: the plain 4096-byte segment of a lock and
// the mirrored segment of a queue (header, data area, then the data area again).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "errors.hpp"

namespace kel {

inline constexpr std::size_t kPlainSegmentSize = 4096;
inline constexpr std::size_t kMirrorHeaderSize = 16384;

// How long an opener waits for a creator that has made the object but not yet
// sized or initialised it, before it reports the object as never initialised.
inline constexpr std::chrono::milliseconds kOpenWait{10'000};

// One mapping, unmapped once when its owner goes away. Move-only.
class Mapping {
public:
    Mapping() = default;
    Mapping(void* base, std::size_t length) noexcept : base_(base), length_(length) {}
    Mapping(Mapping&& other) noexcept : base_(other.base_), length_(other.length_) { other.base_ = nullptr; }
    Mapping& operator=(Mapping&& other) noexcept;
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    ~Mapping() { reset(); }

    [[nodiscard]] void* base() const noexcept { return base_; }
    [[nodiscard]] std::size_t length() const noexcept { return length_; }
    [[nodiscard]] explicit operator bool() const noexcept { return base_ != nullptr; }

    // Unmaps now; the result of munmap is of no use to anybody.
    void reset() noexcept;
    // Gives the mapping up without unmapping it: it stays until the process ends.
    void leak() noexcept { base_ = nullptr; }

private:
    void* base_ = nullptr;
    std::size_t length_ = 0;
};

// The name handed to the system: the caller's name with one leading "/".
[[nodiscard]] std::string segment_os_name(std::string_view name);

// Creates (exclusively, mode 0600, zero-filled, memory reserved) or opens the plain
// segment and maps its first 4096 bytes. An existing object shorter than that is
// refused, never mapped.
[[nodiscard]] Result<Mapping, SegmentError> open_segment(std::string_view name, bool create);

// Creates or opens a queue segment of kMirrorHeaderSize + data_size bytes and maps
// it as header, data area and mirror of the data area (2 * data_size + header).
// An opener waits up to kOpenWait for a creator that has not sized the object yet,
// and refuses an object whose size is not the one data_size implies.
[[nodiscard]] Result<Mapping, SegmentError> open_mirrored_segment(std::string_view name, std::uint64_t data_size,
                                                                  bool create);

// Opens an existing queue segment, whatever its size, and maps it as above;
// `data_size` receives the size of its data area. Never creates anything.
[[nodiscard]] Result<Mapping, SegmentError> attach_mirrored_segment(std::string_view name, std::uint64_t& data_size);

[[nodiscard]] Status<SegmentError> unlink_segment(std::string_view name);

} // namespace kel
