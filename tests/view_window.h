// Views of a small window for one test: small data then crosses many window boundaries.
#pragma once

#include <cstdint>

#include "platform/posix/files.h"

class ViewWindowForTest {
  public:
    explicit ViewWindowForTest(uint32_t bytes) { platform::posix::SetViewWindowForTesting(bytes); }
    ~ViewWindowForTest() { platform::posix::SetViewWindowForTesting(0); }
    ViewWindowForTest(const ViewWindowForTest&) = delete;
    ViewWindowForTest& operator=(const ViewWindowForTest&) = delete;
};
