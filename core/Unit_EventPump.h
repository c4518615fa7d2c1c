#pragma once
// Waiting on the GUI thread without freezing it. Device exchanges, message-bar updates and
// pauses keep the window alive by pumping the event queue; nothing here blocks in a bare sleep.

namespace EventPump {

// Processes all pending events once and returns.
void PumpOnce();

// Sleeps `ms` milliseconds while handling events as they arrive. Does not spin: the thread
// waits for the next event or the end of the sleep, whichever comes first.
void SleepAndPump(int ms);

} // namespace EventPump
