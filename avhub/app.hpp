// avhub's entry: start-up, the poll loop and the shutdown.
#pragma once

namespace avhub {

inline constexpr const char* kPidFile = "/tmp/avhub.pid";
inline constexpr const char* kRecordFile = "record.bin";

// Runs avhub with its command line; returns the exit status.
int avhub_main(int argc, char** argv);

// Fires the test deadline once it has passed: "Time Out !!", the test call
// is stopped and the deadline cleared.
void check_test_deadline();

// Sends the close requests for the channels a test call may hold open, in
// shutdown order (video encoder 0 and 1 when marked, video decoder 0, audio
// encoder 0, audio decoder 0).
void send_shutdown_closes();

}  // namespace avhub
