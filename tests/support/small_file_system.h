#pragma once

// Linux only: a small file system mounted by the test itself, to run out of room on purpose.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/statvfs.h>

/// Moves this test process, and the programs it starts from now on, into a mount namespace of
/// its own (once), so that what it mounts is seen by no other process and goes when it ends,
/// however it ends. False where that cannot be done (no namespaces, not root, threads running):
/// mounts are then the machine's until the test unmounts them.
inline bool mount_privately()
{
    static const bool done = ::unshare(CLONE_NEWNS) == 0
        && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return done;
}

/// A file system of `bytes` mounted over `folder` while it lives: a tmpfs, or an ext2 in an
/// image file, which cannot allocate blocks up front (as NFSv3 and many FUSE file systems
/// cannot). Mounting needs root: where it fails, mounted() is false and why_not() says why.
class SmallFileSystem {
public:
    enum class Kind { tmpfs, ramfs, ext2 }; // a ramfs has no size: `bytes` is not used

    SmallFileSystem(
        const std::filesystem::path& folder, std::uint64_t bytes, Kind kind = Kind::tmpfs)
        : folder_(folder)
        , image_(folder.string() + ".img")
    {
        mount_privately();
        if (kind != Kind::ext2) {
            const char* type = kind == Kind::tmpfs ? "tmpfs" : "ramfs";
            const std::string size = kind == Kind::tmpfs ? "size=" + std::to_string(bytes) : "";
            mounted_ = ::mount(type, folder.c_str(), type, 0, size.c_str()) == 0;
            if (!mounted_)
                why_not_ = "cannot mount a " + std::string(type)
                    + " here (needs root): " + std::string(std::strerror(errno));
            return;
        }
        const std::string make = "truncate -s " + std::to_string(bytes) + " '" + image_
            + "' && mkfs.ext2 -q -F '" + image_ + "' && mount -o loop '" + image_ + "' '"
            + folder.string() + "'";
        mounted_ = std::system((make + " 2>/dev/null").c_str()) == 0;
        if (mounted_) std::filesystem::remove(folder / "lost+found"); // only what the test lays out
        if (!mounted_)
            why_not_ = "cannot make and mount an ext2 image here (needs root, a loop "
                       "device and mkfs.ext2)";
    }
    ~SmallFileSystem()
    {
        if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
        std::filesystem::remove(image_);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why_not() const { return why_not_; }
    /// The room free for an unprivileged user now.
    std::uint64_t free_bytes() const
    {
        struct statvfs room { };
        if (::statvfs(folder_.c_str(), &room) != 0) return 0;
        return static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
    }

private:
    std::filesystem::path folder_;
    std::string image_;
    bool mounted_ = false;
    std::string why_not_;
};
