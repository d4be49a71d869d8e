// Pictures in and out of windows: a BMP file's bytes as a bitmap, and a window's pixels as a
// PNG file (stored deflate blocks: no compressor needed, and the files are only looked at).
#include <cstring>
#include <string>
#include <vector>

#include "platform/os/file.h"
#include "platform/window/win32_internal.h"

namespace kdx::win::w32 {

namespace {

uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        made = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void Put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
}

void Chunk(std::string& out, const char* type, const std::string& data) {
    Put32(out, uint32_t(data.size()));
    std::string body = std::string(type, 4) + data;
    out += body;
    Put32(out, Crc32(reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}

// A zlib stream of stored blocks.
std::string Stored_Zlib(const std::string& raw) {
    std::string out("\x78\x01", 2);
    size_t at = 0;
    do {
        size_t n = std::min<size_t>(raw.size() - at, 65535);
        bool last = at + n == raw.size();
        out += char(last ? 1 : 0);
        out += char(n & 0xFF);
        out += char(n >> 8);
        out += char(~n & 0xFF);
        out += char((~n >> 8) & 0xFF);
        out.append(raw, at, n);
        at += n;
    } while (at < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char ch : raw) {
        a = (a + ch) % 65521;
        b = (b + a) % 65521;
    }
    Put32(out, (b << 16) | a);
    return out;
}

}  // namespace

HBITMAP Bitmap_From_Bmp(const std::string& bytes) {
    if (bytes.size() < sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) || bytes[0] != 'B' ||
        bytes[1] != 'M')
        return nullptr;
    BITMAPFILEHEADER file;
    std::memcpy(&file, bytes.data(), sizeof file);
    auto* info = reinterpret_cast<const BITMAPINFO*>(bytes.data() + sizeof file);
    if (file.bfOffBits >= bytes.size() || info->bmiHeader.biSize < sizeof(BITMAPINFOHEADER) ||
        info->bmiHeader.biWidth <= 0 || info->bmiHeader.biHeight == 0)
        return nullptr;
    // The pixel rows must lie inside the file.
    int64_t row = ((int64_t(info->bmiHeader.biWidth) * info->bmiHeader.biBitCount + 31) / 32) * 4;
    int64_t rows = info->bmiHeader.biHeight < 0 ? -int64_t(info->bmiHeader.biHeight)
                                                : info->bmiHeader.biHeight;
    if (info->bmiHeader.biCompression == BI_RGB &&
        file.bfOffBits + row * rows > int64_t(bytes.size()))
        return nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateDIBitmap(screen, &info->bmiHeader, CBM_INIT,
                                    bytes.data() + file.bfOffBits, info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

bool Save_Png(::HWND window, const std::string& path) {
    RECT r{};
    if (!GetWindowRect(window, &r)) return false;
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return false;
    // What shows on the screen at the window's place: its children and owned windows drawn
    // as the operator sees them.
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(memory, dib);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
    }
    std::string raw;
    if (ok) {
        raw.reserve(size_t(height) * (size_t(width) * 3 + 1));
        auto* pixels = static_cast<const uint8_t*>(bits);
        for (int y = 0; y < height; ++y) {
            raw += '\0';  // no filter
            const uint8_t* p = pixels + size_t(y) * size_t(width) * 4;
            for (int x = 0; x < width; ++x, p += 4) {
                raw += char(p[2]);
                raw += char(p[1]);
                raw += char(p[0]);
            }
        }
    }
    if (dib) DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!ok) return false;
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    Put32(header, uint32_t(width));
    Put32(header, uint32_t(height));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", Stored_Zlib(raw));
    Chunk(png, "IEND", "");
    return platform::Write_Whole_File(path, png);
}

}  // namespace kdx::win::w32
