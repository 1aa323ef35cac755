// The message step decides whether the application starts.
#include <gtest/gtest.h>

#include "launcher_sandbox.h"

namespace calyra::launcher::testing {
namespace {

using names = std::set<std::string>;

const std::vector<std::string> proceed_then_setup_done = {
    info("Detected 'proceed', continuing application..."),
    info("Starting the application..."),
    info("stderr: Setup done"),
    info("Detected 'Opening', closing splash screen..."),
    info("Splash screen exited successfully."),
};

TEST(MessageStep, ProceedStartsTheApplicationAndLeavesTheMessageProgramRunning) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", "await 'start splash'; echo proceed; await launcher-ended; note message-end");
  sandbox.stub("distr", "echo 'starting up'; sleep 0.1; echo 'Setup done' >&2; sleep 0.1; echo bye");

  // Not waited for: the message program ends only after the launcher ...
  EXPECT_EQ(sandbox.run().status, 0);
  sandbox.note("launcher-ended");
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude({
                                     info("Message received: Ok(\"proceed\")"),
                                     info("Detected 'proceed', continuing application..."),
                                     info("Starting the application..."),
                                     info("stdout: starting up"),
                                     info("stderr: Setup done"),
                                     info("Detected 'Opening', closing splash screen..."),
                                     info("Splash screen exited successfully."),
                                     info("stdout: bye"),
                                 }));
  EXPECT_EQ(sandbox.started_programs({"splash", "message", "distr"}), (names{"distr", "message", "splash"}));
  EXPECT_FALSE(process_exists(sandbox.pid_of("splash")));
  // ... and not stopped: it finishes on its own.
  EXPECT_TRUE(sandbox.wait_for_event("message-end"));
}

TEST(MessageStep, QuitInsideAWordCancelsTheStartAndShowsTheErrorDisplay) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", "await 'start splash'; echo hello; echo 'requits now'; sleep 5");

  const auto outcome = sandbox.run();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude({
                                     info("Message received: Ok(\"hello\")"),
                                     info("Message received: Ok(\"requits now\")"),
                                     info("Detected 'quit', exiting application..."),
                                     info("Splash screen exited successfully."),
                                 }));
  EXPECT_EQ(sandbox.started_programs({"splash", "message", "error"}), (names{"error", "message", "splash"}));
  EXPECT_FALSE(process_exists(sandbox.pid_of("splash")));
}

TEST(MessageStep, ProceedWinsOverQuitOnTheSameLine) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", "echo 'quit or proceed?'");

  EXPECT_EQ(sandbox.run().status, 0);
  auto expected = proceed_then_setup_done;
  expected.insert(expected.begin(), info("Message received: Ok(\"quit or proceed?\")"));
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude(expected));
}

TEST(MessageStep, SilentMessageProgramLetsTheApplicationStart) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", "");

  EXPECT_EQ(sandbox.run().status, 0);
  auto expected = proceed_then_setup_done;
  expected.erase(expected.begin());  // no "Detected 'proceed'" line
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude(expected));
}

TEST(MessageStep, LinesAreLoggedEscapedWithoutTheirLineEnds) {
  launcher_sandbox sandbox;
  sandbox.standard_stubs();
  sandbox.stub("message", R"(printf 'say "hi" \\ \t\033\r\nx\ry\r\n\303\251 \377\r\nproceed\r\n')");
  sandbox.stub("distr", R"(printf 'Setup done\r\n' >&2; sleep 0.1; printf 'a\rb\r\nlast')");

  EXPECT_EQ(sandbox.run().status, 0);
  EXPECT_EQ(sandbox.log_lines(), sandbox.log_after_prelude({
                                     info(R"(Message received: Ok("say \"hi\" \\ \t\u{1b}"))"),
                                     info(R"(Message received: Ok("x\ry"))"),
                                     info("Message received: Ok(\"\303\251 \\xff\")"),
                                     info(R"(Message received: Ok("proceed"))"),
                                     info("Detected 'proceed', continuing application..."),
                                     info("Starting the application..."),
                                     info("stderr: Setup done"),
                                     info("Detected 'Opening', closing splash screen..."),
                                     info("Splash screen exited successfully."),
                                     info("stdout: a\rb"),
                                     info("stdout: last"),
                                 }));
}

}  // namespace
}  // namespace calyra::launcher::testing
