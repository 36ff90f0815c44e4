#pragma once
// The platform files' side of the tests' hooks (platform.h): whether this write or this thread
// is to fail. Only in the tests' copy of the platform.

#include <cstddef>

#if defined(BMPSEPIA_TEST_HOOKS)
bool platform_write_fails(size_t bytes);
bool platform_threads_fail();
#endif
