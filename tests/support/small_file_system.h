#pragma once

// Linux only: a tmpfs of a given size mounted by the test itself, to run out of room on purpose.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/mount.h>

/// A tmpfs of `bytes` mounted over `folder` while it lives. Mounting needs root: where it fails,
/// mounted() is false and why_not() says why.
class SmallFileSystem {
public:
    SmallFileSystem(const std::filesystem::path& folder, std::uint64_t bytes)
        : folder_(folder)
    {
        const std::string size = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) == 0;
        if (!mounted_)
            why_not_ = "cannot mount a small tmpfs here (needs root): "
                + std::string(std::strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }

private:
    std::filesystem::path folder_;
    bool mounted_ = false;
    std::string why_not_;
};
