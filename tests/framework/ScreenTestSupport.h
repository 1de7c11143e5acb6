// A screen of a chosen size for tests that place forms on it. It has nothing
// to show: grabbing it fails. A width of 0 stands for no screen at all.
#pragma once

#include "framework/BmpCodec.h"
#include "platform/ScreenCapture.h"

namespace zr::testing {

class SizedScreen : public os::TScreenSource {
  public:
    SizedScreen(int width, int height) : width_(width), height_(height) {}
    bool Describe(os::TScreenInfo& info) override {
        if (width_ == 0) return false;
        info = {width_, height_, 24};
        return true;
    }
    bool Grab(int, int, os::TPixelImage&) override { return false; }

  private:
    int width_;
    int height_;
};

}  // namespace zr::testing
