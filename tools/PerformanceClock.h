// The performance counter in microseconds: the clock of the demo agent's log,
// shared with the programs that read the log's times.
#pragma once

#include <windows.h>

inline long long NowMicroseconds()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart / frequency.QuadPart * 1000000 + counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}
