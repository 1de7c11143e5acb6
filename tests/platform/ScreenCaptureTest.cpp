// Screen capture and JPEG output: without a display a screenshot is a black
// picture of the asked size; with one it is the screen, at the screen's size
// and depth; a JPEG of it is a real picture that libjpeg reads back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/Graphics.h"
#include "framework/JpegWriter.h"
#include "framework/ScreenShot.h"
#include "platform/ScreenCapture.h"
#include "tests/platform/DisplayCutter.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestDisplay.h"
#include "tests/support/XDriver.h"

namespace zr {
namespace {

// A screen of any size and depth, or none at all.
class FakeScreen : public os::TScreenSource {
  public:
    explicit FakeScreen(bool present, int width = 0, int height = 0, int depth = 24)
        : present_(present), info_{width, height, depth} {
        pixels_.Allocate(width, height);
    }
    void Set(int x, int y, TColor c) {
        std::uint8_t* p = pixels_.Row(y) + 4 * x;
        p[0] = static_cast<std::uint8_t>(GetBValue(c));
        p[1] = static_cast<std::uint8_t>(GetGValue(c));
        p[2] = static_cast<std::uint8_t>(GetRValue(c));
    }
    bool Describe(os::TScreenInfo& info) override {
        if (present_) info = info_;
        return present_;
    }
    bool Grab(int width, int height, os::TPixelImage& image) override {
        if (!present_) return false;
        image.Allocate(std::min(width, info_.Width), std::min(height, info_.Height));
        for (int y = 0; y < image.Height; ++y)
            std::copy_n(pixels_.Row(y), 4 * image.Width, image.Row(y));
        return true;
    }

  private:
    bool present_;
    os::TScreenInfo info_;
    os::TPixelImage pixels_;
};

bool AllBlack(const TBitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            if (bitmap.Pixels(x, y) != clBlack) return false;
    return true;
}

TEST(ScreenCapture, WithoutADisplayTheScreenshotIsBlackAtTheGivenSize) {
    FakeScreen none(false);
    os::TScopedScreenSource scoped(&none);
    os::TScreenInfo info;
    EXPECT_FALSE(os::GetScreenInfo(info));
    EXPECT_EQ(info.Width, 0);

    TBitmap shot;
    EXPECT_FALSE(TakeScreenshot(shot, 640, 480));
    EXPECT_EQ(shot.Width(), 640);
    EXPECT_EQ(shot.Height(), 480);
    EXPECT_EQ(shot.BitsPerPixel(), 24);
    EXPECT_TRUE(AllBlack(shot));

    // A reused bitmap does not keep its old picture.
    TBitmap used;
    used.SetPixelFormat(pf8bit);
    used.SetSize(8, 8);
    used.FillRect(0, 0, 8, 8, clWhite);
    EXPECT_FALSE(CaptureScreen(used));
    EXPECT_TRUE(AllBlack(used));
}

TEST(ScreenCapture, CopiesTheScreenAtItsOwnDepth) {
    FakeScreen screen(true, 3, 2, 16);
    screen.Set(0, 0, clRed);
    screen.Set(2, 1, clAqua);
    os::TScopedScreenSource scoped(&screen);

    TBitmap shot;  // a new bitmap takes the screen's depth, as the host's do
    EXPECT_TRUE(TakeScreenshot(shot, 640, 480));
    EXPECT_EQ(shot.Width(), 3);
    EXPECT_EQ(shot.Height(), 2);
    EXPECT_EQ(shot.BitsPerPixel(), 16);
    EXPECT_EQ(shot.Pixels(0, 0), clRed);
    EXPECT_EQ(shot.Pixels(2, 1), clAqua);
    EXPECT_EQ(shot.Pixels(1, 0), clBlack);
    const std::vector<std::uint8_t> file = shot.SaveToBytes();
    EXPECT_EQ(file[28], 16);  // biBitCount: saved in the screen's depth

    // A bitmap larger than the screen gets the screen in its top-left corner.
    TBitmap large;
    large.SetPixelFormat(pf24bit);
    large.SetSize(5, 5);
    large.FillRect(0, 0, 5, 5, clWhite);
    EXPECT_TRUE(CaptureScreen(large));
    EXPECT_EQ(large.Pixels(0, 0), clRed);
    EXPECT_EQ(large.Pixels(1, 1), clBlack);
    EXPECT_EQ(large.Pixels(4, 4), clWhite);
}

// The share of white pixels in a rectangle. A bare X server's root window
// is a weave of black and white, so only a rectangle that is nearly all
// white shows that the drawing was captured.
double WhiteShare(const TBitmap& bitmap, int left, int top, int right, int bottom) {
    int white = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) white += bitmap.Pixels(x, y) == clWhite;
    return static_cast<double>(white) / ((right - left) * (bottom - top));
}

TEST(ScreenCaptureX11, CapturesTheRootWindowAfterDrawingOnIt) {
    testing::TTestDisplay display;
    if (!display.Ready()) GTEST_SKIP() << display.WhyNot();
    testing::TXDriver x;
    if (!x.Ok()) GTEST_SKIP() << "no X display can be opened";
    const int width = x.ScreenWidth(), height = x.ScreenHeight();
    const int depth = x.Depth();
    x.FillWhiteOnRoot(10, 10, 60, 40, /*overWindows=*/true);  // over other tests' windows too

    TBitmap shot;
    ASSERT_TRUE(TakeScreenshot(shot, 1, 1));
    EXPECT_EQ(shot.Width(), width);
    EXPECT_EQ(shot.Height(), height);
    EXPECT_FALSE(AllBlack(shot));
    EXPECT_GT(WhiteShare(shot, 10, 10, 70, 50), 0.9);
    if (depth == 24) {
        EXPECT_EQ(shot.BitsPerPixel(), 24);
    }

    TBitmap reread;
    reread.LoadFromBytes(shot.SaveToBytes());
    EXPECT_EQ(reread.Width(), width);
    EXPECT_EQ(reread.Image(), shot.Image());

    TBitmap decoded;
    DecodeJpeg(EncodeJpeg(shot), decoded);
    EXPECT_EQ(decoded.Width(), width);
    EXPECT_EQ(decoded.Height(), height);
}

// A display that goes away while the screen is read (the user logs out as
// an exception is reported) gives the black picture: the program that was
// writing its report goes on.
TEST(ScreenCaptureX11, ADisplayLostInTheMiddleOfAGrabGivesABlackPictureNotAnExit) {
    testing::TTestDisplay testDisplay;
    if (!testDisplay.Ready()) GTEST_SKIP() << testDisplay.WhyNot();
    testing::TDisplayCutter cutter;
    if (!cutter.Ok()) GTEST_SKIP() << "no local X display to stand in front of";
    testing::ScopedEnv display("DISPLAY", cutter.Name());
    TBitmap shot;
    shot.SetPixelFormat(pf24bit);
    shot.SetSize(64, 48);
    shot.FillRect(0, 0, 64, 48, clWhite);
    EXPECT_FALSE(CaptureScreen(shot));
    EXPECT_TRUE(cutter.Cut());  // the read did reach the display
    EXPECT_TRUE(AllBlack(shot));
}

TEST(JpegWriter, WritesAPictureThatDecodesToTheSameSizeAndColours) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf8bit);  // any depth is written as 24-bit colour
    bitmap.SetSize(40, 30);
    bitmap.FillRect(0, 0, 20, 30, clRed);
    bitmap.FillRect(20, 0, 40, 30, clBlue);

    const std::vector<std::uint8_t> jpeg = EncodeJpeg(bitmap);
    ASSERT_GT(jpeg.size(), 4u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    TBitmap decoded;
    DecodeJpeg(jpeg, decoded);
    EXPECT_EQ(decoded.Width(), 40);
    EXPECT_EQ(decoded.Height(), 30);
    const TColor left = decoded.Pixels(5, 15), right = decoded.Pixels(35, 15);
    EXPECT_GT(GetRValue(left), 200);
    EXPECT_LT(GetBValue(left), 60);
    EXPECT_GT(GetBValue(right), 200);
    EXPECT_LT(GetRValue(right), 60);
}

TEST(JpegWriter, RefusesWhatIsNoPicture) {
    TBitmap empty;
    EXPECT_THROW(EncodeJpeg(empty), EInvalidGraphicOperation);
    TBitmap target;
    EXPECT_THROW(DecodeJpeg(std::vector<std::uint8_t>{}, target), EInvalidGraphic);
    EXPECT_THROW(DecodeJpeg(std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 1, 2}, target),
                 EInvalidGraphic);
    TBitmap one;
    one.SetSize(1, 1);
    EXPECT_THROW(SaveJpegToFile(one, "/nonexistent-folder/shot.jpg"), EFCreateError);
}

}  // namespace
}  // namespace zr
