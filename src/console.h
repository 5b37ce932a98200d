// Console messages: the program's only output, all of it on standard output.
#pragma once

#if defined(__GNUC__)
#define TAVORIN_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TAVORIN_PRINTF(fmt, args)
#endif

// Prints one message and flushes it, so a console, a pipe and a log file all
// show each stage the moment it is reached, before the blocking call after it.
// Used for messages only: a relayed piece costs a call here only when its
// send has failed.
void say(const char* format, ...) TAVORIN_PRINTF(1, 2);
