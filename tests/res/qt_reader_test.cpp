// The window layer draws these images through Qt's readers; they must accept the files as made.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>

#include "platform/wincore.h"
#include "ui/res/vantra_resources.h"

namespace {

QByteArray ResourceBytes(WORD type) {
    const platform::ResourceSet* previous = platform::SetProgramResources(&VantraResources());
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(128), MAKEINTRESOURCEW(type));
    QByteArray bytes;
    if (r != nullptr) {
        bytes = QByteArray(static_cast<const char*>(LockResource(LoadResource(nullptr, r))),
                           static_cast<qsizetype>(SizeofResource(nullptr, r)));
    }
    platform::SetProgramResources(previous);
    return bytes;
}

TEST(QtReaders, ReadBothIconImagesAndTheToolbarBitmap) {
    QByteArray ico = ResourceBytes(RT_GROUP_ICON);
    QBuffer icoBuffer(&ico);
    QImageReader icons(&icoBuffer, "ico");
    ASSERT_EQ(icons.imageCount(), 2) << icons.errorString().toStdString();
    QImage first = icons.read();
    ASSERT_TRUE(icons.jumpToNextImage());
    QImage second = icons.read();
    EXPECT_EQ(first.size(), QSize(32, 32));
    EXPECT_EQ(second.size(), QSize(16, 16));
    // The board's corner is outside the drawing: the mask must make it transparent.
    EXPECT_EQ(qAlpha(first.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(first.pixel(16, 16)), 255);

    QImage bar = QImage::fromData(ResourceBytes(RT_BITMAP), "bmp");
    ASSERT_FALSE(bar.isNull());
    EXPECT_EQ(bar.size(), QSize(16, 16));
}

}  // namespace
