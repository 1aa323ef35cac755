// Start-up: log placement and rewriting, program lookup, what the programs
// inherit, and every fatal error.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "launcher_sandbox.h"

namespace calyra::launcher::testing {
namespace {

using names = std::set<std::string>;

launch_options with_open_file_limit(rlim_t limit) {
  launch_options options;
  options.open_file_limit = limit;
  return options;
}

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

TEST(Startup, EachRunRewritesTheLogCreatedWithOpenPermissions) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", "echo first; echo proceed");
  launch_options open_umask;
  open_umask.umask = 0;
  ASSERT_EQ(sandbox.run(open_umask).status, 0);
  EXPECT_EQ(mode_of(sandbox.cache() / "cyboard"), 0777u);
  EXPECT_EQ(mode_of(sandbox.cache() / "cyboard" / "log"), 0777u);
  EXPECT_EQ(mode_of(sandbox.log_file(sandbox.cache())), 0666u);

  sandbox.stub("message", "echo proceed");
  ASSERT_EQ(sandbox.run().status, 0);
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude({
                                     info("Message received: Ok(\"proceed\")"),
                                     info("Detected 'proceed', continuing application..."),
                                     info("Starting the application..."),
                                     info("stderr: Setup done"),
                                     info("Detected 'Opening', closing splash screen..."),
                                     info("Splash screen exited successfully."),
                                 }));
}

TEST(Startup, RelativeXdgCacheHomeIsIgnoredForTheHomeCache) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  launch_options relative;
  relative.environment["XDG_CACHE_HOME"] = "relative/cache";
  ASSERT_EQ(sandbox.run(relative).status, 0);
  EXPECT_TRUE(fs::exists(sandbox.log_file(sandbox.home() / ".cache")));
  EXPECT_FALSE(fs::exists(sandbox.root() / "relative"));
  EXPECT_FALSE(fs::exists(sandbox.cache()));
}

TEST(Startup, ProgramsAreFoundNextToTheLinkedExecutable) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  fs::create_directories(sandbox.root() / "elsewhere");
  fs::create_symlink(sandbox.launcher(), sandbox.root() / "elsewhere" / "board");

  launch_options through_link;
  through_link.executable = sandbox.root() / "elsewhere" / "board";
  EXPECT_EQ(sandbox.run(through_link).status, 0);
  EXPECT_EQ(sandbox.log_lines().front(), info("Splash command: \"" + (sandbox.dist() / "splash").string() + "\""));
}

TEST(Startup, ProgramsGetOneEmptyArgumentAndTheLaunchersContextButNoPipeOfOthers) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("splash", "echo 'splash to stdout'; note splash-printed; exec sleep 30");
  sandbox.stub("message", "read line; note \"message read $line\"; echo 'message to stderr' >&2; await splash-printed; echo proceed");
  // The error browser starts while the launcher holds the application's pipes.
  sandbox.stub("distr", "echo 'Error' >&2; sleep 0.2");

  const auto outcome = sandbox.run();
  EXPECT_EQ(outcome.status, 0);
  ASSERT_EQ(sandbox.started_programs({"error_browser"}), (names{"distr", "error_browser", "message", "splash"}));
  for (const std::string program : {"splash", "message", "distr", "error_browser"}) {
    const std::string expected = "start " + program + " " + std::to_string(sandbox.pid_of(program)) +
                                 " 1:[] fds=0 1 2 3 cwd=" + sandbox.root().string() + " mark=inherited";
    EXPECT_TRUE(sandbox.wait_for_event(expected, std::chrono::milliseconds(0))) << expected;
  }
  EXPECT_TRUE(sandbox.wait_for_event("message read from stdin", std::chrono::milliseconds(0)));
  EXPECT_TRUE(sandbox.wait_for_event("splash-printed", std::chrono::milliseconds(0)));
  EXPECT_NE(outcome.out.find("splash to stdout\n"), std::string::npos);
  EXPECT_NE(outcome.err.find("message to stderr\n"), std::string::npos);
}

// Fatal errors: the report alone on standard error, status 101, nothing
// started after the failure.
struct fatal_case : ::testing::Test {
  launcher_sandbox sandbox;
  void SetUp() override { sandbox.standard_stubs(); }

  void expect_fatal(const launch_outcome& outcome, const std::string& report) {
    EXPECT_EQ(outcome.status, 101);
    EXPECT_EQ(outcome.err, report + "\n");
  }
};

TEST_F(fatal_case, LogFolderCannotBeCreated) {
  fs::create_directories(sandbox.cache());
  std::ofstream(sandbox.cache() / "cyboard") << "in the way";
  expect_fatal(sandbox.run(), "Failed to create log directory: Not a directory (errno 20)");
  EXPECT_EQ(sandbox.started_programs({}), names{});
}

TEST_F(fatal_case, LogFileCannotBeCreated) {
  fs::create_directories(sandbox.log_file(sandbox.cache()));
  expect_fatal(sandbox.run(), "Failed to create log file: Is a directory (errno 21)");
  EXPECT_EQ(sandbox.started_programs({}), names{});
}

TEST_F(fatal_case, NoCacheDirectoryForAUserWithoutHome) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run as a user missing from the user database";
  uid_t stranger = 54321;
  while (::getpwuid(stranger) != nullptr) ++stranger;
  launch_options homeless;
  homeless.environment = {{"HOME", std::nullopt}, {"XDG_CACHE_HOME", std::nullopt}};
  homeless.user = stranger;
  expect_fatal(sandbox.run(homeless), "Cache directory not found");
}

TEST_F(fatal_case, LauncherFolderThatIsNotUtf8) {
  const fs::path folder = sandbox.root() / "bin\xff";
  fs::create_directories(folder);
  fs::copy_file(sandbox.launcher(), folder / "CalyraBoard");
  launch_options moved;
  moved.executable = folder / "CalyraBoard";
  expect_fatal(sandbox.run(moved),
               "Program path is not valid UTF-8: \"" + sandbox.root().string() + "/bin\\xff/dist/splash\"");
  EXPECT_EQ(sandbox.log_lines(), std::vector<std::string>{});
}

TEST_F(fatal_case, SplashMissing) {
  fs::remove(sandbox.dist() / "splash");
  expect_fatal(sandbox.run(), "Failed to start splash screen: No such file or directory (errno 2)");
  EXPECT_EQ(sandbox.log_lines().size(), 2u);
}

TEST_F(fatal_case, MessageProgramNotExecutableLeavesTheSplashRunning) {
  // Root may execute files without permission bits; a folder in place of
  // the program cannot be executed by anyone.
  fs::remove(sandbox.dist() / "message");
  fs::create_directory(sandbox.dist() / "message");
  expect_fatal(sandbox.run(), "Failed to start message request: Permission denied (errno 13)");
  ASSERT_EQ(sandbox.started_programs({"splash"}), names{"splash"});
  EXPECT_TRUE(process_exists(sandbox.pid_of("splash")));
}

// The shell stubs cannot run under such a tight descriptor limit: programs
// that need no descriptor of their own stand in for them.
struct descriptor_limit_case : fatal_case {
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizer runtimes probe memory through a pipe of their own, which
    // the limit denies them too: they then report errors that are not there.
    GTEST_SKIP() << "runs in the plain build only";
#endif
    for (const char* program : {"splash", "message"}) {
      fs::remove(sandbox.dist() / program);
      fs::create_symlink("/bin/true", sandbox.dist() / program);
    }
  }
};

TEST_F(descriptor_limit_case, MessagePipeUnavailable) {
  // 0, 1, 2 and the log leave no room for a pipe.
  expect_fatal(sandbox.run(with_open_file_limit(4)), "Failed to open stdout: Too many open files (errno 24)");
}

TEST_F(descriptor_limit_case, ApplicationStderrPipeUnavailable) {
  // Room for two pipes, once the message pipe has been closed.
  expect_fatal(sandbox.run(with_open_file_limit(6)), "Failed to open stderr board: Too many open files (errno 24)");
  EXPECT_EQ(sandbox.log_lines().back(), info("Starting the application..."));
}

TEST_F(fatal_case, ApplicationThatCannotBeExecutedIsAFailedStart) {
  std::ofstream(sandbox.dist() / "distr") << "echo 'no interpreter line'\n";
  expect_fatal(sandbox.run(), "Failed to start application: Exec format error (errno 8)");
  EXPECT_EQ(sandbox.log_lines().back(), info("Starting the application..."));
}

TEST_F(fatal_case, ErrorDisplayMissingOnQuit) {
  fs::remove(sandbox.dist() / "error");
  sandbox.stub("message", "echo quit");
  expect_fatal(sandbox.run(), "Failed to start error display: No such file or directory (errno 2)");
}

}  // namespace
}  // namespace calyra::launcher::testing
