// Process-level start work of the parent: the keyring self-test and the
// configuration-directory watcher.
// Each case runs in a forked child so that joining keyrings and starting
// the watcher thread leave the test process untouched.
#include <gtest/gtest.h>

#include <keyutils.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "lifecycle.h"
#include "testing.h"

namespace {

// Runs body in a child process; the child's exit status is the result.
int in_child(int (*body)())
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

int run_post_config_passes(int passes)
{
    kalder::test::TestServer srv;
    for (int i = 0; i < passes; ++i)
        if (mod_kalder_post_config(srv.pool(), srv.pool(), srv.pool(), srv.server()) != OK)
            return 1;
    return 0;
}

int first_pass_only_sets_the_marker()
{
    key_serial_t before = keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0);
    if (run_post_config_passes(1) != 0)
        return 1;
    if (keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0) != before)
        return 2;  // the first pass must not touch the keyring
    return 0;
}

int working_private_keyring_is_kept()
{
    key_serial_t own = keyctl_join_session_keyring("mod-kalder-unit-test");
    if (own == -1)
        return 10;
    if (run_post_config_passes(2) != 0)
        return 1;
    if (keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0) != own)
        return 2;  // a working session keyring must not be replaced
    key_serial_t key = request_key("user", "mod-kalder-test-key", nullptr, KEY_SPEC_SESSION_KEYRING);
    if (key == -1)
        return 3;  // the test key stays behind
    char buffer[16] = {};
    if (keyctl_read(key, buffer, sizeof buffer) != 11 || std::string(buffer) != "HelloWorld")
        return 4;
    return 0;
}

int user_default_keyring_is_left_for_a_new_one()
{
    key_serial_t session = keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0);
    if (session != keyctl_get_keyring_ID(KEY_SPEC_USER_SESSION_KEYRING, 0))
        return 10;  // this process already has a session keyring of its own
    if (run_post_config_passes(2) != 0)
        return 1;
    key_serial_t now = keyctl_get_keyring_ID(KEY_SPEC_SESSION_KEYRING, 0);
    if (now == session || now == keyctl_get_keyring_ID(KEY_SPEC_USER_SESSION_KEYRING, 0))
        return 2;
    return 0;
}

// The inotify descriptors and threads this process has.
int inotify_descriptors()
{
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec).string() == "anon_inode:inotify")
            ++n;
    }
    return n;
}

int threads()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

bool restart_requested(int seconds)
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    timespec wait = {seconds, 0};
    return sigtimedwait(&usr1, nullptr, &wait) == SIGUSR1;
}

// A fired watcher leaves its descriptor to the watch record, which closes
// it once when the next configuration pass replaces the watch: the thread
// itself never closes it, so the number cannot be closed twice.
int watcher_keeps_one_descriptor_across_restarts()
{
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, nullptr);  // the watcher thread inherits the mask
    char dir[] = "/tmp/kalder-watch.XXXXXX";
    if (!mkdtemp(dir))
        return 10;
    kalder::test::TestServer srv;
    srv.config()->dynamic_config_dir = dir;
    auto pass = [&] { return mod_kalder_post_config(srv.pool(), srv.pool(), srv.pool(), srv.server()); };
    const int base_threads = threads();
    int rc = 0;
    if (pass() != OK || pass() != OK)
        rc = 1;
    else if (inotify_descriptors() != 1 || threads() != base_threads + 1)
        rc = 2;
    else {
        for (int round = 0; round < 3 && rc == 0; ++round) {
            std::ofstream(std::string(dir) + "/generated.conf") << "# round " << round << "\n";
            if (!restart_requested(10))
                rc = 3;
            else if (inotify_descriptors() != 1)
                rc = 4;  // the descriptor is the record's until the next pass
            else if (pass() != OK)
                rc = 5;
            else if (inotify_descriptors() != 1 || threads() != base_threads + 1)
                rc = 6;  // the old watch closed exactly once, a new one armed
        }
    }
    std::filesystem::remove_all(dir);
    return rc;
}

}  // namespace

TEST(ConfigWatcher, OneDescriptorAndOneThreadAcrossWatcherRestarts)
{
    EXPECT_EQ(in_child(watcher_keeps_one_descriptor_across_restarts), 0);
}

TEST(KeyringSelfTest, FirstConfigurationPassDoesNothing)
{
    EXPECT_EQ(in_child(first_pass_only_sets_the_marker), 0);
}

TEST(KeyringSelfTest, KeepsAWorkingPrivateSessionKeyring)
{
    int rc = in_child(working_private_keyring_is_kept);
    if (rc == 10)
        GTEST_SKIP() << "cannot join a named session keyring here";
    EXPECT_EQ(rc, 0);
}

TEST(KeyringSelfTest, JoinsAFreshKeyringWhenOnlyTheUserDefaultExists)
{
    int rc = in_child(user_default_keyring_is_left_for_a_new_one);
    if (rc == 10)
        GTEST_SKIP() << "the test process runs in a private session keyring already";
    EXPECT_EQ(rc, 0);
}
