// Draws the Terminal's two data-direction pictures as 24-bit BMP files: on a black ground, an
// arrow towards the controller (cyan, the colour of sent text) and one from it (yellow, the
// colour of received text), each with a small box standing for the controller.
//
//   make_arrows <folder>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int Size = 80;

struct Picture {
    std::vector<uint8_t> rgb = std::vector<uint8_t>(Size * Size * 3, 0);
    void Set(int x, int y, uint32_t colour) {
        if (x < 0 || y < 0 || x >= Size || y >= Size) return;
        uint8_t* p = &rgb[(y * Size + x) * 3];
        p[0] = uint8_t(colour >> 16);
        p[1] = uint8_t(colour >> 8);
        p[2] = uint8_t(colour);
    }
    void Fill(int x0, int y0, int x1, int y1, uint32_t colour) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) Set(x, y, colour);
    }
};

// A horizontal arrow from x_tail to x_head (the head at x_head), centred on y.
void Arrow(Picture& p, int x_tail, int x_head, int y, uint32_t colour) {
    int dir = x_head > x_tail ? 1 : -1;
    int head = 14;
    int shaft_end = x_head - dir * head;
    for (int x = x_tail; x != shaft_end; x += dir) p.Fill(x, y - 4, x, y + 4, colour);
    for (int i = 0; i <= head; ++i) {
        int x = shaft_end + dir * i;
        int half = 13 - i * 13 / head;
        p.Fill(x, y - half, x, y + half, colour);
    }
}

void Controller_Box(Picture& p, int x0, uint32_t colour) {
    p.Fill(x0, 24, x0 + 14, 56, colour);
    p.Fill(x0 + 3, 27, x0 + 11, 53, 0x000000);
    p.Fill(x0 + 6, 34, x0 + 8, 36, 0x00FF00);  // the on-line lamp
}

bool Write_Bmp(const std::string& path, const Picture& p) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const int row = Size * 3;  // 240: already a multiple of 4
    const uint32_t data = uint32_t(row * Size);
    auto u16 = [f](uint16_t v) { std::fputc(v & 0xFF, f), std::fputc(v >> 8, f); };
    auto u32 = [&](uint32_t v) { u16(uint16_t(v)), u16(uint16_t(v >> 16)); };
    std::fputs("BM", f);
    u32(54 + data);
    u32(0);
    u32(54);
    u32(40);
    u32(Size);
    u32(Size);
    u16(1);
    u16(24);
    u32(0);
    u32(data);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    for (int y = Size - 1; y >= 0; --y)  // bottom-up, blue-green-red
        for (int x = 0; x < Size; ++x) {
            const uint8_t* px = &p.rgb[(y * Size + x) * 3];
            std::fputc(px[2], f);
            std::fputc(px[1], f);
            std::fputc(px[0], f);
        }
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? std::string(argv[1]) + "/" : "";
    Picture to, from;
    Arrow(to, 6, 56, 40, 0x00C8FF);
    Controller_Box(to, 60, 0xC0C0C0);
    Arrow(from, 56, 6, 40, 0xFFFF00);
    Controller_Box(from, 60, 0xC0C0C0);
    bool ok = Write_Bmp(folder + "Data Dir Arrow To BB.bmp", to) &&
              Write_Bmp(folder + "Data Dir Arrow From BB.bmp", from);
    if (!ok) std::perror("make_arrows");
    return ok ? 0 : 1;
}
