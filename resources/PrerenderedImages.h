#pragma once

#include <span>

// The images drawn at build time (ImageRaster.cpp): the table is generated with the pixels.
namespace nimo::images::prerendered {

// One per image, sorted by name: the size it is drawn for, in points.
struct Image {
    const char* name;
    int width;
    int height;
};

// One per drawing, sorted by name: its size in device pixels and the resource holding its pixels
// (premultiplied ARGB32, rows without padding), and whether every pixel is opaque.
struct Pixmap {
    const char* name;
    int width;
    int height;
    const char* path;
    bool opaque;
};

std::span<const Image> images();
std::span<const Pixmap> pixmaps();

} // namespace nimo::images::prerendered
