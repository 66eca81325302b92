// What the window tests share: a private simulated machine, a window class whose procedure
// records every message it receives, and a bounded wait for the next message of the thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "received_messages.h"
#include "support/private_root.h"

namespace korvo::test {

// Keeps every message (ReceivedMessages gives those since the fixture started) and answers it
// with AnswerRecorded.
LRESULT RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

class WindowTest : public testing::Test {
  protected:
    WindowTest();
    ~WindowTest() override;

    // A class of this test's own (classes outlive a test when the tests share a process).
    std::string ClassName() const;
    HWND CreateRecordingWindow(const char* title = "Recorder");

    // The next message of this thread without dispatching it; none once `timeout` passed.
    static std::optional<MSG> NextMessage(
        std::chrono::milliseconds timeout = std::chrono::seconds(2));

    PrivateRoot root;

  private:
    std::vector<HWND> created_;
};

}  // namespace korvo::test
