// The production endpoint of the platform the program is built for.
#pragma once
#ifdef _WIN32
#include "link/win_endpoint.h"
using SystemEndpoint = WinEndpoint;
#else
#include "link/posix_endpoint.h"
using SystemEndpoint = PosixEndpoint;
#endif
