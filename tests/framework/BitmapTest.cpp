// Bitmaps, icons and pictures: BMP files survive a write and a read at every
// depth, crafted bad files are refused without reading past their end, and
// pictures keep their graphic through copies and form data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/Exceptions.h"
#include "framework/ExtCtrls.h"
#include "framework/FileStream.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Graphics.h"
#include "tests/platform/DescriptorTestSupport.h"

namespace zr {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// A .bmp file put together field by field, so a test can get any field wrong.
struct BmpBuilder {
    std::uint32_t headerSize = 40;
    std::int32_t width = 2;
    std::int32_t height = 2;
    std::uint32_t bits = 24;
    std::uint32_t compression = 0;
    std::uint32_t colorsUsed = 0;
    std::vector<std::uint32_t> masks;  // written after a 40-byte header, inside larger ones
    Bytes palette;
    Bytes pixels;
    std::int64_t offsetOverride = -1;

    Bytes Build() const {
        Bytes info;
        Put32(info, headerSize);
        Put32(info, static_cast<std::uint32_t>(width));
        Put32(info, static_cast<std::uint32_t>(height));
        Put16(info, 1);
        Put16(info, bits);
        Put32(info, compression);
        for (int i = 0; i < 3; ++i) Put32(info, 0);
        Put32(info, colorsUsed);
        Put32(info, 0);
        std::size_t maskIndex = 0;
        while (info.size() < headerSize)
            Put32(info, maskIndex < masks.size() ? masks[maskIndex++] : 0);
        if (headerSize == 40)
            for (std::uint32_t m : masks) Put32(info, m);
        const std::uint32_t offset = static_cast<std::uint32_t>(
            offsetOverride >= 0 ? offsetOverride : 14 + info.size() + palette.size());
        Bytes file = {'B', 'M'};
        Put32(file, static_cast<std::uint32_t>(offset + pixels.size()));
        Put32(file, 0);
        Put32(file, offset);
        file.insert(file.end(), info.begin(), info.end());
        file.insert(file.end(), palette.begin(), palette.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};

// Fills a bitmap with a pattern that uses many colours, so every depth
// stores indices or bits that differ from pixel to pixel.
void Paint(TBitmap& bitmap) {
    for (int y = 0; y < bitmap.Height(); ++y)
        for (int x = 0; x < bitmap.Width(); ++x)
            bitmap.SetPixels(x, y, RGB(x * 37 + y * 11, y * 53, (x ^ y) * 29));
}

class BitmapRoundTrip : public ::testing::TestWithParam<TPixelFormat> {};

TEST_P(BitmapRoundTrip, WrittenFileReadsBackIdentical) {
    TBitmap original;
    original.SetPixelFormat(GetParam());
    original.SetSize(13, 7);  // odd width: rows need padding at every depth
    if (GetParam() == pf8bit) original.SetPalette({clRed, clLime, clBlue, clWhite, RGB(1, 2, 3)});
    Paint(original);

    const Bytes file = original.SaveToBytes();
    TBitmap copy;
    copy.LoadFromBytes(file);

    EXPECT_EQ(copy.PixelFormat(), GetParam());
    EXPECT_EQ(copy.Image(), original.Image());
    EXPECT_EQ(copy.Palette(), original.Palette());
    for (int y = 0; y < 7; ++y)
        for (int x = 0; x < 13; ++x) ASSERT_EQ(copy.Pixels(x, y), original.Pixels(x, y));
    EXPECT_EQ(copy.SaveToBytes(), file);
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, BitmapRoundTrip,
                         ::testing::Values(pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit,
                                           pf32bit));

TEST(BitmapFile, FileOnDiskHasTheStandardLayout) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zr-bitmap-" + std::to_string(::getpid()) + ".bmp"))
                                 .string();
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf24bit);
    bitmap.SetSize(3, 2);
    bitmap.SetPixels(0, 0, clRed);   // top-left
    bitmap.SetPixels(0, 1, clBlue);  // bottom-left: the first row in the file
    bitmap.SaveToFile(path);
    const std::uintmax_t size = std::filesystem::file_size(path);
    EXPECT_EQ(size, 14u + 40u + 2 * 12u);  // 9 bytes a row padded to 12

    TBitmap loaded;
    loaded.LoadFromFile(path);
    std::filesystem::remove(path);
    const Bytes bytes = loaded.SaveToBytes();
    EXPECT_EQ(bytes[54], 0xFF);  // blue first, in B, G, R order
    EXPECT_EQ(loaded.Pixels(0, 0), clRed);
    EXPECT_EQ(loaded.Pixels(0, 1), clBlue);
    EXPECT_THROW(loaded.LoadFromFile(path), EFOpenError);
    EXPECT_EQ(loaded.Pixels(0, 0), clRed);

    // Through a stream: the graphic is written at the position and read from it.
    {
        TFileStream out(path, fmCreate);
        out.WriteBuffer("head", 4);
        loaded.SaveToStream(out);
    }
    TBitmap streamed;
    {
        TFileStream in(path, fmOpenRead | fmShareDenyWrite);
        in.SetPosition(4);
        streamed.LoadFromStream(in);
    }
    std::filesystem::remove(path);
    EXPECT_EQ(streamed.Image(), loaded.Image());
}

// Picture files are opened close-on-exec: a mail transport or opener that
// another thread starts at that moment must not inherit them.
TEST(BitmapFile, PictureFilesAreOpenedCloseOnExec) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("zr-bitmap-fifo-" + std::to_string(::getpid()) + ".bmp"))
                                 .string();
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf24bit);
    bitmap.SetSize(200, 200);  // more than a pipe holds
    bitmap.SetPixels(1, 1, clRed);
    const Bytes bytes = bitmap.SaveToBytes();
    EXPECT_TRUE(testing::OpensCloseOnExec(path, testing::TFifoSide::CodeWrites,
                                          [&] { bitmap.SaveToFile(path); }));
    std::filesystem::remove(path);
    TBitmap loaded;
    EXPECT_TRUE(testing::OpensCloseOnExec(
        path, testing::TFifoSide::CodeReads, [&] { loaded.LoadFromFile(path); },
        std::string(bytes.begin(), bytes.end())));
    std::filesystem::remove(path);
    EXPECT_EQ(loaded.Pixels(1, 1), clRed);  // and it read what it was given
}

TEST(BitmapFile, ReadsTopDownCoreAndV5Headers) {
    BmpBuilder topDown;
    topDown.height = -2;
    topDown.pixels = {0,   0, 255, 0, 0, 0, 0, 0,   // top row: red, black
                      255, 0, 0,   0, 0, 0, 0, 0};  // bottom row: blue, black
    TBitmap bitmap;
    bitmap.LoadFromBytes(topDown.Build());
    EXPECT_EQ(bitmap.Pixels(0, 0), clRed);
    EXPECT_EQ(bitmap.Pixels(0, 1), clBlue);

    // A V5 header whose 32-bit pixels are R, G, B, A in memory order.
    BmpBuilder v5;
    v5.headerSize = 124;
    v5.width = 1;
    v5.height = 1;
    v5.bits = 32;
    v5.compression = 3;
    v5.masks = {0x000000FF, 0x0000FF00, 0x00FF0000, 0xFF000000};
    v5.pixels = {0x10, 0x20, 0x30, 0x80};
    bitmap.LoadFromBytes(v5.Build());
    EXPECT_EQ(bitmap.PixelFormat(), pf32bit);
    EXPECT_EQ(bitmap.Pixels(0, 0), RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(bitmap.ScanLine(0)[3], 0x80);  // alpha kept

    // 16 bits in 4-4-4 fields: each channel is scaled up to 8 bits.
    BmpBuilder fields;
    fields.width = 1;
    fields.height = 1;
    fields.bits = 16;
    fields.compression = 3;
    fields.masks = {0x0F00, 0x00F0, 0x000F};
    fields.pixels = {0x80, 0x0F, 0, 0};  // red 15, green 8, blue 0
    bitmap.LoadFromBytes(fields.Build());
    EXPECT_EQ(bitmap.Pixels(0, 0), RGB(255, 136, 0));

    // The OS/2 core header: 16-bit sizes and a palette of three-byte entries.
    Bytes core = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0};
    Put32(core, 12);
    Put16(core, 1);
    Put16(core, 1);
    Put16(core, 1);
    Put16(core, 1);
    core.insert(core.end(), {0, 0, 0, 0, 255, 0});  // black, green
    core.insert(core.end(), {0x80, 0, 0, 0});
    bitmap.LoadFromBytes(core);
    EXPECT_EQ(bitmap.PixelFormat(), pf1bit);
    EXPECT_EQ(bitmap.Pixels(0, 0), clLime);

    // No width but two billion rows: an empty picture, read at once.
    BmpBuilder hollow;
    hollow.width = 0;
    hollow.height = 0x7FFFFFFF;
    bitmap.LoadFromBytes(hollow.Build());
    EXPECT_TRUE(bitmap.Empty());
    EXPECT_EQ(bitmap.Height(), 0);
}

struct BadBmp {
    const char* what;
    Bytes bytes;
};

std::vector<BadBmp> BadBmps() {
    std::vector<BadBmp> cases;
    auto with = [&](const char* what, auto change) {
        BmpBuilder b;
        b.pixels.assign(16, 0);
        change(b);
        cases.push_back({what, b.Build()});
    };
    cases.push_back({"empty", {}});
    cases.push_back({"only the signature", {'B', 'M'}});
    cases.push_back({"wrong signature", Bytes(64, 'X')});
    with("unknown header size", [](BmpBuilder& b) { b.headerSize = 41; });
    with("negative width", [](BmpBuilder& b) { b.width = -2; });
    with("height of INT_MIN", [](BmpBuilder& b) { b.height = INT32_MIN; });
    with("7 bits per pixel", [](BmpBuilder& b) { b.bits = 7; });
    with("RLE8", [](BmpBuilder& b) {
        b.bits = 8;
        b.compression = 1;
    });
    with("PNG inside", [](BmpBuilder& b) { b.compression = 5; });
    with("bit fields on 24 bits", [](BmpBuilder& b) {
        b.compression = 3;
        b.masks = {1, 2, 4};
    });
    with("palette count beyond the file", [](BmpBuilder& b) {
        b.bits = 8;
        b.colorsUsed = 0x40000000;
    });
    with("palette count that overflows", [](BmpBuilder& b) {
        b.bits = 8;
        b.colorsUsed = 0xFFFFFFFF;
    });
    with("offset past the end", [](BmpBuilder& b) { b.offsetOverride = 0x7FFFFFFF; });
    with("offset inside the header", [](BmpBuilder& b) { b.offsetOverride = 20; });
    with("huge dimensions", [](BmpBuilder& b) {
        b.width = 0x7FFFFFFF;
        b.height = 0x7FFFFFFF;
    });
    with("huge top-down height", [](BmpBuilder& b) {
        b.width = 1;
        b.height = -0x7FFFFFFF;
    });
    with("row size that overflows 32 bits", [](BmpBuilder& b) {
        b.width = 0x7FFFFFFF;
        b.bits = 32;
        b.height = 1;
    });
    with("pixels one byte short", [](BmpBuilder& b) { b.pixels.resize(15); });
    return cases;
}

TEST(BitmapFile, MalformedFilesRaiseInvalidGraphicAndChangeNothing) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf24bit);
    bitmap.SetSize(2, 2);
    bitmap.SetPixels(1, 1, clYellow);
    for (const BadBmp& bad : BadBmps()) {
        SCOPED_TRACE(bad.what);
        try {
            bitmap.LoadFromBytes(bad.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Bitmap image is not valid");
        }
        EXPECT_EQ(bitmap.Width(), 2);
        EXPECT_EQ(bitmap.Pixels(1, 1), clYellow);
    }
}

TEST(BitmapFile, EveryTruncationOfAValidFileIsRefused) {
    TBitmap source;
    source.SetPixelFormat(pf4bit);
    source.SetSize(5, 3);
    Paint(source);
    const Bytes file = source.SaveToBytes();
    TBitmap target;
    for (std::size_t length = 0; length < file.size(); ++length) {
        const Bytes prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_THROW(target.LoadFromBytes(prefix), EInvalidGraphic) << "length " << length;
    }
}

TEST(BitmapPixels, FormatsSizesAndScanLines) {
    TBitmap bitmap;
    bitmap.SetPixelFormat(pf24bit);
    bitmap.SetSize(4, 4);
    bitmap.SetPixels(0, 0, clRed);
    bitmap.SetPixels(3, 3, RGB(250, 250, 250));
    EXPECT_EQ(bitmap.Pixels(-1, 0), clNone);
    EXPECT_EQ(bitmap.Pixels(4, 0), clNone);
    bitmap.SetPixels(9, 9, clRed);  // outside: ignored, no crash

    bitmap.SetPixelFormat(pf8bit);  // the default palette holds the basic colours exactly
    EXPECT_EQ(bitmap.Pixels(0, 0), clRed);
    EXPECT_EQ(bitmap.Palette().size(), 256u);
    bitmap.SetPixelFormat(pf1bit);  // nearest of black and white
    EXPECT_EQ(bitmap.Pixels(3, 3), clWhite);
    EXPECT_EQ(bitmap.Pixels(1, 1), clBlack);

    bitmap.SetSize(2, 5);  // the pixels that fit stay
    EXPECT_EQ(bitmap.Pixels(1, 1), clBlack);
    EXPECT_EQ(bitmap.Width(), 2);
    EXPECT_EQ(bitmap.Height(), 5);
    EXPECT_THROW(bitmap.ScanLine(5), EInvalidGraphicOperation);
    EXPECT_THROW(bitmap.ScanLine(-1), EInvalidGraphicOperation);
    EXPECT_THROW(bitmap.SetPixelFormat(pfCustom), EInvalidGraphic);
    EXPECT_THROW(bitmap.SetSize(1 << 30, 1 << 30), EOutOfResources);
    EXPECT_EQ(bitmap.Width(), 2);

    TBitmap rgb;
    rgb.SetPixelFormat(pf24bit);
    EXPECT_THROW(rgb.SetPalette({clRed}), EInvalidGraphicOperation);
}

TEST(BitmapPixels, TransparentColorFollowsTheBottomLeftPixelUntilFixed) {
    TBitmap bitmap;
    EXPECT_EQ(bitmap.TransparentColor(), clNone);
    bitmap.SetPixelFormat(pf24bit);
    bitmap.SetSize(3, 3);
    bitmap.SetPixels(0, 2, clFuchsia);
    EXPECT_EQ(bitmap.TransparentMode(), tmAuto);
    EXPECT_EQ(bitmap.TransparentColor(), clFuchsia);
    bitmap.SetPixels(0, 2, clGreen);
    EXPECT_EQ(bitmap.TransparentColor(), clGreen);

    bitmap.SetTransparentColor(0xFF00FF);
    bitmap.SetTransparent(true);
    EXPECT_EQ(bitmap.TransparentMode(), tmFixed);
    EXPECT_EQ(bitmap.TransparentColor(), clFuchsia);
    TBitmap copy;
    copy.Assign(&bitmap);
    EXPECT_TRUE(copy.Transparent());
    EXPECT_EQ(copy.TransparentColor(), clFuchsia);

    bitmap.SetTransparentColor(clDefault);
    EXPECT_EQ(bitmap.TransparentMode(), tmAuto);
    EXPECT_EQ(bitmap.TransparentColor(), clGreen);
}

TEST(BitmapResource, LoadsAPackedDibFromTheNamedModule) {
    TBitmap source;
    source.SetPixelFormat(pf8bit);
    source.SetSize(16, 16);
    source.FillRect(0, 0, 16, 16, clFuchsia);
    source.SetPixels(8, 8, clRed);
    const Bytes file = source.SaveToBytes();
    static const Bytes packed(file.begin() + 14, file.end());  // a resource has no file header
    static int moduleA = 0, moduleB = 0;
    RegisterResource(&moduleA, "Test_Failed", packed.data(), packed.size());

    TBitmap loaded;
    loaded.LoadFromResourceName(&moduleA, "TEST_FAILED");
    EXPECT_EQ(loaded.Width(), 16);
    EXPECT_EQ(loaded.PixelFormat(), pf8bit);
    EXPECT_EQ(loaded.Pixels(8, 8), clRed);
    EXPECT_EQ(loaded.TransparentColor(), clFuchsia);
    EXPECT_THROW(loaded.LoadFromResourceName(&moduleB, "TEST_FAILED"), EResNotFound);
    UnregisterModuleResources(&moduleA);
}

TEST(Icon, StockIconAndIcoFilesRoundTrip) {
    HICON hand = LoadIcon(nullptr, IDI_HAND);
    ASSERT_NE(hand, nullptr);
    EXPECT_EQ(LoadIcon(nullptr, IDI_HAND), hand);  // shared, as the host shares stock icons
    TIcon icon;
    icon.SetHandle(hand);
    EXPECT_EQ(icon.Width(), 32);
    EXPECT_EQ(icon.Height(), 32);
    EXPECT_EQ(GetRValue(icon.Image().Pixels(10, 16)), 224);  // red disc
    EXPECT_EQ(icon.Mask().Pixels(0, 0), clWhite);            // transparent corner
    EXPECT_EQ(icon.Mask().Pixels(16, 16), clBlack);
    EXPECT_THROW(icon.SetWidth(16), EInvalidGraphicOperation);

    TIcon copy;
    copy.LoadFromBytes(icon.SaveToBytes());
    EXPECT_EQ(copy.Image().Image(), icon.Image().Image());
    EXPECT_EQ(copy.Mask().Image(), icon.Mask().Image());
    EXPECT_THROW(copy.LoadFromBytes(Bytes{0, 0, 1, 0, 1, 0}), EInvalidGraphic);
    EXPECT_EQ(copy.Width(), 32);

    // A form file keeps a form's icon as its published Data.
    const TPropInfo* data = GetPropInfo(&icon, "Data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->Kind, tkBinary);
    EXPECT_TRUE(IsStoredProp(&icon, *data));
    TIcon fromForm;
    data->SetBytes(&fromForm, data->GetBytes(&icon));
    EXPECT_EQ(fromForm.Image().Image(), icon.Image().Image());
    TIcon none;
    EXPECT_FALSE(IsStoredProp(&none, *data));
}

TEST(Picture, BitmapAccessReplacesOtherGraphicsWithAnEmptyBitmap) {
    TPicture picture;
    int changes = 0;
    picture.SetOnChange(TNotifyEvent::FromFunction([&](TObject*) { ++changes; }));
    EXPECT_TRUE(picture.Empty());
    picture.Icon()->SetHandle(LoadIcon(nullptr, IDI_HAND));
    EXPECT_FALSE(picture.Empty());
    EXPECT_EQ(picture.Width(), 32);
    EXPECT_GE(changes, 2);

    TBitmap* bitmap = picture.Bitmap();
    ASSERT_NE(bitmap, nullptr);
    EXPECT_TRUE(bitmap->Empty());
    EXPECT_TRUE(picture.Empty());
    EXPECT_EQ(picture.Graphic(), bitmap);

    const int before = changes;
    bitmap->SetSize(5, 5);  // the picture hears about changes to its graphic
    EXPECT_GT(changes, before);
}

TEST(Picture, AssignCopiesAndDataRoundTrips) {
    TPicture source;
    source.Bitmap()->SetPixelFormat(pf24bit);
    source.Bitmap()->SetSize(2, 2);
    source.Bitmap()->SetPixels(1, 0, clAqua);

    TPicture copy;
    copy.Assign(&source);
    source.Bitmap()->SetPixels(1, 0, clBlack);  // the copy is its own
    EXPECT_EQ(copy.Bitmap()->Pixels(1, 0), clAqua);

    const Bytes data = copy.Data();
    ASSERT_GT(data.size(), 8u);
    EXPECT_EQ(std::string(data.begin() + 1, data.begin() + 8), "TBitmap");
    TPicture restored;
    restored.SetData(data);
    EXPECT_EQ(restored.Bitmap()->Pixels(1, 0), clAqua);
    EXPECT_EQ(restored.Data(), data);

    // Published, so a form file stores it as binary data.
    const TPropInfo* prop = GetPropInfo(&restored, "Data");
    ASSERT_NE(prop, nullptr);
    EXPECT_EQ(prop->Kind, tkBinary);
    EXPECT_TRUE(IsStoredProp(&restored, *prop));
    TPicture empty;
    EXPECT_FALSE(IsStoredProp(&empty, *prop));

    Bytes badClass = data;
    badClass[1] = 'X';
    EXPECT_THROW(restored.SetData(badClass), EInvalidGraphic);
    Bytes shortBitmap(data.begin(), data.begin() + 20);
    EXPECT_THROW(restored.SetData(shortBitmap), EInvalidGraphic);
    EXPECT_THROW(restored.SetData(Bytes{200, 'T'}), EInvalidGraphic);
    EXPECT_EQ(restored.Bitmap()->Pixels(1, 0), clAqua);

    TPicture icons;
    icons.Icon()->SetHandle(LoadIcon(nullptr, IDI_HAND));
    TPicture iconCopy;
    iconCopy.SetData(icons.Data());
    EXPECT_EQ(iconCopy.Width(), 32);
    EXPECT_NE(dynamic_cast<TIcon*>(iconCopy.Graphic()), nullptr);

    restored.Assign(nullptr);
    EXPECT_EQ(restored.Graphic(), nullptr);
    EXPECT_TRUE(restored.Data().empty());
}

TEST(Picture, FormFileKeepsAnImagesPicture) {
    TImage image(nullptr);
    image.SetName("imgMark");
    TBitmap* bitmap = image.Picture()->Bitmap();
    bitmap->SetPixelFormat(pf8bit);
    bitmap->SetSize(16, 16);
    bitmap->FillRect(0, 0, 16, 16, clFuchsia);
    bitmap->SetPixels(8, 8, clRed);

    const std::string text = WriteComponentToText(&image);
    EXPECT_NE(text.find("Picture.Data = {"), std::string::npos) << text;
    std::unique_ptr<TComponent> read(ReadComponentFromText(text, nullptr));
    auto* copy = dynamic_cast<TImage*>(read.get());
    ASSERT_NE(copy, nullptr);
    TBitmap* restored = copy->Picture()->Bitmap();
    EXPECT_EQ(restored->PixelFormat(), pf8bit);
    EXPECT_EQ(restored->Image(), bitmap->Image());

    TImage blank(nullptr);
    blank.SetName("imgBlank");
    EXPECT_EQ(WriteComponentToText(&blank).find("Picture.Data"), std::string::npos);
}

TEST(Picture, LoadFromFileChoosesTheGraphicByExtension) {
    TPicture picture;
    EXPECT_THROW(picture.LoadFromFile("/tmp/photo.gif"), EInvalidGraphic);
    try {
        picture.LoadFromFile("/tmp/noextension");
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Unknown picture file extension (.)");
    }
    EXPECT_THROW(picture.SaveToFile("/tmp/nothing.bmp"), EInvalidGraphicOperation);
    EXPECT_THROW(picture.LoadFromFile("/nonexistent/x.BMP"), EFOpenError);
    EXPECT_EQ(picture.Graphic(), nullptr);
}

}  // namespace
}  // namespace zr
