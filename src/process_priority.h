// The relay's one request about its own process: to be scheduled ahead of
// the programs a game keeps busy, so that it reads each pose as it arrives.
//
// Chosen like the socket layer: one file per platform, picked by the build,
// and a scripted one in the tests, so the relay code has no platform #ifdef.
#pragma once

// Asks the system to run this process above normal priority; a priority the
// user already set at or above that is left as it is, never lowered. Returns
// whether the process now runs above normal. Prints nothing.
bool raise_priority();
