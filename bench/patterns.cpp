// The hostile patterns.
#include "patterns.h"

namespace vorden::bench {

namespace {

constexpr uint8_t kDark = 0;
constexpr uint8_t kLight = 255;

// Dark squares of 2x2 pixels on a period of 5 both ways.
GreyImage lattice(int width, int height) {
    return drawn(width, height, [](int x, int y) {
        return x % 5 >= 1 && x % 5 <= 2 && y % 5 >= 1 && y % 5 <= 2 ? kDark : kLight;
    });
}

// Finder patterns of 1 pixel a module, 7x7, a light pixel apart.
GreyImage tiny_finders(int width, int height) {
    GreyImage g = blank(width, height, kLight);
    for (int y = 1; y + 7 <= height; y += 8)
        for (int x = 1; x + 7 <= width; x += 8) finder(g, x, y, 1);
    return g;
}

// Finder patterns of 2 pixels a module every 20 pixels, with 1-pixel dark
// bars through their centres, row and column, across the image: every
// centre is in one dark region with all the others.
GreyImage joined_finders(int width, int height) {
    GreyImage g = blank(width, height, kLight);
    for (int y = 3; y + 14 <= height; y += 20)
        for (int x = 3; x + 14 <= width; x += 20) finder(g, x, y, 2);
    for (int y = 3 + 7; y < height; y += 20) fill(g, 0, y, width, 1, kDark);
    for (int x = 3 + 7; x < width; x += 20) fill(g, x, 0, 1, height, kDark);
    return g;
}

// A 1-pixel checkerboard with three finders of 1 pixel a module placed as
// a version 40 symbol's (177 modules apart), each in its light separator:
// a symbol's geometry with nothing readable inside it.
GreyImage finders_on_checkerboard(int width, int height) {
    GreyImage g = drawn(width, height, [](int x, int y) { return (x + y) % 2 ? kLight : kDark; });
    const int side = 177;
    const int left = (width - side) / 2, top = (height - side) / 2;
    const int corners[3][2] = {{left, top}, {left + side - 7, top}, {left, top + side - 7}};
    for (const auto& c : corners) {
        fill(g, c[0] - 1, c[1] - 1, 9, 9, kLight);
        finder(g, c[0], c[1], 1);
    }
    return g;
}

GreyImage grey_noise(int width, int height) {
    Dice dice(0x5eed);
    GreyImage g = blank(width, height, 0);
    for (uint8_t& p : g.pixels) p = static_cast<uint8_t>(dice.next(256));
    return g;
}

GreyImage binary_noise(int width, int height) {
    Dice dice(0xb17);
    GreyImage g = blank(width, height, 0);
    for (uint8_t& p : g.pixels) p = dice.next(2) ? kLight : kDark;
    return g;
}

}  // namespace

GreyImage diagonal_stripes(int width, int height) {
    static constexpr uint8_t kRuns[5] = {kDark, kLight, kDark, kDark, kLight};
    return drawn(width, height, [](int x, int y) { return kRuns[(x + y) % 5]; });
}

const std::vector<Pattern>& hostile_patterns() {
    static const std::vector<Pattern> patterns = {
        {"diagonal stripes 1:1:2:1", diagonal_stripes},
        {"2x2 lattice, period 5", lattice},
        {"tiny finders tiled", tiny_finders},
        {"finders joined by bars", joined_finders},
        {"3 finders on a checkerboard", finders_on_checkerboard},
        {"grey noise", grey_noise},
        {"binary noise", binary_noise},
    };
    return patterns;
}

}  // namespace vorden::bench
