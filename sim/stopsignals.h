// stopsignals.h - ending the stand-in cleanly when it is asked to stop
#pragma once

namespace ves::sim {

// From now on SIGTERM and SIGINT (Ctrl+C or closing the console on Windows) end the event loop
// with 0, so the server closes and removes its socket. Call once, after the application exists.
void quitOnStopSignals();

} // namespace ves::sim
