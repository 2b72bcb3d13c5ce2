#include "file_handle.h"

#include "storage.h"

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
    // Where the system cannot, or stopped short.
    copy_in_chunks(size - copied, [&](std::uint64_t done, char* chunk, std::size_t part) {
        read_fully(from, from_offset + copied + done, chunk, part);
        write_fully(to, to_offset + copied + done, chunk, part);
    });
}
