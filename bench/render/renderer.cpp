// Test symbol renderer: libqrencode builds the module matrix, and a small
// inverse-mapping rasteriser turns it into a camera-like grey image.
#include "renderer.h"

#include <qrencode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <numbers>
#include <stdexcept>

// Exported by the shared library but left out of qrencode.h: the same as
// QRcode_encodeInput, with the mask given instead of chosen by penalty score.
extern "C" QRcode* QRcode_encodeMask(QRinput* input, int mask);

namespace vorden::test {

namespace {

struct InputFree {
    void operator()(QRinput* p) const { QRinput_free(p); }
};
struct CodeFree {
    void operator()(QRcode* p) const { QRcode_free(p); }
};
struct ListFree {
    void operator()(QRcode_List* p) const { QRcode_List_free(p); }
};

constexpr QRecLevel kQrLevels[] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
constexpr QRencodeMode kQrModes[] = {QR_MODE_NUM, QR_MODE_AN, QR_MODE_8, QR_MODE_KANJI};

// qrencode's module byte: bit 0 is the colour; bit 7 is set on every module
// outside the encoding region (finder + separator, timing, alignment, format
// and version information, and the lone dark module, which carries bit 7
// alone). Bits 1-6 only say which of those it is, or data/ecc.
constexpr uint8_t kQrDark = 0x01;
constexpr uint8_t kQrFunction = 0x80;

Symbol from_code(const QRcode& code, Level level) {
    Symbol symbol;
    symbol.version = code.version;
    symbol.size = code.width;
    symbol.level = level;
    const size_t n = static_cast<size_t>(code.width) * code.width;
    symbol.dark.resize(n);
    symbol.function.resize(n);
    for (size_t i = 0; i < n; ++i) {
        symbol.dark[i] = (code.data[i] & kQrDark) ? 1 : 0;
        symbol.function[i] = (code.data[i] & kQrFunction) ? 1 : 0;
    }
    return symbol;
}

}  // namespace

Symbol encode(const std::vector<Segment>& segments, const EncodeOptions& options) {
    if (options.version < 0 || options.version > 40) throw std::invalid_argument("version must be 0 to 40");
    if (options.mask < -1 || options.mask > 7) throw std::invalid_argument("mask must be -1 to 7");
    std::unique_ptr<QRinput, InputFree> input(
        QRinput_new2(options.version, kQrLevels[static_cast<int>(options.level)]));
    if (!input) throw std::runtime_error("libqrencode: cannot create input");
    for (const Segment& segment : segments) {
        // qrencode rejects zero-length data; an empty segment adds nothing anyway.
        if (segment.data.empty()) continue;
        if (QRinput_append(input.get(), kQrModes[static_cast<int>(segment.mode)],
                           static_cast<int>(segment.data.size()),
                           reinterpret_cast<const unsigned char*>(segment.data.data())) != 0) {
            throw std::runtime_error("libqrencode rejects the data for this mode");
        }
    }
    std::unique_ptr<QRcode, CodeFree> code(options.mask >= 0 ? QRcode_encodeMask(input.get(), options.mask)
                                                             : QRcode_encodeInput(input.get()));
    if (!code) throw std::runtime_error("libqrencode cannot encode the data (too long?)");
    // qrencode quietly moves to a larger version when the data does not fit.
    if (options.version != 0 && code->version != options.version) {
        throw std::runtime_error("data does not fit version " + std::to_string(options.version));
    }
    return from_code(*code, options.level);
}

Symbol encode(Mode mode, const std::string& data, const EncodeOptions& options) {
    return encode(std::vector<Segment>{{mode, data}}, options);
}

std::vector<Symbol> encode_structured(const std::string& data, int version, Level level) {
    if (version < 1 || version > 40)
        throw std::invalid_argument("structured append needs a version, 1 to 40");
    if (data.empty()) throw std::invalid_argument("structured append needs data");
    std::unique_ptr<QRcode_List, ListFree> list(QRcode_encodeDataStructured(
        static_cast<int>(data.size()), reinterpret_cast<const unsigned char*>(data.data()), version,
        kQrLevels[static_cast<int>(level)]));
    if (!list) throw std::runtime_error("libqrencode cannot split the data into symbols");
    std::vector<Symbol> symbols;
    for (const QRcode_List* entry = list.get(); entry != nullptr; entry = entry->next) {
        if (entry->code->version != version)
            throw std::runtime_error("structured symbol has another version");
        symbols.push_back(from_code(*entry->code, level));
    }
    return symbols;
}

namespace {

// The symbol-to-image transform. Module coordinates (u, v) are first made
// relative to the symbol centre and normalised by its size (s, t in
// [-0.5, 0.5] across the symbol), then keystoned by the projective map
// (s, t) -> (s, t) / (1 + a s + b t), scaled to pixels, rotated clockwise on
// screen (y points down) and moved to the centre.
struct Transform {
    double size = 0;   // modules per side
    double scale = 0;  // pixels per normalised unit: size * module_px
    double cos_a = 1, sin_a = 0;
    double a = 0, b = 0;
    double cx = 0, cy = 0;

    // The far side over the near side is (1 - a/2) / (1 + a/2); for p >= 0
    // that is 1 - p, for p < 0 its inverse 1 / (1 - |p|), hence a odd in p.
    static double keystone(double p) { return 2.0 * p / (2.0 - std::fabs(p)); }

    // Relative to the centre, before translation; false behind the horizon.
    bool forward_rel(double u, double v, double* x, double* y) const {
        const double s = u / size - 0.5, t = v / size - 0.5;
        const double w = 1.0 + a * s + b * t;
        if (w <= 0) return false;
        const double px = s / w * scale, py = t / w * scale;
        *x = px * cos_a - py * sin_a;
        *y = px * sin_a + py * cos_a;
        return true;
    }

    // Homography rows from image (X, Y, 1) to homogeneous module (U, V, W).
    void inverse(double h[3][3]) const {
        // Undo translation and rotation, then the scale: normalised (x', y').
        const double xr[3] = {cos_a / scale, sin_a / scale, -(cos_a * cx + sin_a * cy) / scale};
        const double yr[3] = {-sin_a / scale, cos_a / scale, (sin_a * cx - cos_a * cy) / scale};
        // The keystone's inverse is s = x'/d, t = y'/d with d = 1 - a x' - b y'.
        for (int k = 0; k < 3; ++k) {
            const double d = (k == 2 ? 1.0 : 0.0) - a * xr[k] - b * yr[k];
            h[0][k] = size * xr[k] + 0.5 * size * d;
            h[1][k] = size * yr[k] + 0.5 * size * d;
            h[2][k] = d;
        }
    }
};

void check_options(const Symbol& symbol, const RenderOptions& o) {
    if (symbol.size <= 0 || symbol.dark.size() != static_cast<size_t>(symbol.size) * symbol.size) {
        throw std::invalid_argument("symbol has no module matrix");
    }
    auto require = [](bool ok, const char* what) {
        if (!ok) throw std::invalid_argument(what);
    };
    require(std::isfinite(o.module_px) && o.module_px > 0 && o.module_px <= 1000, "module_px out of range");
    require(o.quiet_zone >= 0 && o.quiet_zone <= 1000, "quiet_zone out of range");
    require(std::isfinite(o.angle_deg), "angle_deg not finite");
    require(std::fabs(o.perspective_x) < 0.5 && std::fabs(o.perspective_y) < 0.5, "perspective out of range");
    require(o.blur >= 0 && o.blur <= 50, "blur out of range");
    require(o.noise >= 0 && o.noise <= 1000, "noise out of range");
    require(o.gradient >= 0 && o.gradient <= 1, "gradient out of range");
    require(
        o.canvas_width >= 0 && o.canvas_width <= 16384 && o.canvas_height >= 0 && o.canvas_height <= 16384,
        "canvas size out of range");
    require(std::isfinite(o.center_x) && std::isfinite(o.center_y), "centre not finite");
}

Transform make_transform(const Symbol& symbol, const RenderOptions& o) {
    Transform t;
    t.size = symbol.size;
    t.scale = symbol.size * o.module_px;
    const double angle = o.angle_deg * std::numbers::pi / 180.0;
    t.cos_a = std::cos(angle);
    t.sin_a = std::sin(angle);
    t.a = Transform::keystone(o.perspective_x);
    t.b = Transform::keystone(o.perspective_y);
    return t;
}

// Half extents of the quiet-zone square around the centre, after transform.
void half_extents(const Symbol& symbol, const RenderOptions& o, const Transform& t, double* hx, double* hy) {
    const double lo = -o.quiet_zone, hi = symbol.size + o.quiet_zone;
    *hx = *hy = 0;
    for (double u : {lo, hi}) {
        for (double v : {lo, hi}) {
            double x, y;
            if (!t.forward_rel(u, v, &x, &y)) {
                throw std::invalid_argument("perspective too strong for this quiet zone");
            }
            *hx = std::max(*hx, std::fabs(x));
            *hy = std::max(*hy, std::fabs(y));
        }
    }
}

// The transform for an image of the given size: the default centre is the
// canvas centre.
Transform placed(const Symbol& symbol, const RenderOptions& o, int width, int height) {
    Transform t = make_transform(symbol, o);
    t.cx = o.center_x < 0 ? width / 2.0 : o.center_x;
    t.cy = o.center_y < 0 ? height / 2.0 : o.center_y;
    return t;
}

// splitmix64: small, seedable and the same on every platform, unlike the
// standard library's distributions.
struct Random {
    uint64_t state;
    explicit Random(uint32_t seed) : state(0x9E3779B97F4A7C15ull ^ seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-52 - 1.0; }  // [-1, 1)
    // Marsaglia's polar method: two standard normal deviates.
    void normal_pair(double* a, double* b) {
        double x, y, r;
        do {
            x = uniform();
            y = uniform();
            r = x * x + y * y;
        } while (r >= 1.0 || r == 0.0);
        const double f = std::sqrt(-2.0 * std::log(r) / r);
        *a = x * f;
        *b = y * f;
    }
};

// Separable Gaussian with the border pixels repeated outwards. Both passes
// walk rows so the inner loops run over contiguous memory.
void gaussian_blur(std::vector<float>& img, int width, int height, double sigma) {
    const int radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
    std::vector<float> kernel(2 * radius + 1);
    double sum = 0;
    for (int k = -radius; k <= radius; ++k) {
        const double w = std::exp(-0.5 * k * k / (sigma * sigma));
        kernel[k + radius] = static_cast<float>(w);
        sum += w;
    }
    for (float& w : kernel) w = static_cast<float>(w / sum);

    const size_t w = static_cast<size_t>(width);
    std::vector<float> padded(width + 2 * radius);
    for (int y = 0; y < height; ++y) {
        float* row = &img[y * w];
        std::fill_n(padded.begin(), radius, row[0]);
        std::copy_n(row, width, padded.begin() + radius);
        std::fill_n(padded.begin() + radius + width, radius, row[width - 1]);
        for (int x = 0; x < width; ++x) {
            float acc = 0;
            for (int k = 0; k <= 2 * radius; ++k) acc += kernel[k] * padded[x + k];
            row[x] = acc;
        }
    }
    const std::vector<float> source = img;
    for (int y = 0; y < height; ++y) {
        float* out = &img[y * w];
        std::fill_n(out, width, 0.0f);
        for (int k = 0; k <= 2 * radius; ++k) {
            const float* in = &source[std::clamp(y + k - radius, 0, height - 1) * w];
            const float weight = kernel[k];
            for (int x = 0; x < width; ++x) out[x] += weight * in[x];
        }
    }
}

}  // namespace

Image render(const Symbol& symbol, const RenderOptions& options) {
    check_options(symbol, options);
    double hx, hy;
    half_extents(symbol, options, make_transform(symbol, options), &hx, &hy);
    Image image;
    // The epsilon keeps an exact fit (116.0000001 from rounding) from growing a pixel.
    image.width =
        options.canvas_width > 0 ? options.canvas_width : static_cast<int>(std::ceil(2 * hx - 1e-6));
    image.height =
        options.canvas_height > 0 ? options.canvas_height : static_cast<int>(std::ceil(2 * hy - 1e-6));
    image.width = std::max(image.width, 1);
    image.height = std::max(image.height, 1);
    if (static_cast<int64_t>(image.width) * image.height > (int64_t{1} << 26)) {
        throw std::invalid_argument("canvas too large");
    }
    const int W = image.width, H = image.height;
    const int n = symbol.size;
    const Transform transform = placed(symbol, options, W, H);
    double h[3][3];
    transform.inverse(h);

    // Darkness (0 light .. 1 dark) per pixel, by area coverage. Only pixels
    // near the matrix's bounding box can be dark; the quiet zone is as light
    // as the background.
    std::vector<float> cover(static_cast<size_t>(W) * H, 0.0f);
    double bx0 = W, bx1 = 0, by0 = H, by1 = 0;
    for (double u : {0, n}) {
        for (double v : {0, n}) {
            double x = 0, y = 0;
            transform.forward_rel(u, v, &x, &y);  // inside the checked quiet zone
            bx0 = std::min(bx0, transform.cx + x), bx1 = std::max(bx1, transform.cx + x);
            by0 = std::min(by0, transform.cy + y), by1 = std::max(by1, transform.cy + y);
        }
    }
    const int x_begin = static_cast<int>(std::clamp(std::floor(bx0) - 1, 0.0, static_cast<double>(W)));
    const int x_end = static_cast<int>(std::clamp(std::ceil(bx1) + 1, 0.0, static_cast<double>(W)));
    const int y_begin = static_cast<int>(std::clamp(std::floor(by0) - 1, 0.0, static_cast<double>(H)));
    const int y_end = static_cast<int>(std::clamp(std::ceil(by1) + 1, 0.0, static_cast<double>(H)));

    // Pixel corners mapped into module space, one row at a time. A corner's
    // cell is clamped to -1 or n outside the matrix; ok is false behind the
    // keystone's horizon.
    struct Corner {
        double u, v;
        int cu, cv;
        bool ok;
    };
    std::vector<Corner> top(W + 1), bottom(W + 1);
    auto map_row = [&](double y, std::vector<Corner>& out) {
        for (int x = x_begin; x <= x_end; ++x) {
            const double U = h[0][0] * x + h[0][1] * y + h[0][2];
            const double V = h[1][0] * x + h[1][1] * y + h[1][2];
            const double D = h[2][0] * x + h[2][1] * y + h[2][2];
            Corner& c = out[x];
            c.ok = D > 0;
            if (!c.ok) continue;
            c.u = U / D;
            c.v = V / D;
            c.cu = c.u < 0 ? -1 : c.u >= n ? n : static_cast<int>(c.u);
            c.cv = c.v < 0 ? -1 : c.v >= n ? n : static_cast<int>(c.v);
        }
    };

    constexpr int kSub = 4;  // samples per pixel side
    if (y_begin < y_end) map_row(y_begin, top);
    for (int y = y_begin; y < y_end; ++y) {
        map_row(y + 1, bottom);
        float* row = &cover[static_cast<size_t>(y) * W];
        for (int x = x_begin; x < x_end; ++x) {
            const Corner& c00 = top[x];
            const Corner& c10 = top[x + 1];
            const Corner& c01 = bottom[x];
            const Corner& c11 = bottom[x + 1];
            if (!(c00.ok && c10.ok && c01.ok && c11.ok)) continue;  // at the horizon: far outside
            // The pixel maps to a convex quadrilateral: when its corners share
            // one cell, or all lie beyond one side of the matrix, so does all of it.
            if ((c00.cu < 0 && c10.cu < 0 && c01.cu < 0 && c11.cu < 0) ||
                (c00.cu >= n && c10.cu >= n && c01.cu >= n && c11.cu >= n) ||
                (c00.cv < 0 && c10.cv < 0 && c01.cv < 0 && c11.cv < 0) ||
                (c00.cv >= n && c10.cv >= n && c01.cv >= n && c11.cv >= n)) {
                continue;
            }
            if (c00.cu == c10.cu && c00.cu == c01.cu && c00.cu == c11.cu && c00.cv == c10.cv &&
                c00.cv == c01.cv && c00.cv == c11.cv && c00.cu >= 0 && c00.cu < n && c00.cv >= 0 &&
                c00.cv < n) {
                row[x] = symbol.dark[c00.cu + c00.cv * n];
                continue;
            }
            // Within one pixel the keystone is affine to far below a sample
            // spacing, so samples interpolate the corners bilinearly.
            int dark = 0;
            for (int j = 0; j < kSub; ++j) {
                const double fy = (j + 0.5) / kSub;
                const double lu = c00.u + (c01.u - c00.u) * fy, lv = c00.v + (c01.v - c00.v) * fy;
                const double ru = c10.u + (c11.u - c10.u) * fy, rv = c10.v + (c11.v - c10.v) * fy;
                const double du = (ru - lu) / kSub, dv = (rv - lv) / kSub;
                double u = lu + 0.5 * du, v = lv + 0.5 * dv;
                for (int i = 0; i < kSub; ++i, u += du, v += dv) {
                    if (u >= 0 && u < n && v >= 0 && v < n) {
                        dark += symbol.dark[static_cast<int>(u) + static_cast<int>(v) * n];
                    }
                }
            }
            row[x] = static_cast<float>(dark) / (kSub * kSub);
        }
        std::swap(top, bottom);
    }

    // Scene brightness: the grey levels under an illumination that falls
    // across the canvas; then the lens blur and the sensor noise.
    const float light = options.light, span = static_cast<float>(options.dark) - options.light;
    std::vector<float> illumination(W);
    for (int x = 0; x < W; ++x) {
        illumination[x] = static_cast<float>(1.0 - options.gradient * (x + 0.5) / W);
    }
    for (int y = 0; y < H; ++y) {
        float* row = &cover[static_cast<size_t>(y) * W];
        for (int x = 0; x < W; ++x) row[x] = (light + span * row[x]) * illumination[x];
    }
    if (options.blur > 0) gaussian_blur(cover, W, H, options.blur);

    if (options.noise > 0) {
        Random random(options.seed);
        const float sigma = static_cast<float>(options.noise);
        for (size_t i = 0; i < cover.size(); i += 2) {
            double a, b;
            random.normal_pair(&a, &b);
            cover[i] += sigma * static_cast<float>(a);
            if (i + 1 < cover.size()) cover[i + 1] += sigma * static_cast<float>(b);
        }
    }
    image.pixels.resize(cover.size());
    for (size_t i = 0; i < cover.size(); ++i) {
        image.pixels[i] = static_cast<uint8_t>(std::clamp(cover[i], 0.0f, 255.0f) + 0.5f);
    }
    return image;
}

void module_center(const Symbol& symbol, const RenderOptions& options, const Image& image, double column,
                   double row, double* x, double* y) {
    check_options(symbol, options);
    const Transform t = placed(symbol, options, image.width, image.height);
    double rx, ry;
    if (!t.forward_rel(column, row, &rx, &ry)) {
        rx = ry = std::numeric_limits<double>::infinity();  // behind the horizon: never in the image
    }
    *x = t.cx + rx;
    *y = t.cy + ry;
}

void write_pgm(const Image& image, const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) throw std::runtime_error("cannot write " + path);
    std::fprintf(file.get(), "P5\n%d %d\n255\n", image.width, image.height);
    if (std::fwrite(image.pixels.data(), 1, image.pixels.size(), file.get()) != image.pixels.size()) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::vector<std::vector<int>> codeword_modules(const Symbol& symbol) {
    const int n = symbol.size;
    std::vector<int> order;
    bool upward = true;
    for (int right = n - 1; right > 0; right -= 2) {
        if (right == 6) right = 5;
        for (int i = 0; i < n; ++i) {
            const int row = upward ? n - 1 - i : i;
            for (int column : {right, right - 1}) {
                if (!symbol.function[column + row * n]) order.push_back(column + row * n);
            }
        }
        upward = !upward;
    }
    std::vector<std::vector<int>> codewords(order.size() / 8);
    for (size_t k = 0; k < codewords.size(); ++k)
        codewords[k].assign(order.begin() + 8 * k, order.begin() + 8 * k + 8);
    return codewords;
}

}  // namespace vorden::test
