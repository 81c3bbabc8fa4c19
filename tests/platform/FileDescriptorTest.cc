#include "platform/posix/FileDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>

namespace {

// Whether fd names an open descriptor of this process.
bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Ownership follows the object through moves: each descriptor is closed exactly once, by its
// last owner, and never one that was released or already closed by hand.
TEST(FileDescriptorTest, ClosesExactlyWhatItOwns) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    int kept = -1;
    {
        platform::FileDescriptor read(ends[0]);
        platform::FileDescriptor write(ends[1]);
        platform::FileDescriptor moved(std::move(read));
        EXPECT_FALSE(read.valid());
        EXPECT_EQ(moved.get(), ends[0]);
        // Assigning over an owner closes what it held.
        moved = std::move(write);
        EXPECT_FALSE(isOpen(ends[0]));
        EXPECT_TRUE(isOpen(ends[1]));
        EXPECT_TRUE(moved.close());
        EXPECT_FALSE(isOpen(ends[1]));
        EXPECT_TRUE(moved.close());  // already closed: nothing to report

        platform::FileDescriptor other(::dup(STDERR_FILENO));
        ASSERT_TRUE(other.valid());
        kept = other.release();
    }
    EXPECT_TRUE(isOpen(kept));
    ::close(kept);
}

}  // namespace
