// Process-level start work of the parent: the keyring self-test.
// Each case runs in a forked child so that joining keyrings and starting
// the watcher thread leave the test process untouched.
#include <gtest/gtest.h>

#include <keyutils.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testing.h"

extern "C" int mod_kalder_post_config(apr_pool_t *, apr_pool_t *, apr_pool_t *, server_rec *);

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

}  // namespace

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
