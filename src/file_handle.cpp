#include "file_handle.h"

#include "memory.h"

#include <algorithm>
#include <vector>

namespace {

// Moves all `size` bytes at `offset` through the door's `kMove`.
template <class Bytes,
    std::error_code (*FileDoor::*kMove)(Handle, std::uint64_t, Bytes*, std::size_t, std::size_t&)>
void fully(Handle file, std::uint64_t offset, Bytes* data, std::size_t size)
{
    while (size > 0) {
        std::size_t done = 0;
        check((file_door().*kMove)(file, offset, data, size, done));
        if (done == 0) check(std::make_error_code(std::errc::io_error));
        data += done;
        size -= done;
        offset += done;
    }
}

} // namespace

void write_fully(Handle file, std::uint64_t offset, const char* data, std::size_t size)
{
    fully<const char, &FileDoor::write_at>(file, offset, data, size);
}

void read_fully(Handle file, std::uint64_t offset, char* data, std::size_t size)
{
    fully<char, &FileDoor::read_at>(file, offset, data, size);
}

void copy_between(
    Handle from, std::uint64_t from_offset, Handle to, std::uint64_t to_offset, std::uint64_t size)
{
    const std::uint64_t copied = file_door().copy_range(from, from_offset, to, to_offset, size);
    // Where the system cannot, or stopped short, through memory: a short copy takes a chunk of
    // its own size; only a long one asks what memory affords, which costs a look at the system's
    // figures.
    constexpr std::size_t kShortCopy = 64 << 10;
    const std::uint64_t rest = size - copied;
    if (rest == 0) return;
    std::vector<char> chunk(static_cast<std::size_t>(std::min<std::uint64_t>(
        rest, rest <= kShortCopy ? kShortCopy : affordable_buffer(1 << 20, kShortCopy))));
    for (std::uint64_t done = copied; done < size;) {
        const auto part
            = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, chunk.size()));
        read_fully(from, from_offset + done, chunk.data(), part);
        write_fully(to, to_offset + done, chunk.data(), part);
        done += part;
    }
}
