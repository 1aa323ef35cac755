// The application's output closes the splash and may start the error browser.
#include <gtest/gtest.h>

#include "launcher_sandbox.h"

namespace calyra::launcher::testing {
namespace {

using names = std::set<std::string>;

// The log of a run whose message step said "proceed", followed by `rest`.
std::vector<std::string> log_of_application(const launcher_sandbox& sandbox, std::vector<std::string> rest) {
  rest.insert(rest.begin(), {info("Message received: Ok(\"proceed\")"),
                             info("Detected 'proceed', continuing application..."),
                             info("Starting the application...")});
  return sandbox.log_after_prelude(rest);
}

TEST(Application, ErrorBeforeSetupDoneStartsTheErrorBrowserAndStopsReadingStderr) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  // Ignoring SIGPIPE lets the stub go on after the launcher closed stderr.
  sandbox.stub("distr",
               "trap '' PIPE; sleep 0.1; echo 'Error: no device' >&2; sleep 0.2;"
               "echo 'Setup done' >&2; echo 'still running'; sleep 0.2; note distr-end");

  const auto outcome = sandbox.run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(sandbox.wait_for_event("distr-end", std::chrono::milliseconds(0))) << "the application was not waited for";
  EXPECT_EQ(sandbox.log_lines(), log_of_application(sandbox, {
                                     info("stderr: Error: no device"),
                                     info("Detected 'Error', exiting application..."),
                                     info("Splash screen exited successfully."),
                                     info("stdout: still running"),
                                 }));
  EXPECT_EQ(sandbox.started_programs({"error_browser"}), (names{"distr", "error_browser", "message", "splash"}));
  EXPECT_FALSE(process_exists(sandbox.pid_of("splash"))) << "killed splash left unreaped";
}

TEST(Application, ErrorAfterSetupDoneClosesTheSplashOnlyOnce) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("distr", "sleep 0.1; echo 'Setup done' >&2; sleep 0.1; echo 'Error in module' >&2; echo 'after' >&2");

  EXPECT_EQ(sandbox.run().status, 0);
  EXPECT_EQ(sandbox.log_lines(), log_of_application(sandbox, {
                                     info("stderr: Setup done"),
                                     info("Detected 'Opening', closing splash screen..."),
                                     info("Splash screen exited successfully."),
                                     info("stderr: Error in module"),
                                     info("Detected 'Error', exiting application..."),
                                     info("Splash screen exited successfully."),
                                     info("stderr: after"),
                                 }));
  EXPECT_EQ(sandbox.started_programs({"distr"}), (names{"distr", "message", "splash"}));
}

TEST(Application, ClosingApplicationStopsReadingStdoutButTheApplicationIsAwaited) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("distr",
               "trap '' PIPE; echo 'Setup done' >&2; sleep 0.1; echo 'Closing application now'; sleep 0.1;"
               "echo 'not read' 2>/dev/null; sleep 0.2; note distr-end");

  EXPECT_EQ(sandbox.run().status, 0);
  EXPECT_TRUE(sandbox.wait_for_event("distr-end", std::chrono::milliseconds(0)));
  EXPECT_EQ(sandbox.log_lines(), log_of_application(sandbox, {
                                     info("stderr: Setup done"),
                                     info("Detected 'Opening', closing splash screen..."),
                                     info("Splash screen exited successfully."),
                                     info("stdout: Closing application now"),
                                     info("Detected 'Closing', exiting application..."),
                                 }));
}

TEST(Application, NoSplashOutlivesAnApplicationThatNeverReportsItsSetup) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("distr", "sleep 0.2; echo 'no markers here'");

  EXPECT_EQ(sandbox.run().status, 0);
  EXPECT_EQ(sandbox.log_lines(), log_of_application(sandbox, {
                                     info("stdout: no markers here"),
                                     info("Application ended with the splash screen still open, closing it..."),
                                     info("Splash screen exited successfully."),
                                 }));
  const pid_t splash = sandbox.pid_of("splash");
  ASSERT_NE(splash, 0);
  EXPECT_FALSE(process_exists(splash));
}

TEST(Application, MissingErrorBrowserIsReportedAndTheRunStillEndsInOrder) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  std::filesystem::remove(sandbox.dist() / "error_browser");
  sandbox.stub("distr", "echo 'Error early' >&2; sleep 0.1; echo 'still here'");

  const auto outcome = sandbox.run();
  EXPECT_EQ(outcome.status, 0);
  const std::string report = "Failed to start error browser: No such file or directory (errno 2)";
  EXPECT_EQ(outcome.err, report + "\n");
  EXPECT_EQ(sandbox.log_lines(), log_of_application(sandbox, {
                                     info("stderr: Error early"),
                                     info("Detected 'Error', exiting application..."),
                                     info("Splash screen exited successfully."),
                                     error(report),
                                     info("stdout: still here"),
                                 }));
}

}  // namespace
}  // namespace calyra::launcher::testing
