// The board file, read through the file door.
#include "input_file.h"

#include <system_error>

InputFile::InputFile(const std::string& name)
{
    const FileDoor& door = file_door();
    if (const std::error_code code = door.open_read(name.c_str(), handle_))
        throw std::system_error(code);
    FileId id;
    if (!door.identify(handle_, id) && id.regular) size_at_open_ = id.size;
}

InputFile::~InputFile()
{
    file_door().close(handle_);
}

std::size_t InputFile::read(char* data, std::size_t size)
{
    std::size_t got = 0;
    if (const std::error_code code = file_door().read(handle_, data, size, got))
        throw std::system_error(code);
    return got;
}

std::uint64_t InputFile::skip_hole()
{
    // A device or a pipe has no holes, and may not be sought in.
    return size_at_open_ == 0 ? 0 : file_door().skip_hole(handle_);
}
