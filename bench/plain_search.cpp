// The peer runel is measured against: the search a first program would be, streaming the text
// into Runel_out.txt through buffered writes on one thread, with no size count, no cache of
// suffixes met before and no sync. It is runel's own writer for pipes, so its bytes are the same.
//
//   runel_plain        reads Runel_in.txt and writes Runel_out.txt in the working directory

#include "board.h"
#include "search.h"

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace {

// A file that takes bytes once each, in order, as a pipe would: the writer then neither reads
// back nor copies what it wrote.
class StreamedFile final : public Storage {
public:
    explicit StreamedFile(std::FILE* file)
        : file_(file)
    {
    }
    void write_at(std::uint64_t, const char* data, std::size_t size) override
    {
        if (std::fwrite(data, 1, size, file_) != size)
            throw std::system_error(errno, std::generic_category(), "write");
    }
    void read_at(std::uint64_t, char*, std::size_t) override { unused(); }
    void copy_within(std::uint64_t, std::uint64_t, std::uint64_t) override { unused(); }
    void reserve(std::uint64_t) override { }
    bool random_access() const override { return false; }

private:
    [[noreturn]] static void unused()
    {
        throw std::system_error(std::make_error_code(std::errc::operation_not_supported));
    }
    std::FILE* file_;
};

} // namespace

int main()
{
    const BoardReading reading = read_board_file("Runel_in.txt");
    if (reading.error) {
        std::fprintf(stderr, "Runel_in.txt: %s\n", reading.error->message.c_str());
        return 1;
    }
    std::FILE* file = std::fopen("Runel_out.txt", "wb");
    if (file == nullptr) {
        std::perror("Runel_out.txt");
        return 1;
    }
    StreamedFile storage(file);
    const Position king = damka_cords_find(reading.board);
    if (king == kNoKing) {
        storage.write_at(0, kNoCapture.data(), kNoCapture.size());
    } else {
        write_captures(state_of(reading.board, king), storage);
    }
    return std::fclose(file) == 0 ? 0 : 1;
}
