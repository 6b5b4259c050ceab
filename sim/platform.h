// platform.h - what the stand-in needs from the operating system, one file per platform
#pragma once

namespace ves::sim {

// Call once, after the application object exists. Makes stdout byte for byte what was received
// (no CR LF translation on Windows), keeps a reader that goes away from killing the sim with
// SIGPIPE, and lets SIGTERM and SIGINT (Ctrl+C or closing the console on Windows) end the event
// loop with 0, so the server closes and removes its socket.
void setUpProcess();

} // namespace ves::sim
