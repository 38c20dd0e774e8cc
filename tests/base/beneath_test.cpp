#include "base/beneath.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "support/test_support.hpp"

namespace pelto::base {
namespace {

using testing::make_dir;
using testing::make_link;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

using Opener = std::function<Fd(int, std::string_view, int, mode_t, int&)>;

// The kernel's resolution and the walk used where the kernel has none must agree.
const std::pair<const char*, Opener> kOpeners[] = {{"openat2", open_beneath},
                                                   {"walk", detail::open_beneath_by_walk}};

TEST(Beneath, LinksAreFollowedOnlyWhileTheyStayInside) {
    TempDir tree;
    std::string root = tree / "root";
    write_text(root + "/a/f", "f");
    make_link("a", root + "/in");
    make_link("../a/f", root + "/a/../in/self");  // a link back up that stays inside
    make_link("../outside", root + "/up");
    make_link(tree / "outside", root + "/abs");
    // Absolute links into the root, by its own name and by another (a link to the tree): they
    // are followed from the root on, as relative ones are; one to a file yet to be made, too.
    make_link(root + "/a", root + "/abs-in");
    make_link(tree / "alias/root/a/f", root + "/abs-alias");
    make_link("root", tree / "alias-root");
    make_link(tree.path(), tree / "alias");
    make_link(root + "/a/new-by-link", root + "/abs-new");
    make_link("loop2", root + "/loop1");
    make_link("loop1", root + "/loop2");
    make_link("nothing", root + "/gone");
    write_text(tree / "outside/x", "outside");
    int error = 0;
    Fd dir = open_root_dir(root, error);
    ASSERT_TRUE(dir.valid());

    struct Case {
        const char* path;
        int error;
    };
    for (const auto& [name, open] : kOpeners) {
        for (Case c :
             {Case{"a/f", 0}, Case{"in/f", 0}, Case{"a/self", 0}, Case{"a/../a/f", 0},
              Case{"abs-in/f", 0}, Case{"abs-alias", 0}, Case{"up/x", EXDEV}, Case{"abs/x", EXDEV},
              Case{"abs-in/../../outside/x", EXDEV}, Case{"../outside/x", EXDEV},
              Case{"loop1/x", ELOOP}, Case{"gone", ENOENT}, Case{"a/f/x", ENOTDIR}}) {
            Fd file = open(dir.get(), c.path, O_RDONLY, 0, error);
            EXPECT_EQ(error, c.error) << name << ": " << c.path;
            EXPECT_EQ(file.valid(), c.error == 0) << name << ": " << c.path;
        }
        // A new file through an inside link lands where the link leads.
        Fd made =
            open(dir.get(), "in/made-by-" + std::string(name), O_WRONLY | O_CREAT, 0644, error);
        EXPECT_TRUE(made.valid()) << name;
        EXPECT_TRUE(exists(root + "/a/made-by-" + std::string(name)));
        base::remove_file(root + "/a/new-by-link");
        EXPECT_TRUE(open(dir.get(), "abs-new", O_WRONLY | O_CREAT, 0644, error).valid()) << name;
        EXPECT_TRUE(exists(root + "/a/new-by-link")) << name;
    }

    // Folders are made below the root, through inside links only.
    Fd made = make_dirs_beneath(dir.get(), "new/deep/er", error);
    EXPECT_TRUE(made.valid());
    EXPECT_TRUE(is_dir(root + "/new/deep/er"));
    EXPECT_TRUE(make_dirs_beneath(dir.get(), "in/sub", error).valid());
    EXPECT_TRUE(is_dir(root + "/a/sub"));
    EXPECT_FALSE(make_dirs_beneath(dir.get(), "up/sub", error).valid());
    EXPECT_EQ(error, EXDEV);
    EXPECT_FALSE(lstat_path(tree / "outside/sub"));
    EXPECT_FALSE(make_dirs_beneath(dir.get(), "a/f/sub", error).valid());
    EXPECT_EQ(error, ENOTDIR);

    EXPECT_EQ(why_outside(root, "up/x"), root + "/up is a link that leads out of " + root);
    EXPECT_EQ(why_outside(root, "abs/x"), root + "/abs is a link that leads out of " + root);
    EXPECT_EQ(read_text(tree / "outside/x"), "outside");
}

// A sandbox whose system call filter refuses openat2 with EPERM (as older container runtimes
// do) must not make every file look forbidden: the walk takes over.
TEST(Beneath, AFilterThatRefusesOpenat2FallsBackToTheWalk) {
    TempDir tree;
    std::string root = tree / "root";
    write_text(root + "/a/f", "f");
    make_link("../outside", root + "/up");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sock_filter rules[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{sizeof rules / sizeof rules[0], rules};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            ::_exit(2);
        }
        int error = 0;
        Fd dir = open_root_dir(root, error);
        bool inside = open_beneath(dir.get(), "a/f", O_RDONLY, 0, error).valid() && error == 0;
        bool outside = !open_beneath(dir.get(), "up/x", O_RDONLY, 0, error).valid();
        ::_exit(inside && outside && error == EXDEV ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace pelto::base
